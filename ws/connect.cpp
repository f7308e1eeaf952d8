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

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "util/printable.h"
#include "ws/real_websocket.h"
#include "ws/tls_transport.h"
#include "ws/transport.h"
#include "ws/url.h"
#include "ws/ws_limits.h"

namespace wsclient {
namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

enum class Wait { READY, TIMED_OUT, FAILED, STOPPED };

// Waits for events on fd until the deadline, in slices short enough to notice a stop request soon.
Wait wait_for(int fd, short events, Clock::time_point deadline, const std::function<bool()>& stop) {
    for (;;) {
        if (stop && stop()) return Wait::STOPPED;
        const int left = ms_left(deadline);
        const int slice = stop && left > kStopCheckMs ? kStopCheckMs : left;
        pollfd waiter{fd, events, 0};
        const int r = ::poll(&waiter, 1, slice);
        if (r > 0) return Wait::READY;
        if (r < 0 && errno != EINTR) return Wait::FAILED;
        if (r == 0 && slice == left) return Wait::TIMED_OUT;
    }
}

// 0 when connected, otherwise the errno of the failure (ETIMEDOUT when time ran out, ECANCELED
// on a stop request). The socket is left blocking, as the handshake reads it.
int connect_within(int fd, const addrinfo* a, const ConnectOptions& options) {
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            const Wait w = wait_for(fd, POLLOUT, Clock::now() + std::chrono::milliseconds(options.connectTimeoutMs),
                                    options.stop);
            socklen_t len = sizeof(err);
            if (w == Wait::TIMED_OUT) {
                err = ETIMEDOUT;
            } else if (w == Wait::STOPPED) {
                err = ECANCELED;
            } else if (w == Wait::FAILED) {
                err = errno;
            } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                err = errno;
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    return err;
}

void fail_because(const ConnectOptions& options, const std::string& reason) {
    if (options.failure) *options.failure = reason;
}

constexpr int kResolveStopped = -1000;   // beside the EAI_ codes, which are negative and small
constexpr int kResolveTimedOut = -1001;

// getaddrinfo can neither be given a time limit nor be interrupted, so it runs on a thread of its
// own; when the time is up or a stop comes that thread is left to finish alone and free its answer.
int resolve_within(const std::string& host, const char* port, const addrinfo& hints,
                   const ConnectOptions& options, addrinfo** out) {
    struct Lookup {
        std::mutex m;
        std::condition_variable done_cv;
        bool done = false;
        bool abandoned = false;
        int rc = 0;
        addrinfo* result = nullptr;
    };
    auto lookup = std::make_shared<Lookup>();
    auto resolve = options.resolve;
    std::thread([lookup, resolve, host, service = std::string(port), hints] {
        addrinfo* result = nullptr;
        const int rc = resolve ? resolve(host.c_str(), service.c_str(), &hints, &result)
                               : getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
        std::lock_guard<std::mutex> lock(lookup->m);
        if (lookup->abandoned) {
            if (rc == 0 && result) freeaddrinfo(result);
            return;
        }
        lookup->rc = rc;
        lookup->result = result;
        lookup->done = true;
        lookup->done_cv.notify_all();
    }).detach();
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.connectTimeoutMs);
    std::unique_lock<std::mutex> lock(lookup->m);
    for (;;) {
        if (lookup->done) {
            *out = lookup->result;
            return lookup->rc;
        }
        if (options.stop && options.stop()) break;
        const auto now = Clock::now();
        if (now >= deadline) break;
        lookup->done_cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(kStopCheckMs)));
    }
    lookup->abandoned = true;
    return options.stop && options.stop() ? kResolveStopped : kResolveTimedOut;
}

