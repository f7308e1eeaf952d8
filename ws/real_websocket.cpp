// The connection over a real socket: frame queueing, poll and dispatch.
#include "ws/real_websocket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "ws/frame.h"
#include "ws/ws_limits.h"

namespace wsclient {

_RealWebSocket::_RealWebSocket(int fd, bool mask, int closeTimeoutMs)
    : _RealWebSocket(std::make_unique<PlainTransport>(fd), mask, closeTimeoutMs) {}

_RealWebSocket::_RealWebSocket(std::unique_ptr<Transport> stream, bool mask, int closeTimeoutMs)
    : socketFd(stream->fd()), maskOutgoing(mask), closeTimeout(closeTimeoutMs),
      transport(std::move(stream)) {}

// A CLOSED connection has already closed its socket; any other still owns it.
_RealWebSocket::~_RealWebSocket() {
    if (state != CLOSED && socketFd >= 0) transport->close();
}

// True when the frame was queued. A frame that would take the queue past its limit fails the
// connection: a peer that stopped reading gets no more of our memory.
bool _RealWebSocket::queueFrame(uint8_t opcode, const uint8_t* payload, size_t size) {
    if (state < CONNECTING) return false;
    const size_t header = 2 + (size <= 125 ? 0 : size <= 0xffff ? 2 : 8) + (maskOutgoing ? 4 : 0);
    if (size > kMaxSendBuffered || sendBuffer.size() + header + size > kMaxSendBuffered) {
        closeSocket("ERROR: Send queue full. Closing.\n");
        return false;
    }
    append_frame(sendBuffer, opcode, payload, size, maskOutgoing);
    return true;
}

bool _RealWebSocket::send(const std::string& message) {
    return queueFrame(OP_TEXT, reinterpret_cast<const uint8_t*>(message.data()), message.size());
}

bool _RealWebSocket::sendBinary(const std::string& message) {
    return queueFrame(OP_BINARY, reinterpret_cast<const uint8_t*>(message.data()), message.size());
}

bool _RealWebSocket::sendBinary(const std::vector<uint8_t>& message) {
    return queueFrame(OP_BINARY, message.data(), message.size());
}

void _RealWebSocket::sendPing() { queueFrame(OP_PING, nullptr, 0); }

void _RealWebSocket::close() {
    if (state < CONNECTING) return;
    state = CLOSING;
    closeDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(closeTimeout);
    sendBuffer.insert(sendBuffer.end(), kCloseFrame, kCloseFrame + sizeof(kCloseFrame));
}

// The only place a socket is closed, so it is closed exactly once.
void _RealWebSocket::closeSocket(const char* message) {
    transport->close();
    state = CLOSED;
    if (message) fputs(message, stderr);
}

void _RealWebSocket::poll(int timeout) {
    if (state == CLOSED) {
        if (timeout > 0) ::poll(nullptr, 0, timeout);
        return;
    }
    // Bytes the transport already holds (a decrypted TLS record) are read without waiting.
    if (timeout != 0 && transport->pending() == 0) {
        // No wait past the close deadline. Readability is asked for only while poll would read:
        // at the receive limit a readable socket would wake this wait at once, again and again.
        int wait = timeout > 0 ? timeout : -1;
        if (state == CLOSING) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                closeDeadline - std::chrono::steady_clock::now()).count();
            const int until_deadline = left > 0 ? int(left) : 0;
            if (wait < 0 || until_deadline < wait) wait = until_deadline;
        }
        const short events = short((receiveBuffer.size() < kMaxReceiveBuffered ? POLLIN : 0) |
                                   (sendBuffer.empty() ? 0 : POLLOUT));
        // poll(2) rather than select: any descriptor number works.
        pollfd waiter{socketFd, events, 0};
        ::poll(&waiter, 1, wait);
    }

    // Receive until the socket has nothing more, holding back once a full frame's worth waits.
    while (receiveBuffer.size() < kMaxReceiveBuffered) {
        const size_t used = receiveBuffer.size();
        receiveBuffer.resize(used + 1500);
        const ssize_t n = transport->read(receiveBuffer.data() + used, 1500);
        const int err = errno;
        receiveBuffer.resize(n > 0 ? used + size_t(n) : used);
        if (n > 0) continue;
        if (n < 0 && err == EINTR) continue;
        if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) break;
        closeSocket(n == 0 ? "Connection closed!\n" : "Connection error!\n");
        break;
    }

    // Transmit. The transport never raises SIGPIPE: a reset peer gives an error.
    while (state != CLOSED && !sendBuffer.empty()) {
        const ssize_t n = transport->write(sendBuffer.data(), sendBuffer.size());
        if (n > 0) {
            sendBuffer.erase(sendBuffer.begin(), sendBuffer.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        closeSocket(n == 0 ? "Connection closed!\n" : "Connection error!\n");
    }

    // The client does not wait for the server's close frame.
    if (sendBuffer.empty() && state == CLOSING) closeSocket(nullptr);
    if (state == CLOSING && std::chrono::steady_clock::now() >= closeDeadline) {
        closeSocket("ERROR: Close frame could not be sent in time. Closing.\n");
    }
}

void _RealWebSocket::failReceive(const char* message) {
    receiveFailed = true;
    fputs(message, stderr);
    close();
}

namespace {

struct CallbackAdapter : public BytesCallback_Imp {
    Callback_Imp& callback;
    explicit CallbackAdapter(Callback_Imp& c) : callback(c) {}
    void operator()(const std::vector<uint8_t>& message) override {
        callback(std::string(message.begin(), message.end()));
    }
};

}  // namespace

void _RealWebSocket::_dispatch(Callback_Imp& callback) {
    CallbackAdapter adapter(callback);
    _dispatchBinary(adapter);
}

void _RealWebSocket::_dispatchBinary(BytesCallback_Imp& callback) {
    if (receiveFailed || closeReceived) return;
    // Frames are consumed from an offset and removed in one move at the end, so a buffer of many
    // small frames costs linear time.
    size_t offset = 0;
    while (receiveBuffer.size() - offset >= 2) {
        uint8_t* frame = receiveBuffer.data() + offset;
        const size_t available = receiveBuffer.size() - offset;
        FrameHeader h;
        const HeaderStatus status = read_frame_header(frame, available, h);
        if (status == HeaderStatus::INCOMPLETE) break;
        if (status == HeaderStatus::INVALID_LENGTH) {
            failReceive("ERROR: Frame has invalid frame length. Closing.\n");
            break;
        }
        // Refuse oversized frames as soon as their header is in, before buffering the payload.
        if (h.payload_size > kMaxMessageBytes) {
            failReceive("ERROR: Frame too large. Closing.\n");
            break;
        }
        const bool data = h.opcode == OP_CONTINUATION || h.opcode == OP_TEXT || h.opcode == OP_BINARY;
        if (data && messageBuffer.size() + h.payload_size > kMaxMessageBytes) {
            failReceive("ERROR: Message too large. Closing.\n");
            break;
        }
        const size_t size = size_t(h.payload_size);
        if (available < h.header_size + size) break;

        uint8_t* payload = frame + h.header_size;
        if (h.masked) {
            for (size_t i = 0; i < size; ++i) payload[i] ^= h.key[i & 3];
        }
        if (data) {
            messageBuffer.insert(messageBuffer.end(), payload, payload + size);
            if (h.fin) {
                std::vector<uint8_t> message;
                message.swap(messageBuffer);  // leaves messageBuffer empty and its memory released
                callback(message);
            }
        } else if (h.opcode == OP_PING) {
            queueFrame(OP_PONG, payload, size);
        } else if (h.opcode == OP_PONG) {
            // nothing to do: the client never waits for a pong
        } else if (h.opcode == OP_CLOSE) {
            // The server sends nothing after its close frame; whatever follows is not delivered.
            closeReceived = true;
            close();
            offset += h.header_size + size;
            break;
        } else {
            fputs("ERROR: Got unexpected WebSocket message.\n", stderr);
            close();
        }
        offset += h.header_size + size;
    }
    receiveBuffer.erase(receiveBuffer.begin(), receiveBuffer.begin() + offset);
}

}  // namespace wsclient
