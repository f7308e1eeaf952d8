// The plain socket transport and the socket options every connection gets.
#include "ws/transport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wsclient {

ssize_t PlainTransport::read(void* buf, size_t size) { return ::recv(fd_, buf, size, 0); }

ssize_t PlainTransport::write(const void* buf, size_t size) {
    return ::send(fd_, buf, size, MSG_NOSIGNAL);
}

void PlainTransport::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void set_keepalive(int fd) {
    const int on = 1, idle = kKeepIdleS, interval = kKeepIntervalS, count = kKeepCount;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

}  // namespace wsclient
