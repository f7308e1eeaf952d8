// The connection over a real socket: frame queueing, poll and dispatch.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "ws/transport.h"
#include "ws/websocket.h"
#include "ws/ws_limits.h"

namespace wsclient {

class _RealWebSocket : public WebSocket {
public:
    // Takes ownership of fd, a connected socket past its opening handshake.
    _RealWebSocket(int fd, bool mask, int closeTimeoutMs = kCloseTimeoutMs);
    // The same over any byte stream (a TLS session); socketFd is the stream's socket.
    _RealWebSocket(std::unique_ptr<Transport> stream, bool mask, int closeTimeoutMs = kCloseTimeoutMs);
    ~_RealWebSocket() override;
    _RealWebSocket(const _RealWebSocket&) = delete;
    _RealWebSocket& operator=(const _RealWebSocket&) = delete;

    void poll(int timeout) override;
    bool send(const std::string& message) override;
    bool sendBinary(const std::string& message) override;
    bool sendBinary(const std::vector<uint8_t>& message) override;
    void sendPing() override;
    void close() override;
    ReadyState getReadyState() const override { return state; }
    void _dispatch(Callback_Imp& callback) override;
    void _dispatchBinary(BytesCallback_Imp& callback) override;

    std::vector<uint8_t> receiveBuffer;  // received bytes not yet consumed as whole frames
    std::vector<uint8_t> sendBuffer;     // encoded frames not yet written
    std::vector<uint8_t> messageBuffer;  // data-frame payloads until the final fragment
    int socketFd;
    ReadyState state = OPEN;
    bool maskOutgoing;
    bool receiveFailed = false;  // a frame could not be accepted; nothing more is parsed
    bool closeReceived = false;  // the server's close frame came; nothing after it is parsed
    int closeTimeout;            // ms from close() until the socket is closed in any case
    std::chrono::steady_clock::time_point closeDeadline;  // set by close()
    std::unique_ptr<Transport> transport;  // reads and writes socketFd

private:
    bool queueFrame(uint8_t opcode, const uint8_t* payload, size_t size);
    void closeSocket(const char* message);
    void failReceive(const char* message);
};

}  // namespace wsclient
