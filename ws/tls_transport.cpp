// TLS under the WebSocket framing (OpenSSL 3).
#include "ws/tls_transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

namespace wsclient {
namespace {

using Clock = std::chrono::steady_clock;

// The socket under one TLS session, as the BIO sees it.
struct SocketEnd {
    int fd = -1;
    bool eof = false;  // the peer ended the TCP stream
};

int bio_write(BIO* b, const char* data, int size) {
    SocketEnd* end = static_cast<SocketEnd*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    // The one reason for this BIO: a reset peer must give an error, not a SIGPIPE.
    const ssize_t n = ::send(end->fd, data, size_t(size), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
    return int(n);
}

int bio_read(BIO* b, char* data, int size) {
    SocketEnd* end = static_cast<SocketEnd*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    const ssize_t n = ::recv(end->fd, data, size_t(size), 0);
    if (n == 0) end->eof = true;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(b);
    return int(n);
}

long bio_ctrl(BIO* b, int cmd, long, void*) {
    if (cmd == BIO_CTRL_FLUSH) return 1;
    if (cmd == BIO_CTRL_EOF) return static_cast<SocketEnd*>(BIO_get_data(b))->eof ? 1 : 0;
    return 0;
}

BIO_METHOD* nosignal_socket_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                     "socket without SIGPIPE");
        BIO_meth_set_write(m, bio_write);
        BIO_meth_set_read(m, bio_read);
        BIO_meth_set_ctrl(m, bio_ctrl);
        return m;
    }();
    return method;
}

class TlsTransport : public Transport {
public:
    TlsTransport(int fd, SSL_CTX* ctx) : ctx_(ctx) {
        end_.fd = fd;
        ssl_ = SSL_new(ctx_);
        BIO* bio = BIO_new(nosignal_socket_method());
        BIO_set_data(bio, &end_);
        BIO_set_init(bio, 1);
        SSL_set_bio(ssl_, bio, bio);
        SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
    ~TlsTransport() override {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    SSL* ssl() { return ssl_; }

    ssize_t read(void* buf, size_t size) override {
        ERR_clear_error();
        const int n = SSL_read(ssl_, buf, int(size < INT_MAX ? size : INT_MAX));
        return n > 0 ? n : failed(n);
    }
    ssize_t write(const void* buf, size_t size) override {
        ERR_clear_error();
        const int n = SSL_write(ssl_, buf, int(size < INT_MAX ? size : INT_MAX));
        return n > 0 ? n : failed(n);
    }
    size_t pending() const override { return size_t(SSL_pending(ssl_)); }
    void close() override {
        // A goodbye on a healthy session only; it never waits for the peer's answer.
        if (!broken_ && end_.fd >= 0) {
            ERR_clear_error();
            SSL_shutdown(ssl_);
        }
        if (end_.fd >= 0) ::close(end_.fd);
        end_.fd = -1;
    }
    int fd() const override { return end_.fd; }

    // Gives the socket back (the handshake failed): it is the caller's to close.
    void release() { end_.fd = -1; broken_ = true; }

private:
    // The result of a failed SSL_read/SSL_write in recv/send terms.
    ssize_t failed(int n) {
        switch (SSL_get_error(ssl_, n)) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                errno = EAGAIN;
                return -1;
            case SSL_ERROR_ZERO_RETURN:  // the peer's close_notify: an orderly end of stream
                return 0;
            default:
                // A reset, a record cut short by the end of the stream, or a corrupt record:
                // nothing more can be trusted on this session.
                broken_ = true;
                if (errno == 0 || errno == EAGAIN) errno = EPROTO;
                return -1;
        }
    }

    SSL_CTX* ctx_;
    SSL* ssl_ = nullptr;
    SocketEnd end_;
    bool broken_ = false;
};

bool is_ip_literal(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string openssl_reason() {
    const unsigned long e = ERR_peek_last_error();
    const char* r = e ? ERR_reason_error_string(e) : nullptr;
    return r ? r : "handshake failed";
}

}  // namespace

TlsOpen tls_open(int fd, const WsUrl& url, const TlsOptions& tls, Clock::time_point deadline,
                 const std::function<bool()>& stop, std::unique_ptr<Transport>* out, std::string* why) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        *why = "cannot set up TLS: " + openssl_reason();
        return TlsOpen::FAILED;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A server that asks to renegotiate (TLS 1.2) is refused: it could run handshake after
    // handshake at our cost, and nothing we need comes of it.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_default_verify_paths(ctx);
    if (!tls.caFile.empty() && SSL_CTX_load_verify_locations(ctx, tls.caFile.c_str(), nullptr) != 1) {
        *why = "cannot load CA file " + tls.caFile;
        SSL_CTX_free(ctx);
        return TlsOpen::FAILED;
    }
    SSL_CTX_set_verify(ctx, tls.noVerify ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
    auto session = std::make_unique<TlsTransport>(fd, ctx);  // owns ctx from here
    SSL* ssl = session->ssl();
    const std::string host = resolver_host(url);
    if (is_ip_literal(host)) {
        // No SNI for an address; the certificate must name the address itself.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set1_host(ssl, host.c_str());
        // The name must be in subjectAltName, as browsers require; a CN alone is not enough.
        X509_VERIFY_PARAM_set_hostflags(SSL_get0_param(ssl), X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    }

    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int r = SSL_connect(ssl);
        if (r == 1) break;
        const int err = SSL_get_error(ssl, r);
        short events = 0;
        if (err == SSL_ERROR_WANT_READ) events = POLLIN;
        if (err == SSL_ERROR_WANT_WRITE) events = POLLOUT;
        if (events == 0) {
            const long verify = SSL_get_verify_result(ssl);
            if (verify != X509_V_OK) {
                *why = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
            } else if (err == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0) {
                *why = "connection closed during the TLS handshake";
            } else {
                *why = "TLS handshake failed: " + openssl_reason();
            }
            session->release();
            return TlsOpen::FAILED;
        }
        // Waits in short slices so a stop request is seen soon.
        for (;;) {
            if (stop && stop()) {
                session->release();
                return TlsOpen::STOPPED;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                *why = "handshake timed out";
                session->release();
                return TlsOpen::FAILED;
            }
            pollfd waiter{fd, events, 0};
            const int slice = stop && left > kStopCheckMs ? kStopCheckMs : int(left);
            if (::poll(&waiter, 1, slice) > 0) break;
        }
    }
    *out = std::move(session);
    return TlsOpen::OK;
}

}  // namespace wsclient