// Resolves and connects; -1 after the failure lines, or silently after a stop request.
int open_socket(const WsUrl& u, const ConnectOptions& options) {
    char port[16];
    snprintf(port, sizeof(port), "%d", u.port);
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = resolve_within(resolver_host(u), port, hints, options, &result);
    if (rc == kResolveStopped) return -1;
    if (rc == kResolveTimedOut) {
        fail_because(options, "name resolution timed out");
        fprintf(stderr, "getaddrinfo: timed out\n");
        fprintf(stderr, "Unable to connect to %s:%d\n", u.host.c_str(), u.port);
        return -1;
    }
    if (rc != 0) {
        fail_because(options, rc == EAI_AGAIN ? "name resolution failed for now" : "name not resolved");
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
        fprintf(stderr, "Unable to connect to %s:%d\n", u.host.c_str(), u.port);
        return -1;
    }
    int fd = -1;
    bool timed_out = false;
    bool stopped = false;
    int last_err = 0;
    for (const addrinfo* a = result; a != nullptr && !stopped; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        const int err = connect_within(fd, a, options);
        if (err == 0) break;
        last_err = err;
        timed_out = timed_out || err == ETIMEDOUT;
        stopped = err == ECANCELED;
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(result);
    if (fd >= 0) set_keepalive(fd);
    if (fd < 0 && !stopped) {
        fail_because(options, timed_out                  ? "timed out"
                              : last_err == ECONNREFUSED ? "connection refused"
                              : last_err != 0            ? strerror(last_err)
                                                         : "no address");
        if (timed_out) fprintf(stderr, "connect: %s\n", strerror(ETIMEDOUT));
        fprintf(stderr, "Unable to connect to %s:%d\n", u.host.c_str(), u.port);
    }
    return fd;
}

enum class ReadResult { OK, CLOSED, FAILED, TIMED_OUT, STOPPED, TOO_LONG };

// Reads the response from the blocking socket one byte per recv, so nothing behind its empty
// line leaves the socket: those bytes are frames for the frame layer.
struct ResponseReader {
    Transport& stream;
    Clock::time_point deadline;
    const std::function<bool()>& stop;

    ReadResult byte(char* out) const {
        for (;;) {
            // A TLS session may already hold the next bytes; the socket would not say so.
            switch (stream.pending() > 0 ? Wait::READY : wait_for(stream.fd(), POLLIN, deadline, stop)) {
                case Wait::READY: break;
                case Wait::TIMED_OUT: return ReadResult::TIMED_OUT;
                case Wait::STOPPED: return ReadResult::STOPPED;
                case Wait::FAILED: return ReadResult::FAILED;
            }
            const ssize_t n = stream.read(out, 1);
            if (n == 1) return ReadResult::OK;
            if (n == 0) return ReadResult::CLOSED;
            if (errno != EINTR && errno != EAGAIN) return ReadResult::FAILED;
        }
    }
};

// A line ends once byte i-2 is CR or byte i-1 is LF (so it has at least 2 bytes), or when 1023
// bytes are in; a NUL is stored behind it.
ReadResult read_status_line(const ResponseReader& in, char (&line)[1024], size_t& length) {
    size_t i = 0;
    while (i < 2 || (i < 1023 && line[i - 2] != '\r' && line[i - 1] != '\n')) {
        const ReadResult r = in.byte(&line[i]);
        if (r != ReadResult::OK) return r;
        ++i;
    }
    line[i] = '\0';
    length = i;
    return ReadResult::OK;
}

// Header lines end by the same rule but may be of any length: they are not examined, so only
// their first two bytes are kept, to find the empty line that ends the response.
ReadResult skip_headers(const ResponseReader& in) {
    size_t total = 0;
    for (;;) {
        char first[2] = {0, 0};
        char last[2] = {0, 0};  // bytes i-2 and i-1
        for (size_t i = 0; i < 2 || (last[0] != '\r' && last[1] != '\n'); ++i) {
            if (total == kMaxHandshakeHeaderBytes) return ReadResult::TOO_LONG;
            char c;
            const ReadResult r = in.byte(&c);
            if (r != ReadResult::OK) return r;
            ++total;
            if (i < 2) first[i] = c;
            last[0] = last[1];
            last[1] = c;
        }
        if (first[0] == '\r' && first[1] == '\n') return ReadResult::OK;
    }
}

// The received status line for an error message: its own line end (CR LF or LF) kept as it came,
// every other byte made printable, and a line end added when it had none.
std::string shown_status(const char* line, size_t length) {
    std::string_view text(line, length);
    std::string end = "\n";
    if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") {
        end = "\r\n";
        text.remove_suffix(2);
    } else if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    return tarn::printable(text) + end;
}

