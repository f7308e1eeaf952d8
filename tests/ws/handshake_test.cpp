// Opening a connection: URL forms, the request on the wire, the response rules and time limits.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/ws/loopback.h"
#include "ws/url.h"
#include "ws/ws_limits.h"

using wsclient::WebSocket;
using namespace wstest;

namespace {

struct UrlCase {
    const char* url;
    const char* host;
    int port;
    const char* path;
};

TEST(WsUrl, AcceptedForms) {
    const UrlCase cases[] = {
        {"ws://127.0.0.1:9000/pool", "127.0.0.1", 9000, "pool"},
        {"ws://127.0.0.1/", "127.0.0.1", 80, ""},
        {"ws://127.0.0.1", "127.0.0.1", 80, ""},
        {"ws://127.0.0.1:80/x", "127.0.0.1", 80, "x"},
        {"ws://127.0.0.1:8080/", "127.0.0.1", 8080, ""},
        {"ws://127.0.0.1:8080", "127.0.0.1", 8080, ""},
        {"ws://127.0.0.1/a b", "127.0.0.1", 80, "a"},
        {"ws://pool.example:4000/a/b?c=1", "pool.example", 4000, "a/b?c=1"},
    };
    for (const UrlCase& c : cases) {
        wsclient::WsUrl u;
        ASSERT_TRUE(wsclient::parse_ws_url(c.url, u)) << c.url;
        EXPECT_EQ(u.host, c.host) << c.url;
        EXPECT_EQ(u.port, c.port) << c.url;
        EXPECT_EQ(u.path, c.path) << c.url;
    }
}

TEST(WsUrl, RejectedFormsPrintOneLine) {
    for (const char* url : {"wss://127.0.0.1/x", "ws://:9000/x", "http://127.0.0.1/", "ws://", ""}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(WebSocket::from_url(url), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("ERROR: Could not parse WebSocket url: ") + url + "\n");
    }
}

TEST(WsRequest, HostLineOmitsPort80AndOriginIsOptional) {
    wsclient::WsUrl u{"127.0.0.1", 80, ""};
    std::vector<std::string> lines = wsclient::handshake_request(u, "");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "GET / HTTP/1.1\r\n");
    EXPECT_EQ(lines[1], "Host: 127.0.0.1\r\n");
    for (const std::string& l : lines) EXPECT_EQ(l.rfind("Origin", 0), std::string::npos);

    u.port = 8080;
    lines = wsclient::handshake_request(u, "http://o");
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[1], "Host: 127.0.0.1:8080\r\n");
    EXPECT_EQ(lines[4], "Origin: http://o\r\n");
}

// The whole request as the server reads it, and a server that answers 101 gets an OPEN client.
TEST(WsHandshake, RequestOnTheWire) {
    std::string request;
    ScriptedServer peer([&](int fd) {
        request = read_request(fd);
        write_all(fd, kSwitching);
    });
    WebSocket* ws = WebSocket::from_url(peer.url("/pool"), "http://miner");
    peer.join();
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(ws->getReadyState(), WebSocket::OPEN);
    delete ws;

    const std::string port = peer.url("").substr(strlen("ws://127.0.0.1:"));
    const size_t key_at = request.find("Sec-WebSocket-Key: ");
    ASSERT_NE(key_at, std::string::npos);
    const std::string key = request.substr(key_at + 19, 26);
    EXPECT_EQ(key.size(), 26u);
    EXPECT_EQ(key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
              22u);
    EXPECT_EQ(key.substr(22), "==\r\n");
    EXPECT_EQ(request,
              "GET /pool HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: http://miner\r\n"
                  "Sec-WebSocket-Key: " + key.substr(0, 24) +
                  "\r\nSec-WebSocket-Version: 13\r\n\r\n");
}

