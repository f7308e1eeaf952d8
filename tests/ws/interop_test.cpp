// Interoperability with a real WebSocket server library (Python's websockets), started on a free
// loopback port.
#include <gtest/gtest.h>

#include <string>

#include "tests/ws/loopback.h"
#include "tests/ws/python_peer.h"

using wsclient::WebSocket;
using namespace wstest;

namespace {

std::string url_of(const PythonPeer& peer) {
    return "ws://127.0.0.1:" + std::to_string(peer.port) + "/interop";
}

std::string text_of(size_t n) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + i % 26);
    return s;
}

std::string bytes_of(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + 17) & 0xff);
    return s;
}

class WsInterop : public testing::Test {
protected:
    void SetUp() override {
        const std::string why = peer.start();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_NE(peer.port, 0) << "tools/ws_peer.py did not start";
        ws = WebSocket::from_url(url_of(peer));
        ASSERT_NE(ws, nullptr);
        ASSERT_EQ(peer.line(), "open /interop");
    }
    void TearDown() override { delete ws; }

    PythonPeer peer;
    WebSocket* ws = nullptr;
};

TEST_F(WsInterop, EchoesTextAndBinaryOfManySizes) {
    std::vector<std::string> sent;
    for (size_t n : {size_t(0), size_t(1), size_t(125), size_t(126), size_t(65535), size_t(65536),
                     size_t(1) << 20}) {
        sent.push_back(text_of(n));
        ws->send(sent.back());
        sent.push_back(bytes_of(n));
        ws->sendBinary(std::vector<uint8_t>(sent.back().begin(), sent.back().end()));
    }
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return got.size() >= sent.size(); }, 20000));
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(got[i] == sent[i]) << "message " << i;
    EXPECT_EQ(ws->getReadyState(), WebSocket::OPEN);
}

TEST_F(WsInterop, BinaryDispatchKeepsBytes) {
    const std::string b = bytes_of(300);
    ws->sendBinary(b);
    struct Collect : wsclient::BytesCallback_Imp {
        std::vector<std::vector<uint8_t>> got;
        void operator()(const std::vector<uint8_t>& m) override { got.push_back(m); }
    } collect;
    for (int i = 0; i < 500 && collect.got.empty(); ++i) {
        ws->poll(10);
        ws->_dispatchBinary(collect);
    }
    ASSERT_EQ(collect.got.size(), 1u);
    EXPECT_EQ(collect.got[0], std::vector<uint8_t>(b.begin(), b.end()));
}

TEST_F(WsInterop, PingsBothWays) {
    ws->sendPing();             // the library sees our ping and answers it with a pong
    ws->send("cmd:ping");       // the library pings us with "probe" and reports our pong
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return got.size() >= 2; }));
    EXPECT_EQ(got, (std::vector<std::string>{"ping:", "pong:probe"}));
}

TEST_F(WsInterop, FragmentsWithAPingBetweenReassemble) {
    ws->send("cmd:fragments");  // three frames, the library's ping after the first
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return got.size() >= 2; }));
    EXPECT_EQ(got, (std::vector<std::string>{"fragmented message", "pong:between"}));
    EXPECT_EQ(ws->getReadyState(), WebSocket::OPEN);
}

TEST_F(WsInterop, ServerInitiatedCloseIsClean) {
    testing::internal::CaptureStderr();
    ws->send("cmd:close");
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return ws->getReadyState() == WebSocket::CLOSED; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(peer.line(), "closed 1005");  // our close frame carries no status code
}

TEST_F(WsInterop, ClientInitiatedCloseIsClean) {
    testing::internal::CaptureStderr();
    ws->close();
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return ws->getReadyState() == WebSocket::CLOSED; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(peer.line(), "closed 1005");
}

}  // namespace
