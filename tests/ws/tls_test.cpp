// "wss://" against a real TLS server (Python's websockets with an ssl context, or OpenSSL for
// the hostile cases), with certificates made for each run by the openssl command line; and the
// socket options and IPv6 literals every connection has.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/ws/loopback.h"
#include "tests/ws/python_peer.h"
#include "ws/real_websocket.h"
#include "ws/transport.h"
#include "ws/url.h"

using wsclient::WebSocket;
using namespace wstest;

namespace {

// A temporary folder holding the certificates of make_test_certs.sh; made once per run.
const std::string& cert_dir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tarn-tls-XXXXXX";
        const char* d = mkdtemp(tmpl);
        if (!d) return std::string();
        const std::string cmd = std::string(TARN_TESTS_DIR) + "/ws/make_test_certs.sh " + d;
        return std::system(cmd.c_str()) == 0 ? std::string(d) : std::string();
    }();
    return dir;
}

// tools/ws_peer.py over TLS with the named certificate ("good", "expired", ...); why the test
// must be skipped, or empty.
std::string start_tls_peer(PythonPeer& peer, const std::string& cert) {
    if (cert_dir().empty()) return "the openssl command line could not make certificates";
    const std::string d = cert_dir() + "/";
    return peer.start({"--tls-cert", d + cert + ".pem", "--tls-key", d + cert + ".key"}, true);
}

std::string url_of(const PythonPeer& peer, const std::string& host = "localhost") {
    return "wss://" + host + ":" + std::to_string(peer.port) + "/tls";
}

wsclient::TlsOptions trusting(const std::string& ca) {
    wsclient::TlsOptions t;
    if (!ca.empty()) t.caFile = cert_dir() + "/" + ca + ".pem";
    return t;
}

std::string pattern(size_t n, int salt) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + size_t(salt)) & 0xff);
    return s;
}

TEST(Tls, LargeAndFragmentedMessagesCrossTlsIntact) {
    PythonPeer peer;
    const std::string why = start_tls_peer(peer, "good");
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_NE(peer.port, 0);
    WebSocket* ws = WebSocket::from_url_tls(url_of(peer), "", wsclient::ConnectOptions(), trusting("ca"));
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(peer.line(), "open /tls");
    // Frames far larger than one TLS record (16 KiB), so both sides split and join records.
    std::vector<std::string> sent;
    for (size_t n : {size_t(0), size_t(125), size_t(70000), size_t(3) << 20}) {
        sent.push_back(std::string(n, 'x') + std::to_string(n));  // text must be UTF-8
        ws->send(sent.back());
        sent.push_back(pattern(n, 7));
        ws->sendBinary(sent.back());
    }
    ws->send("cmd:fragments");  // three frames with a ping between
    sent.push_back("fragmented message");
    sent.push_back("pong:between");
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return got.size() >= sent.size(); }, 30000));
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(got[i] == sent[i]) << "message " << i;
    ws->close();
    EXPECT_TRUE(pump(ws, got, [&] { return ws->getReadyState() == WebSocket::CLOSED; }));
    EXPECT_EQ(peer.line(), "closed 1005");
    delete ws;
}

struct Refusal {
    const char* cert;
    const char* ca;     // file added to the trust store, or ""
    const char* host;
    const char* cause;  // the reason reported
};

TEST(Tls, CertificateFailuresNameTheirCause) {
    const Refusal cases[] = {
        {"good", "other_ca", "localhost", "certificate verify failed: unable to get local issuer certificate"},
        {"self", "", "localhost", "certificate verify failed: self-signed certificate"},
        {"expired", "ca", "localhost", "certificate verify failed: certificate has expired"},
        {"wrong_name", "ca", "localhost", "certificate verify failed: hostname mismatch"},
        {"wrong_name", "ca", "127.0.0.1", "certificate verify failed: IP address mismatch"},
        {"cn_only", "ca", "localhost", "certificate verify failed: hostname mismatch"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " via " + c.host);
        PythonPeer peer;
        const std::string why = start_tls_peer(peer, c.cert);
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_NE(peer.port, 0);
        std::string failure;
        wsclient::ConnectOptions options;
        options.failure = &failure;
        testing::internal::CaptureStderr();
        WebSocket* ws = WebSocket::from_url_tls(url_of(peer, c.host), "", options, trusting(c.ca));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ws, nullptr);
        delete ws;
        EXPECT_EQ(failure, c.cause);
        EXPECT_EQ(err, "ERROR: TLS: " + std::string(c.cause) + " connecting to " + url_of(peer, c.host) + "\n");
    }
}

