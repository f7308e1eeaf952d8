// The byte stream under the WebSocket framing: a plain TCP socket or a TLS session over one.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace wsclient {

// Non-blocking reads and writes with the results of recv/send: bytes moved, 0 at end of stream,
// or -1 with errno set (EAGAIN when the call would block).
class Transport {
public:
    virtual ~Transport() = default;
    virtual ssize_t read(void* buf, size_t size) = 0;
    virtual ssize_t write(const void* buf, size_t size) = 0;
    // Bytes already read from the socket and waiting here: readable without waiting on fd().
    virtual size_t pending() const { return 0; }
    // Ends the stream and closes the socket; called exactly once by the owner.
    virtual void close() = 0;
    virtual int fd() const = 0;
};

class PlainTransport : public Transport {
public:
    explicit PlainTransport(int fd) : fd_(fd) {}
    ssize_t read(void* buf, size_t size) override;
    // MSG_NOSIGNAL: a reset peer gives an error, not a SIGPIPE that ends the process.
    ssize_t write(const void* buf, size_t size) override;
    void close() override;
    int fd() const override { return fd_; }

private:
    int fd_;
};

// TCP keepalive on a pool socket, so a connection dropped without a FIN ends within about a
// minute: first probe after 30 s idle, then every 10 s, given up after 3 unanswered.
constexpr int kKeepIdleS = 30;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 3;
void set_keepalive(int fd);

}  // namespace wsclient
