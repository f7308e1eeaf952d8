// Outgoing frames, byte for byte as a loopback peer records them, with and without masking.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include "tests/ws/loopback.h"

using wsclient::WebSocket;
using namespace wstest;

namespace {

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + 3) % 251);
    return s;
}

struct Expected {
    std::vector<uint8_t> head;  // frame header without the masking key
    std::string payload;
};

// Records everything the client writes until it closes the connection.
std::string record_until_closed(Pair& p) {
    std::string wire;
    char buf[65536];
    for (int i = 0; i < 1000 && p.ws->getReadyState() != WebSocket::CLOSED; ++i) {
        p.ws->poll(10);
        pollfd w{p.server, POLLIN, 0};
        while (::poll(&w, 1, 0) == 1) {
            const ssize_t n = recv(p.server, buf, sizeof(buf), 0);
            if (n <= 0) break;
            wire.append(buf, size_t(n));
        }
    }
    return wire + read_to_eof(p.server);
}

class WsSend : public testing::TestWithParam<bool> {};

TEST_P(WsSend, FramesOnTheWire) {
    const bool mask = GetParam();
    const uint8_t m = mask ? 0x80 : 0x00;
    Pair p;
    open_pair(p, mask);
    ASSERT_NE(p.ws, nullptr);

    const std::vector<Expected> expected = {
        {{0x81, uint8_t(m | 0)}, ""},
        {{0x81, uint8_t(m | 0x7D)}, pattern(125)},
        {{0x81, uint8_t(m | 0x7E), 0x00, 0x7E}, pattern(126)},
        {{0x81, uint8_t(m | 0x7E), 0xFF, 0xFF}, pattern(65535)},
        {{0x81, uint8_t(m | 0x7F), 0, 0, 0, 0, 0, 0x01, 0x00, 0x00}, pattern(65536)},
        {{0x82, uint8_t(m | 1)}, "A"},
        {{0x82, uint8_t(m | 5)}, "hello"},
        {{0x89, uint8_t(m | 0)}, ""},
    };
    for (size_t i = 0; i < 5; ++i) EXPECT_TRUE(p.ws->send(expected[i].payload));
    EXPECT_TRUE(p.ws->sendBinary(std::string("A")));
    EXPECT_TRUE(p.ws->sendBinary(std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    p.ws->sendPing();
    p.ws->close();
    EXPECT_EQ(p.ws->getReadyState(), WebSocket::CLOSING);
    p.ws->close();                     // a second close queues nothing
    EXPECT_FALSE(p.ws->send("late"));  // nor does a send after close, and it says so
    EXPECT_FALSE(p.ws->sendBinary(std::string("late")));
    p.ws->sendPing();

    const std::string wire = record_until_closed(p);
    EXPECT_EQ(p.ws->getReadyState(), WebSocket::CLOSED);

    size_t at = 0;
    std::string key;
    for (const Expected& e : expected) {
        ASSERT_LE(at + e.head.size(), wire.size());
        EXPECT_EQ(wire.substr(at, e.head.size()), std::string(e.head.begin(), e.head.end()))
            << "header of a " << e.payload.size() << "-byte frame";
        at += e.head.size();
        if (mask) {
            if (key.empty()) key = wire.substr(at, 4);
            EXPECT_EQ(wire.substr(at, 4), key) << "one key for every frame";
            at += 4;
        }
        ASSERT_LE(at + e.payload.size(), wire.size());
        std::string sent = wire.substr(at, e.payload.size());
        for (size_t i = 0; mask && i < sent.size(); ++i) sent[i] = char(sent[i] ^ key[i % 4]);
        EXPECT_TRUE(sent == e.payload) << "payload of a " << e.payload.size() << "-byte frame";
        at += e.payload.size();
    }
    // The close frame is the same 6 bytes either way, and nothing follows it.
    EXPECT_EQ(wire.substr(at), std::string("\x88\x80\x00\x00\x00\x00", 6));
}

INSTANTIATE_TEST_SUITE_P(MaskedAndUnmasked, WsSend, testing::Bool());

}  // namespace
