// Opening a connection: resolution, TCP connect and the opening handshake.
#include "ws/connect.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "ws/real_websocket.h"
#include "ws/url.h"
#include "ws/ws_limits.h"

namespace wsclient {
namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// Waits for events on fd until the deadline: >0 ready, 0 timed out, <0 failed.
int wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd waiter{fd, events, 0};
        const int r = ::poll(&waiter, 1, ms_left(deadline));
        if (r >= 0 || errno != EINTR) return r;
    }
}

// 0 when connected, otherwise the errno of the failure (ETIMEDOUT when time ran out). The socket
// is left blocking, as the handshake reads it.
int connect_within(int fd, const addrinfo* a, int timeout_ms) {
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            const int r = wait_for(fd, POLLOUT, Clock::now() + std::chrono::milliseconds(timeout_ms));
            socklen_t len = sizeof(err);
            if (r == 0) {
                err = ETIMEDOUT;
            } else if (r < 0) {
                err = errno;
            } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                err = errno;
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    return err;
}

// Resolves and connects; -1 after the failure lines.
int open_socket(const WsUrl& u) {
    char port[16];
    snprintf(port, sizeof(port), "%d", u.port);
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = getaddrinfo(u.host.c_str(), port, &hints, &result);
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
        fprintf(stderr, "Unable to connect to %s:%d\n", u.host.c_str(), u.port);
        return -1;
    }
    int fd = -1;
    bool timed_out = false;
    for (const addrinfo* a = result; a != nullptr; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        const int err = connect_within(fd, a, kConnectTimeoutMs);
        if (err == 0) break;
        timed_out = timed_out || err == ETIMEDOUT;
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(result);
    if (fd < 0) {
        if (timed_out) fprintf(stderr, "connect: %s\n", strerror(ETIMEDOUT));
        fprintf(stderr, "Unable to connect to %s:%d\n", u.host.c_str(), u.port);
    }
    return fd;
}

enum class ReadResult { OK, CLOSED, FAILED, TIMED_OUT };

ReadResult read_byte(int fd, char* out, Clock::time_point deadline) {
    for (;;) {
        const int ready = wait_for(fd, POLLIN, deadline);
        if (ready == 0) return ReadResult::TIMED_OUT;
        if (ready < 0) return ReadResult::FAILED;
        const ssize_t n = recv(fd, out, 1, 0);
        if (n == 1) return ReadResult::OK;
        if (n == 0) return ReadResult::CLOSED;
        if (errno != EINTR && errno != EAGAIN) return ReadResult::FAILED;
    }
}

// One byte per recv, so nothing behind the response's empty line leaves the socket: those bytes
// are frames for the frame layer. A line ends once byte i-2 is CR or byte i-1 is LF, or when 1023
// bytes are in; a NUL is stored behind it.
ReadResult read_line(int fd, char (&line)[1024], size_t& length, Clock::time_point deadline) {
    size_t i = 0;
    while (i < 2 || (i < 1023 && line[i - 2] != '\r' && line[i - 1] != '\n')) {
        const ReadResult r = read_byte(fd, &line[i], deadline);
        if (r != ReadResult::OK) return r;
        ++i;
    }
    line[i] = '\0';
    length = i;
    return ReadResult::OK;
}

// True once the 101 response and its headers have been read; prints the reason for the failures
// that have one.
bool handshake(int fd, const std::string& url, const WsUrl& u, const std::string& origin) {
    for (const std::string& line : handshake_request(u, origin)) {
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);  // a failed write shows up as no answer
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs);
    char line[1024];
    size_t length = 0;
    ReadResult r = read_line(fd, line, length, deadline);
    if (r == ReadResult::OK && length == 1023) {
        fprintf(stderr, "ERROR: Got invalid status line connecting to: %s\n", url.c_str());
        return false;
    }
    int status = 0;
    if (r == ReadResult::OK && (sscanf(line, "HTTP/1.1 %d", &status) != 1 || status != 101)) {
        fprintf(stderr, "ERROR: Got bad status connecting to %s: %s", url.c_str(), line);
        return false;
    }
    // Header lines are not examined; a line of 1023 bytes or more is simply read in pieces.
    while (r == ReadResult::OK && !(line[0] == '\r' && line[1] == '\n')) {
        r = read_line(fd, line, length, deadline);
    }
    if (r == ReadResult::TIMED_OUT) {
        fprintf(stderr, "ERROR: Handshake timed out connecting to: %s\n", url.c_str());
    }
    return r == ReadResult::OK;
}

}  // namespace

WebSocket* from_url(const std::string& url, bool useMask, const std::string& origin) {
    if (url.size() >= 512) {
        fprintf(stderr, "ERROR: url size limit exceeded: %s\n", url.c_str());
        return nullptr;
    }
    if (origin.size() >= 200) {
        fprintf(stderr, "ERROR: origin size limit exceeded: %s\n", origin.c_str());
        return nullptr;
    }
    WsUrl u;
    if (!parse_ws_url(url, u)) {
        fprintf(stderr, "ERROR: Could not parse WebSocket url: %s\n", url.c_str());
        return nullptr;
    }
    const int fd = open_socket(u);
    if (fd < 0) return nullptr;
    if (!handshake(fd, url, u, origin)) {
        ::close(fd);
        return nullptr;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return new _RealWebSocket(fd, useMask);
}

WebSocket* WebSocket::from_url(const std::string& url, const std::string& origin) {
    return ::wsclient::from_url(url, true, origin);
}

WebSocket* WebSocket::from_url_no_mask(const std::string& url, const std::string& origin) {
    return ::wsclient::from_url(url, false, origin);
}

}  // namespace wsclient
