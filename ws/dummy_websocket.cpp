// The always-closed connection that does nothing.
#include "ws/websocket.h"

namespace wsclient {
namespace {

class _DummyWebSocket : public WebSocket {
public:
    void poll(int) override {}
    bool send(const std::string&) override { return false; }
    bool sendBinary(const std::string&) override { return false; }
    bool sendBinary(const std::vector<uint8_t>&) override { return false; }
    void sendPing() override {}
    void close() override {}
    ReadyState getReadyState() const override { return CLOSED; }
    void _dispatch(Callback_Imp&) override {}
    void _dispatchBinary(BytesCallback_Imp&) override {}
};

}  // namespace

WebSocket* WebSocket::create_dummy() {
    // Made once, thread-safely, and never destroyed: callers may hold it until exit.
    static WebSocket* const dummy = new _DummyWebSocket();
    return dummy;
}

}  // namespace wsclient
