// libFuzzer target: arbitrary server bytes, cut into reads of varying size, through frame parsing
// and message dispatch. Aborts when a bound or a parsing invariant is broken.
#include <algorithm>
#include <cstdlib>

#include "ws/frame.h"
#include "ws/real_websocket.h"
#include "ws/ws_limits.h"

using namespace wsclient;

namespace {

struct Sink : BytesCallback_Imp {
    void operator()(const std::vector<uint8_t>& message) override {
        if (message.size() > kMaxMessageBytes) abort();
    }
};

bool is_data(uint8_t opcode) { return opcode == OP_CONTINUATION || opcode == OP_TEXT || opcode == OP_BINARY; }

void check(const _RealWebSocket& ws) {
    if (ws.messageBuffer.size() > kMaxMessageBytes) abort();
    if (ws.receiveFailed && ws.state != WebSocket::CLOSING) abort();
    if (ws.closeReceived && ws.state != WebSocket::CLOSING) abort();
    if (ws.sendBuffer.size() > kMaxSendBuffered) abort();
    if (!ws.receiveFailed && !ws.closeReceived) {
        // Parsing stopped only because the next frame is not complete yet, and it is one we accept.
        FrameHeader h;
        const size_t have = ws.receiveBuffer.size();
        const HeaderStatus s = read_frame_header(ws.receiveBuffer.data(), have, h);
        if (s == HeaderStatus::INVALID_LENGTH) abort();
        if (s == HeaderStatus::OK) {
            if (h.payload_size > kMaxMessageBytes) abort();
            if (is_data(h.opcode) && ws.messageBuffer.size() + h.payload_size > kMaxMessageBytes) abort();
            if (h.header_size + h.payload_size <= have) abort();
        }
    }
    // Only whole pongs, then at most one close frame at the very end, are ever queued.
    size_t at = 0;
    bool closed = false;
    while (at < ws.sendBuffer.size()) {
        if (closed) abort();
        FrameHeader h;
        if (read_frame_header(ws.sendBuffer.data() + at, ws.sendBuffer.size() - at, h) != HeaderStatus::OK) abort();
        if (at + h.header_size + h.payload_size > ws.sendBuffer.size()) abort();
        if (!h.fin) abort();
        if (h.opcode == OP_CLOSE) {
            closed = true;
        } else if (h.opcode != OP_PONG || h.masked != ws.maskOutgoing || h.payload_size > kMaxMessageBytes) {
            abort();
        }
        at += h.header_size + size_t(h.payload_size);
    }
    if (closed != (ws.state == WebSocket::CLOSING)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses masking and the size of each simulated read (1 to 128 bytes).
    const bool mask = data[0] & 1;
    const size_t chunk = 1 + (data[0] >> 1);
    _RealWebSocket ws(-1, mask);
    Sink sink;
    for (size_t at = 1; at < size; at += chunk) {
        const size_t n = std::min(chunk, size - at);
        ws.receiveBuffer.insert(ws.receiveBuffer.end(), data + at, data + at + n);
        ws._dispatchBinary(sink);
        check(ws);
    }
    return 0;
}