TEST(Tls, NoVerifyConnectsButWarnsEveryTime) {
    PythonPeer peer;
    const std::string why = start_tls_peer(peer, "self");
    if (!why.empty()) GTEST_SKIP() << why;
    wsclient::TlsOptions tls;
    tls.noVerify = true;
    for (int i = 0; i < 2; ++i) {
        testing::internal::CaptureStderr();
        WebSocket* ws = WebSocket::from_url_tls(url_of(peer), "", wsclient::ConnectOptions(), tls);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "WARNING: the certificate of " + url_of(peer) + " is not verified (--tls-no-verify)\n");
        ASSERT_NE(ws, nullptr);
        ws->send("again");
        std::vector<std::string> got;
        EXPECT_TRUE(pump(ws, got, [&] { return !got.empty(); }));
        EXPECT_EQ(got, std::vector<std::string>{"again"});
        delete ws;
    }
}

TEST(Tls, AServerThatStallsInTheHandshakeTimesOut) {
    Listener silent;  // the kernel accepts; nobody answers the ClientHello
    wsclient::ConnectOptions options;
    options.handshakeTimeoutMs = 300;
    std::string failure;
    options.failure = &failure;
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    WebSocket* ws = WebSocket::from_url_tls("wss://127.0.0.1:" + std::to_string(silent.port) + "/",
                                            "", options, wsclient::TlsOptions());
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ws, nullptr);
    EXPECT_EQ(failure, "handshake timed out");
    EXPECT_NE(err.find("ERROR: TLS: handshake timed out connecting to wss://127.0.0.1:"), std::string::npos) << err;
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 3.0);
}

// An OpenSSL server context with the good certificate, for the scripted servers below.
SSL_CTX* good_server_ctx(int max_version = 0) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (max_version) SSL_CTX_set_max_proto_version(ctx, max_version);
    if (SSL_CTX_use_certificate_chain_file(ctx, (cert_dir() + "/good.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, (cert_dir() + "/good.key").c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// Completes the TLS handshake on fd and reads the upgrade request; the session, or null.
SSL* accept_upgrade(SSL_CTX* ctx, int fd) {
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    std::string request;
    char c;
    while (request.find("\r\n\r\n") == std::string::npos && SSL_read(ssl, &c, 1) == 1) request += c;
    return ssl;
}

// An OpenSSL server that upgrades, sends one whole frame, then half a TLS record, and drops the
// TCP connection without a close_notify.
TEST(Tls, AServerClosingMidRecordEndsTheConnectionAfterTheWholeFrames) {
    if (cert_dir().empty()) GTEST_SKIP() << "no certificates";
    SSL_CTX* ctx = good_server_ctx();
    ASSERT_NE(ctx, nullptr);
    ScriptedServer server([&](int& fd) {
        if (SSL* ssl = accept_upgrade(ctx, fd)) {
            const std::string reply = std::string(kSwitching) + frame(0x81, "whole");
            SSL_write(ssl, reply.data(), int(reply.size()));
            const std::string cut("\x17\x03\x03\x01\x00partial-record", 19);
            write_all(fd, cut);
            SSL_free(ssl);
        }
        close(fd);
        fd = -1;
    });
    signal(SIGPIPE, SIG_DFL);  // a write to the dropped connection must not need this
    WebSocket* ws = WebSocket::from_url_tls("wss" + server.url("/").substr(2), "", wsclient::ConnectOptions(),
                                            [] { wsclient::TlsOptions t; t.caFile = cert_dir() + "/ca.pem"; return t; }());
    ASSERT_NE(ws, nullptr);
    server.join();
    testing::internal::CaptureStderr();
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return ws->getReadyState() == WebSocket::CLOSED; }));
    ws->send(std::string(100000, 'w'));  // nothing is written any more, and nothing raises
    ws->poll(10);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Connection error!\n");
    EXPECT_EQ(got, std::vector<std::string>{"whole"});
    delete ws;
    SSL_CTX_free(ctx);
}

