// Time and size limits of the WebSocket client, kept together so they are easy to find and tune.
#pragma once

#include <cstddef>

namespace wsclient {

// A pool that accepts but never answers must not hold a worker forever.
constexpr int kConnectTimeoutMs = 5000;    // TCP connect, per resolved address
constexpr int kHandshakeTimeoutMs = 5000;  // from the request to the empty line ending the response
// Waits while connecting look at the caller's stop request at least this often.
constexpr int kStopCheckMs = 100;
// A close frame that cannot leave (the peer stopped reading) must not keep a connection CLOSING.
constexpr int kCloseTimeoutMs = 3000;

// Largest frame payload and largest joined message; pool messages are a few hundred bytes.
constexpr size_t kMaxMessageBytes = size_t(16) << 20;
// Largest frame header: 2 bytes, 8 length bytes, 4 key bytes.
constexpr size_t kMaxFrameHeaderBytes = 14;
// poll() stops reading while this much is buffered, so a flooding server is held back by TCP;
// one whole frame of the largest size always fits.
constexpr size_t kMaxReceiveBuffered = kMaxMessageBytes + kMaxFrameHeaderBytes;
// Queued outgoing bytes: a peer that never reads (say, our pongs) fails the connection instead
// of growing the queue without end; one whole frame of the largest size always fits.
constexpr size_t kMaxSendBuffered = kMaxMessageBytes + kMaxFrameHeaderBytes;
// Response header lines after the status line, in total; each line may be of any length.
constexpr size_t kMaxHandshakeHeaderBytes = size_t(64) << 10;

}  // namespace wsclient
