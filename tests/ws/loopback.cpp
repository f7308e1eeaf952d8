// Loopback TCP peers that script the server side of a WebSocket connection in tests.
#include "tests/ws/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace wstest {

Listener::Listener(int backlog) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return;
    }
    port = ntohs(a.sin_port);
}

Listener::~Listener() {
    if (fd >= 0) close(fd);
}

std::string Listener::url(const std::string& rest) const {
    return "ws://127.0.0.1:" + std::to_string(port) + rest;
}

ScriptedServer::ScriptedServer(std::function<void(int& fd)> script) {
    thread = std::thread([this, script] {
        pollfd w{listener.fd, POLLIN, 0};
        if (::poll(&w, 1, 10000) != 1) return;  // the client never came
        conn = accept(listener.fd, nullptr, nullptr);
        if (conn >= 0) script(conn);
    });
}

void ScriptedServer::join() {
    if (thread.joinable()) thread.join();
}

ScriptedServer::~ScriptedServer() {
    join();
    if (conn >= 0) close(conn);
}

int ScriptedServer::take_fd() {
    join();
    const int fd = conn;
    conn = -1;
    return fd;
}

bool write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

namespace {

// Reads up to max bytes once data is there; 0 at end of stream or time-out.
size_t read_some(int fd, char* buf, size_t max, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    pollfd w{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&w, 1, int(left)) != 1) return 0;
    const ssize_t n = recv(fd, buf, max, 0);
    return n > 0 ? size_t(n) : 0;
}

std::chrono::steady_clock::time_point after(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

std::string read_request(int fd, int timeout_ms) {
    std::string got;
    const auto deadline = after(timeout_ms);
    char c;
    while (got.size() < 4 || got.compare(got.size() - 4, 4, "\r\n\r\n") != 0) {
        if (read_some(fd, &c, 1, deadline) != 1) break;
        got.push_back(c);
    }
    return got;
}

std::string read_exact(int fd, size_t n, int timeout_ms) {
    std::string got(n, '\0');
    size_t done = 0;
    const auto deadline = after(timeout_ms);
    while (done < n) {
        const size_t k = read_some(fd, &got[done], n - done, deadline);
        if (k == 0) break;
        done += k;
    }
    got.resize(done);
    return got;
}

std::string read_to_eof(int fd, int timeout_ms) {
    std::string got;
    char buf[65536];
    const auto deadline = after(timeout_ms);
    for (;;) {
        const size_t k = read_some(fd, buf, sizeof(buf), deadline);
        if (k == 0) break;
        got.append(buf, k);
    }
    return got;
}

bool wait_closed(int fd, int timeout_ms) {
    char buf[4096];
    const auto deadline = after(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        pollfd w{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&w, 1, int(left)) != 1) return false;
        if (recv(fd, buf, sizeof(buf), 0) <= 0) return true;
    }
}

Pair::~Pair() {
    delete ws;
    if (server >= 0) close(server);
}

void open_pair(Pair& p, bool mask, const std::string& response, const wsclient::ConnectOptions& options) {
    std::string request;
    ScriptedServer peer([&](int fd) {
        request = read_request(fd);
        write_all(fd, response);
    });
    p.ws = mask ? wsclient::WebSocket::from_url(peer.url("/pool"), "", options)
                : wsclient::WebSocket::from_url_no_mask(peer.url("/pool"), "", options);
    p.server = peer.take_fd();
    p.request = request;
}

bool pump(wsclient::WebSocket* ws, std::vector<std::string>& got, const std::function<bool()>& pred,
          int timeout_ms) {
    const auto deadline = after(timeout_ms);
    while (!pred() && std::chrono::steady_clock::now() < deadline) {
        ws->poll(10);
        ws->dispatch([&](const std::string& m) { got.push_back(m); });
    }
    return pred();
}

std::string frame(uint8_t first, const std::string& payload, const uint8_t* key) {
    std::string f(1, char(first));
    const uint8_t mask_bit = key ? 0x80 : 0x00;
    const size_t n = payload.size();
    if (n <= 125) {
        f.push_back(char(mask_bit | n));
    } else if (n <= 0xffff) {
        f.push_back(char(mask_bit | 126));
        f.push_back(char(n >> 8));
        f.push_back(char(n & 0xff));
    } else {
        f.push_back(char(mask_bit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) f.push_back(char((uint64_t(n) >> shift) & 0xff));
    }
    if (key) f.append(reinterpret_cast<const char*>(key), 4);
    for (size_t i = 0; i < n; ++i) f.push_back(char(key ? payload[i] ^ key[i & 3] : payload[i]));
    return f;
}

}  // namespace wstest