// A TLS 1.2 server that asks to renegotiate in the middle of the upgrade is refused (it sees the
// no_renegotiation alert and gives up) instead of being followed into a second handshake.
TEST(Tls, AServerThatAsksToRenegotiateIsRefused) {
    if (cert_dir().empty()) GTEST_SKIP() << "no certificates";
    SSL_CTX* ctx = good_server_ctx(TLS1_2_VERSION);
    ASSERT_NE(ctx, nullptr);
    bool refused = false;
    ScriptedServer server([&](int& fd) {
        if (SSL* ssl = accept_upgrade(ctx, fd)) {
            char c;
            ERR_clear_error();
            if (SSL_renegotiate(ssl) == 1 && SSL_do_handshake(ssl) == 1 && SSL_read(ssl, &c, 1) <= 0)
                refused = ERR_GET_REASON(ERR_peek_error()) == SSL_R_NO_RENEGOTIATION;
            SSL_free(ssl);
        }
        close(fd);
        fd = -1;
    });
    wsclient::ConnectOptions options;
    options.handshakeTimeoutMs = 1000;
    std::string failure;
    options.failure = &failure;
    testing::internal::CaptureStderr();
    WebSocket* ws = WebSocket::from_url_tls("wss" + server.url("/").substr(2), "", options, trusting("ca"));
    testing::internal::GetCapturedStderr();
    server.join();
    EXPECT_EQ(ws, nullptr);
    delete ws;
    EXPECT_TRUE(refused);
    EXPECT_EQ(failure, "closed during the handshake");
    SSL_CTX_free(ctx);
}

TEST(Tls, TheWsFactoriesStillRefuseWss) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(WebSocket::from_url("wss://127.0.0.1:1/x"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Could not parse WebSocket url: wss://127.0.0.1:1/x\n");
}

TEST(SocketOptions, EveryConnectionHasKeepalive) {
    Pair p;
    open_pair(p, true);
    ASSERT_NE(p.ws, nullptr);
    const int fd = static_cast<wsclient::_RealWebSocket*>(p.ws)->socketFd;
    const std::pair<int, int> want[] = {{SOL_SOCKET, SO_KEEPALIVE}, {IPPROTO_TCP, TCP_KEEPIDLE},
                                        {IPPROTO_TCP, TCP_KEEPINTVL}, {IPPROTO_TCP, TCP_KEEPCNT},
                                        {IPPROTO_TCP, TCP_NODELAY}};
    const int expected[] = {1, 30, 10, 3, 1};
    for (size_t i = 0; i < 5; ++i) {
        int v = -1;
        socklen_t len = sizeof(v);
        ASSERT_EQ(getsockopt(fd, want[i].first, want[i].second, &v, &len), 0);
        EXPECT_EQ(v != 0 && i % 4 == 0 ? 1 : v, expected[i]) << "option " << i;
    }
}

TEST(Ipv6, BracketedLiteralsParseAndConnect) {
    wsclient::WsUrl u;
    ASSERT_TRUE(wsclient::parse_ws_url("ws://[::1]:9000/pool", u));
    EXPECT_EQ(u.host, "[::1]");
    EXPECT_EQ(u.port, 9000);
    EXPECT_EQ(u.path, "pool");
    EXPECT_EQ(wsclient::handshake_request(u, "")[1], "Host: [::1]:9000\r\n");
    ASSERT_TRUE(wsclient::parse_wss_url("wss://[::1]/", u));
    EXPECT_EQ(u.port, 443);
    EXPECT_EQ(wsclient::handshake_request(u, "")[1], "Host: [::1]\r\n");
    EXPECT_FALSE(wsclient::parse_ws_url("ws://[]:1/", u));
    EXPECT_FALSE(wsclient::parse_ws_url("ws://[::1/", u));

    const int lfd = socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(lfd, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    if (bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(lfd);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    socklen_t len = sizeof(a);
    getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    listen(lfd, 1);
    std::string request;
    std::thread server([&] {
        const int c = accept(lfd, nullptr, nullptr);
        request = read_request(c);
        write_all(c, kSwitching);
        wait_closed(c);
        close(c);
    });
    const std::string port = std::to_string(ntohs(a.sin6_port));
    WebSocket* ws = WebSocket::from_url("ws://[::1]:" + port + "/six");
    EXPECT_NE(ws, nullptr);
    if (ws) {
        ws->close();
        ws->poll(100);
        delete ws;
    }
    server.join();
    close(lfd);
    EXPECT_NE(request.find("GET /six HTTP/1.1\r\nHost: [::1]:" + port + "\r\n"), std::string::npos) << request;
}

}  // namespace