TEST(WsHandshake, UrlAndOriginSizeLimits) {
    std::string request;
    ScriptedServer peer([&](int fd) {
        request = read_request(fd);
        write_all(fd, kSwitching);
    });
    const std::string url511 = peer.url("/") + std::string(511 - peer.url("/").size(), 'p');
    const std::string origin199(199, 'o');
    WebSocket* ws = WebSocket::from_url(url511, origin199);
    peer.join();
    ASSERT_NE(ws, nullptr);
    delete ws;
    EXPECT_EQ(request.rfind("GET /" + std::string(511 - peer.url("/").size(), 'p') + " HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(request.find("Origin: " + origin199 + "\r\n"), std::string::npos);

    const std::string prefix = "ws://127.0.0.1:1/";
    const std::string url512 = prefix + std::string(512 - prefix.size(), 'p');
    testing::internal::CaptureStderr();
    EXPECT_EQ(WebSocket::from_url(url512), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: url size limit exceeded: " + url512 + "\n");

    const std::string origin200(200, 'o');
    testing::internal::CaptureStderr();
    EXPECT_EQ(WebSocket::from_url(prefix, origin200), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: origin size limit exceeded: " + origin200 + "\n");
}

// Answers the request with `response`, then closes; returns what the client printed.
std::string refused_with(const std::string& response, std::string* url_out = nullptr) {
    bool client_closed = false;
    ScriptedServer peer([&](int fd) {
        read_request(fd);
        write_all(fd, response);
        shutdown(fd, SHUT_WR);
        client_closed = wait_closed(fd);
    });
    if (url_out) *url_out = peer.url("/x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(WebSocket::from_url(peer.url("/x")), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    peer.join();
    EXPECT_TRUE(client_closed) << "the failed attempt left its socket open";
    return err;
}

// The refused line is shown with its own CR LF or LF; any other control byte and every byte from
// 0x7F on is shown as \xNN, so a status line cannot forge a log line or drive the terminal.
TEST(WsHandshake, BadStatusLines) {
    std::string url;
    const std::pair<std::string, std::string> cases[] = {
        {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 200 OK\r\n"},
        {"HTTP/1.0 101 Switching Protocols\r\n", "HTTP/1.0 101 Switching Protocols\r\n"},
        {"HTTP/1.1 x101\r\n", "HTTP/1.1 x101\r\n"},
        {"SSH-2.0-OpenSSH\r\n", "SSH-2.0-OpenSSH\r\n"},
        {"HTTP/1.1 404 Not Found\n", "HTTP/1.1 404 Not Found\n"},
        {"HTTP/1.1 500 \x1b[2J\x1b[H\x7f\xc3\xa9\r\n", "HTTP/1.1 500 \\x1b[2J\\x1b[H\\x7f\\xc3\\xa9\r\n"},
        {std::string("HTTP/1.1 403 a") + '\0' + "b\tc\r\n", "HTTP/1.1 403 a\\x00b\\x09c\r\n"},
        {"HTTP/1.1 200\rERROR: forged\r\n", "HTTP/1.1 200\\x0dE\n"},  // a CR ends the line one byte on
    };
    for (const auto& c : cases) {
        const std::string err = refused_with(c.first + "\r\n", &url);
        EXPECT_EQ(err, "ERROR: Got bad status connecting to " + url + ": " + c.second);
    }
    // 1022 bytes with CR LF is the longest status line; 1023 is refused.
    const std::string reason1022(1022 - strlen("HTTP/1.1 101 ") - 2, 'r');
    Pair ok;
    open_pair(ok, true, "HTTP/1.1 101 " + reason1022 + "\r\n\r\n");
    EXPECT_NE(ok.ws, nullptr);
    const std::string err = refused_with("HTTP/1.1 101 " + reason1022 + "r\r\n\r\n", &url);
    EXPECT_EQ(err, "ERROR: Got invalid status line connecting to: " + url + "\n");
}

TEST(WsHandshake, ServerClosingOrResettingMidwayFailsSilently) {
    EXPECT_EQ(refused_with(""), "");
    EXPECT_EQ(refused_with("HTTP/1.1 101 Swi"), "");
    EXPECT_EQ(refused_with("HTTP/1.1 101 Switching Protocols\r\nUpgrade: web"), "");

    // A reset makes recv fail rather than return 0; that too ends the attempt at once.
    ScriptedServer resetting([](int& fd) {
        read_request(fd);
        write_all(fd, "HTTP/1.1 101 Switching Protocols\r\n");
        const linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        close(fd);
        fd = -1;
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(WebSocket::from_url(resetting.url("/x")), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    resetting.join();
}

// Nothing behind the empty line is taken by the handshake: the first frame, sent in the same
// segment after a header line longer than the line buffer, comes out of the first poll.
TEST(WsHandshake, LongHeaderAndFirstFrameInOneSegment) {
    const std::string response = "HTTP/1.1 101 Switching Protocols\r\nX-Long: " + std::string(2000, 'h') +
                                 "\r\nUpgrade: websocket\r\n\r\n" + frame(0x81, "first");
    Pair p;
    open_pair(p, true, response);
    ASSERT_NE(p.ws, nullptr);
    std::vector<std::string> got;
    p.ws->poll(1000);
    p.ws->dispatch([&](const std::string& m) { got.push_back(m); });
    EXPECT_EQ(got, std::vector<std::string>{"first"});
}

// Header lines are read whole at every length around multiples of 1023 (a reader that cut lines
// there took a leftover CR LF for the end of the response and then parsed headers as frames).
TEST(WsHandshake, HeaderLinesOfBoundaryLengths) {
    for (const size_t length : {1021u, 1022u, 1023u, 1024u, 1025u, 1026u, 2045u, 2046u, 2047u, 2048u,
                                2049u, 3069u, 3070u, 3071u}) {
        const std::string line = "Set-Cookie: " + std::string(length - 14, 'c') + "\r\n";
        ASSERT_EQ(line.size(), length);
        const std::string response = "HTTP/1.1 101 Switching Protocols\r\n" + line +
                                     "Upgrade: websocket\r\n\r\n" + frame(0x81, "first");
        Pair p;
        testing::internal::CaptureStderr();
        open_pair(p, true, response);
        ASSERT_NE(p.ws, nullptr) << length;
        std::vector<std::string> got;
        pump(p.ws, got, [&] { return !got.empty(); }, 1000);
        EXPECT_EQ(got, std::vector<std::string>{"first"}) << "header line of " << length << " bytes";
        EXPECT_EQ(p.ws->getReadyState(), WebSocket::OPEN) << length;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << length;
    }
}

// The header section (the lines after the status line, the empty one included) has a size limit.
TEST(WsHandshake, HeaderSectionIsBoundedInTotal) {
    const size_t limit = wsclient::kMaxHandshakeHeaderBytes;
    // Header lines of exactly `size` bytes in all, the empty line that ends them included.
    const auto headers = [](size_t size) {
        const std::string last = "Upgrade: websocket\r\n\r\n";
        const std::string filler_line = "X-Fill: " + std::string(4000, 'f') + "\r\n";
        std::string filler;
        while (filler.size() + filler_line.size() + last.size() <= size) filler += filler_line;
        filler += "X-Rest: " + std::string(size - filler.size() - last.size() - 10, 'r') + "\r\n";
        return filler + last;
    };
    ASSERT_EQ(headers(limit).size(), limit);
    ASSERT_EQ(headers(limit + 1).size(), limit + 1);

    Pair at_limit;
    open_pair(at_limit, true, "HTTP/1.1 101 Switching Protocols\r\n" + headers(limit));
    EXPECT_NE(at_limit.ws, nullptr);

    std::string url;
    const std::string err = refused_with("HTTP/1.1 101 Switching Protocols\r\n" + headers(limit + 1), &url);
    EXPECT_EQ(err, "ERROR: Handshake response headers too long connecting to: " + url + "\n");
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Accepted by the kernel, never answered: the handshake gives up after its time limit.
TEST(WsHandshake, SilentServerTimesOut) {
    Listener silent;
    wsclient::ConnectOptions options;
    options.handshakeTimeoutMs = 300;
    const auto t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    EXPECT_EQ(WebSocket::from_url(silent.url("/x"), "", options), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: Handshake timed out connecting to: " + silent.url("/x") + "\n");
    const double s = seconds_since(t0);
    EXPECT_GE(s, 0.29);
    EXPECT_LT(s, 0.3 + 1.5);
}

// A listener whose accept queue is full drops new connection requests, so connect never completes.
struct FullListener {
    Listener listener{0};
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    FullListener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(listener.port));
        EXPECT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    }
    ~FullListener() { close(filler); }
};

// A resolver that answers after 3 s: longer than any wait below, short enough to end the test
// when the wait is not cut.
int slow_resolver(const char*, const char*, const addrinfo*, addrinfo**) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return EAI_AGAIN;
}

// An unanswered connect, or name resolution, ends at the connect time limit.
TEST(WsConnect, UnansweredConnectOrResolutionTimesOut) {
    for (const bool resolving : {false, true}) {
        SCOPED_TRACE(resolving ? "resolution" : "connect");
        FullListener full;
        wsclient::ConnectOptions options;
        options.connectTimeoutMs = 300;
        std::string why;
        options.failure = &why;
        if (resolving) options.resolve = slow_resolver;
        const auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        EXPECT_EQ(WebSocket::from_url(full.listener.url("/x"), "", options), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string(resolving ? "getaddrinfo: timed out" : "connect: Connection timed out") +
                      "\nUnable to connect to 127.0.0.1:" + std::to_string(full.listener.port) + "\n");
        EXPECT_EQ(why, resolving ? "name resolution timed out" : "timed out");
        const double s = seconds_since(t0);
        EXPECT_GE(s, 0.29);
        EXPECT_LT(s, 0.3 + 1.5);
    }
}

// A stop request ends a connect or handshake wait with nothing printed, long before the (default)
// 5 s limits; one made before the call ends it at once. The bound is wide on purpose: a busy
// machine delays the threads by tens of milliseconds, while a wait that ignored the request would
// run on for seconds.
TEST(WsConnect, StopRequestEndsTheWaitsQuickly) {
    enum Where { RESOLVE, CONNECT, HANDSHAKE, TLS_HANDSHAKE };
    for (const Where where : {RESOLVE, CONNECT, HANDSHAKE, TLS_HANDSHAKE}) {
        for (const int stop_after_ms : {0, 10, 250}) {
            FullListener full;
            Listener silent;
            std::string url = where == CONNECT ? full.listener.url("/x") : silent.url("/x");
            if (where == TLS_HANDSHAKE) url.replace(0, 2, "wss");  // no ServerHello ever comes
            std::atomic<bool> stop{stop_after_ms == 0};
            wsclient::ConnectOptions options;
            options.stop = [&] { return stop.load(); };
            if (where == RESOLVE) options.resolve = slow_resolver;
            auto stopped_at = std::chrono::steady_clock::now();
            std::thread stopper([&] {
                if (stop_after_ms == 0) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(stop_after_ms));
                stopped_at = std::chrono::steady_clock::now();
                stop = true;
            });
            testing::internal::CaptureStderr();
            WebSocket* ws = where == TLS_HANDSHAKE
                                ? WebSocket::from_url_tls(url, "", options, wsclient::TlsOptions())
                                : WebSocket::from_url(url, "", options);
            const auto returned_at = std::chrono::steady_clock::now();
            stopper.join();
            EXPECT_EQ(ws, nullptr);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            const double late_ms =
                std::chrono::duration<double, std::milli>(returned_at - stopped_at).count();
            EXPECT_LT(late_ms, 1000.0)
                << (where == RESOLVE ? "resolve" : where == CONNECT ? "connect" : "handshake")
                << (where == TLS_HANDSHAKE ? " (TLS)" : "")
                << ", stop after " << stop_after_ms << " ms";
        }
    }
}

TEST(WsConnect, FailuresNameHostAndPort) {
    // The port is not range-checked; -1 is refused by the resolver without any lookup.
    testing::internal::CaptureStderr();
    EXPECT_EQ(WebSocket::from_url("ws://127.0.0.1:-1/x"), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("getaddrinfo: ", 0), 0u) << err;
    EXPECT_NE(err.find("\nUnable to connect to 127.0.0.1:-1\n"), std::string::npos) << err;

    int port;
    {
        Listener gone;
        port = gone.port;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(WebSocket::from_url("ws://127.0.0.1:" + std::to_string(port) + "/x"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unable to connect to 127.0.0.1:" + std::to_string(port) + "\n");
}

TEST(WsDummy, OneClosedInstanceThatIgnoresEverything) {
    WebSocket* d = WebSocket::create_dummy();
    EXPECT_EQ(d, WebSocket::create_dummy());
    EXPECT_EQ(d->getReadyState(), WebSocket::CLOSED);
    EXPECT_FALSE(d->send("x"));
    EXPECT_FALSE(d->sendBinary(std::string("x")));
    d->close();
    d->poll(0);
    int calls = 0;
    d->dispatch([&](const std::string&) { ++calls; });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(d->getReadyState(), WebSocket::CLOSED);
}

}  // namespace
