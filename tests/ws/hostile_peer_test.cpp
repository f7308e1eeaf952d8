// Peers that stop reading or flood: the client's memory stays bounded and CLOSING ends, without
// spinning on the CPU.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/ws/loopback.h"
#include "ws/real_websocket.h"
#include "ws/ws_limits.h"

using wsclient::WebSocket;
using namespace wstest;

namespace {

using Clock = std::chrono::steady_clock;

wsclient::_RealWebSocket* real(const Pair& p) { return static_cast<wsclient::_RealWebSocket*>(p.ws); }

size_t rss_bytes() {
    long pages = 0;
    long resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
    return size_t(resident) * size_t(sysconf(_SC_PAGESIZE));
}

// CPU seconds of the whole process, all threads.
double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string header64(uint8_t first, uint64_t n) {
    std::string h{char(first), char(0x7f)};
    for (int shift = 56; shift >= 0; shift -= 8) h.push_back(char((n >> shift) & 0xff));
    return h;
}

// Queues 1 MiB messages until well over what the socket takes: the server never reads.
void fill_send_side(Pair& p) {
    const std::string chunk(size_t(1) << 20, 'f');
    for (int i = 0; i < 64 && real(p)->sendBuffer.size() < (size_t(8) << 20); ++i) {
        ASSERT_TRUE(p.ws->send(chunk));
        p.ws->poll(0);
        ASSERT_EQ(p.ws->getReadyState(), WebSocket::OPEN);
    }
    ASSERT_GE(real(p)->sendBuffer.size(), size_t(8) << 20) << "the socket never filled";
}

// A pool that pings without end and never reads the pongs: the pong queue reaches its limit, the
// connection fails with one line, and memory stays within a bound far below what the flood sent.
TEST(WsHostilePeer, PingFloodWithUnreadPongsFailsTheConnection) {
    Pair p;
    open_pair(p, true);
    ASSERT_NE(p.ws, nullptr);
    std::string burst;
    while (burst.size() < 65536) burst += frame(0x89, std::string(125, 'p'));
    const int server = p.server;
    size_t flooded = 0;
    std::thread flood([&] {
        const auto t0 = Clock::now();
        while (seconds_since(t0) < 10 && write_all(server, burst)) flooded += burst.size();
    });

    const size_t rss0 = rss_bytes();
    const size_t bound = size_t(160) << 20;
    size_t peak = rss0;
    std::vector<std::string> got;
    testing::internal::CaptureStderr();
    const auto t0 = Clock::now();
    while (p.ws->getReadyState() != WebSocket::CLOSED && seconds_since(t0) < 8 && peak - rss0 < bound) {
        p.ws->poll(10);
        p.ws->dispatch([&](const std::string& m) { got.push_back(m); });
        peak = std::max(peak, rss_bytes());
    }
    const WebSocket::ReadyState state = p.ws->getReadyState();
    const std::string err = testing::internal::GetCapturedStderr();
    if (state != WebSocket::CLOSED) shutdown(p.server, SHUT_RDWR);  // ends the flood
    flood.join();

    EXPECT_EQ(state, WebSocket::CLOSED);
    EXPECT_EQ(err, "ERROR: Send queue full. Closing.\n");
    EXPECT_LT(peak - rss0, bound) << "flooded " << flooded << " bytes";
    EXPECT_GT(flooded, wsclient::kMaxSendBuffered) << "the flood was too small to prove anything";
    EXPECT_TRUE(got.empty());
}

// A close frame that cannot leave because the peer stopped reading: CLOSING ends at its deadline
// with one line and the socket closed, and the wait until then costs next to no CPU, also while
// the receive side is full (a refused frame followed by more than the receive limit).
TEST(WsHostilePeer, StuckCloseEndsAtItsDeadlineWithoutSpinning) {
    const int close_ms = 1000;
    for (const bool receive_full : {false, true}) {
        SCOPED_TRACE(receive_full ? "receive side full" : "receive side empty");
        wsclient::ConnectOptions options;
        options.closeTimeoutMs = close_ms;
        Pair p;
        open_pair(p, true, kSwitching, options);
        ASSERT_NE(p.ws, nullptr);
        fill_send_side(p);

        std::thread junk;
        std::string expected_err = "ERROR: Close frame could not be sent in time. Closing.\n";
        testing::internal::CaptureStderr();
        if (receive_full) {
            const int server = p.server;
            junk = std::thread([server] {
                // Refused at its header; the rest only fills the client's receive buffer.
                write_all(server, header64(0x82, wsclient::kMaxMessageBytes + 1) +
                                      std::string(wsclient::kMaxReceiveBuffered + (size_t(2) << 20), 'j'));
            });
            expected_err = "ERROR: Frame too large. Closing.\n" + expected_err;
            std::vector<std::string> got;
            pump(p.ws, got, [&] { return real(p)->receiveBuffer.size() >= wsclient::kMaxReceiveBuffered; }, 5000);
            EXPECT_EQ(p.ws->getReadyState(), WebSocket::CLOSING);
        } else {
            p.ws->close();
        }
        ASSERT_GE(real(p)->receiveBuffer.size(), receive_full ? wsclient::kMaxReceiveBuffered : 0);

        const auto t0 = Clock::now();
        const double cpu0 = cpu_seconds();
        while (p.ws->getReadyState() != WebSocket::CLOSED && seconds_since(t0) < 5) {
            p.ws->poll(50);
            p.ws->dispatch([](const std::string&) {});
        }
        const double wall = seconds_since(t0);
        const double cpu = cpu_seconds() - cpu0;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected_err);
        EXPECT_EQ(p.ws->getReadyState(), WebSocket::CLOSED);
        EXPECT_LT(wall, close_ms / 1000.0 + 2.5);  // wide for a busy machine; the loop gives up at 5 s
        EXPECT_LT(cpu, 0.25 * wall) << "cpu " << cpu << " s in " << wall << " s";
        EXPECT_TRUE(wait_closed(p.server, 5000)) << "the socket was left open";
        if (junk.joinable()) junk.join();
    }
}

}  // namespace