// True once the 101 response and its headers have been read; prints the reason for the failures
// that have one.
bool handshake(Transport& stream, const std::string& url, const WsUrl& u, const std::string& origin,
               const ConnectOptions& options) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.handshakeTimeoutMs);
    for (const std::string& line : handshake_request(u, origin)) {
        // A failed write shows up as no answer. Only a non-blocking (TLS) stream can refuse
        // for now; it is given until the deadline.
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = stream.write(line.data() + done, line.size() - done);
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (wait_for(stream.fd(), POLLOUT, deadline, options.stop) != Wait::READY) break;
            } else {
                break;
            }
        }
    }
    const ResponseReader in{stream, deadline, options.stop};
    char line[1024];
    size_t length = 0;
    ReadResult r = read_status_line(in, line, length);
    if (r == ReadResult::OK && length == 1023) {
        fprintf(stderr, "ERROR: Got invalid status line connecting to: %s\n", url.c_str());
        fail_because(options, "invalid status line");
        return false;
    }
    int status = 0;
    if (r == ReadResult::OK && (sscanf(line, "HTTP/1.1 %d", &status) != 1 || status != 101)) {
        fprintf(stderr, "ERROR: Got bad status connecting to %s: %s", url.c_str(),
                shown_status(line, length).c_str());
        fail_because(options, "the server refused the upgrade");
        return false;
    }
    if (r == ReadResult::OK) r = skip_headers(in);
    if (r == ReadResult::TIMED_OUT) {
        fprintf(stderr, "ERROR: Handshake timed out connecting to: %s\n", url.c_str());
        fail_because(options, "handshake timed out");
    } else if (r == ReadResult::TOO_LONG) {
        fprintf(stderr, "ERROR: Handshake response headers too long connecting to: %s\n", url.c_str());
        fail_because(options, "handshake response too long");
    } else if (r == ReadResult::CLOSED || r == ReadResult::FAILED) {
        fail_because(options, "closed during the handshake");
    }
    return r == ReadResult::OK;
}

// The fixed limits of the URL and origin texts, each refused with its own line.
bool sizes_fit(const std::string& url, const std::string& origin) {
    if (url.size() >= 512) {
        fprintf(stderr, "ERROR: url size limit exceeded: %s\n", url.c_str());
        return false;
    }
    if (origin.size() >= 200) {
        fprintf(stderr, "ERROR: origin size limit exceeded: %s\n", origin.c_str());
        return false;
    }
    return true;
}

}  // namespace

WebSocket* from_url(const std::string& url, bool useMask, const std::string& origin,
                    const ConnectOptions& options) {
    if (!sizes_fit(url, origin)) return nullptr;
    WsUrl u;
    if (!parse_ws_url(url, u)) {
        fprintf(stderr, "ERROR: Could not parse WebSocket url: %s\n", url.c_str());
        return nullptr;
    }
    const int fd = open_socket(u, options);
    if (fd < 0) return nullptr;
    PlainTransport stream(fd);
    if (!handshake(stream, url, u, origin, options)) {
        stream.close();
        return nullptr;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return new _RealWebSocket(fd, useMask, options.closeTimeoutMs);
}

WebSocket* from_url_tls(const std::string& url, bool useMask, const std::string& origin,
                        const ConnectOptions& options, const TlsOptions& tls) {
    if (!sizes_fit(url, origin)) return nullptr;
    WsUrl u;
    if (!parse_wss_url(url, u)) {
        fprintf(stderr, "ERROR: Could not parse WebSocket url: %s\n", url.c_str());
        return nullptr;
    }
    if (tls.noVerify) {
        fprintf(stderr, "WARNING: the certificate of %s is not verified (--tls-no-verify)\n", url.c_str());
    }
    const int fd = open_socket(u, options);
    if (fd < 0) return nullptr;
    std::unique_ptr<Transport> stream;
    std::string why;
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.handshakeTimeoutMs);
    const TlsOpen opened = tls_open(fd, u, tls, deadline, options.stop, &stream, &why);
    if (opened != TlsOpen::OK) {
        ::close(fd);
        if (opened == TlsOpen::FAILED) {
            fprintf(stderr, "ERROR: TLS: %s connecting to %s\n", tarn::printable(why).c_str(), url.c_str());
            fail_because(options, why);
        }
        return nullptr;
    }
    if (!handshake(*stream, url, u, origin, options)) {
        stream->close();
        return nullptr;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return new _RealWebSocket(std::move(stream), useMask, options.closeTimeoutMs);
}

WebSocket* from_url(const std::string& url, bool useMask, const std::string& origin) {
    return from_url(url, useMask, origin, ConnectOptions());
}

WebSocket* WebSocket::from_url(const std::string& url, const std::string& origin) {
    return ::wsclient::from_url(url, true, origin);
}

WebSocket* WebSocket::from_url_no_mask(const std::string& url, const std::string& origin) {
    return ::wsclient::from_url(url, false, origin);
}

WebSocket* WebSocket::from_url(const std::string& url, const std::string& origin,
                               const ConnectOptions& options) {
    return ::wsclient::from_url(url, true, origin, options);
}

WebSocket* WebSocket::from_url_no_mask(const std::string& url, const std::string& origin,
                                       const ConnectOptions& options) {
    return ::wsclient::from_url(url, false, origin, options);
}

WebSocket* WebSocket::from_url_tls(const std::string& url, const std::string& origin,
                                   const ConnectOptions& options, const TlsOptions& tls) {
    return ::wsclient::from_url_tls(url, true, origin, options, tls);
}

}  // namespace wsclient
