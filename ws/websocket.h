// Public interface of the WebSocket client: RFC 6455 over TCP ("ws://") or TLS ("wss://").
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ws/ws_limits.h"

struct addrinfo;

namespace wsclient {

struct Callback_Imp {
    virtual ~Callback_Imp() = default;
    virtual void operator()(const std::string& message) = 0;
};

struct BytesCallback_Imp {
    virtual ~BytesCallback_Imp() = default;
    virtual void operator()(const std::vector<uint8_t>& message) = 0;
};

// Time limits and the stop request of one connection attempt. The defaults are what the factories
// without options use.
struct ConnectOptions {
    int connectTimeoutMs = kConnectTimeoutMs;      // name resolution; TCP connect, per address
    int handshakeTimeoutMs = kHandshakeTimeoutMs;  // from the request to the end of the response
    int closeTimeoutMs = kCloseTimeoutMs;          // longest CLOSING of the connection made
    // Asked at least every kStopCheckMs while connecting; once it says true the attempt ends with
    // a null result and no message.
    std::function<bool()> stop;
    // Stands in for getaddrinfo (tests: a resolver that never answers). Unset: getaddrinfo.
    std::function<int(const char* host, const char* port, const addrinfo* hints, addrinfo** out)> resolve;
    // When set, a failed attempt leaves a short reason here ("connection refused",
    // "name not resolved", "timed out", a TLS cause), for the caller's own line.
    std::string* failure = nullptr;
};

// Certificate checks of a "wss://" connection: the system trust store, the host name and SNI.
struct TlsOptions {
    std::string caFile;     // one more trusted CA (PEM), beside the system store
    bool noVerify = false;  // no certificate or host name check; warned on every connect
};

// One connection, used by one thread at a time. Callers loop: queue messages, poll(), dispatch(),
// and watch getReadyState() for CLOSED, after which the object is deleted (never the dummy).
class WebSocket {
public:
    // Values matter: a state below CONNECTING means closing or closed.
    enum ReadyState { CLOSING = 0, CLOSED = 1, CONNECTING = 2, OPEN = 3 };

    // Masked outgoing frames, as a client must send them. Null on any failure; the reason is on
    // standard error, except when the server simply hangs up during the handshake.
    static WebSocket* from_url(const std::string& url, const std::string& origin = std::string());
    // The same with unmasked outgoing frames.
    static WebSocket* from_url_no_mask(const std::string& url, const std::string& origin = std::string());
    // Both with explicit time limits and a stop request.
    static WebSocket* from_url(const std::string& url, const std::string& origin, const ConnectOptions& options);
    static WebSocket* from_url_no_mask(const std::string& url, const std::string& origin,
                                       const ConnectOptions& options);
    // "wss://" URLs (default port 443): the same connection over TLS. The plain factories keep
    // refusing them.
    static WebSocket* from_url_tls(const std::string& url, const std::string& origin,
                                   const ConnectOptions& options, const TlsOptions& tls);
    // One process-wide connection that does nothing and is always CLOSED. Do not delete it.
    static WebSocket* create_dummy();

    virtual ~WebSocket() = default;
    // Waits up to timeout ms (0: not at all, negative: without limit), then reads what is available
    // and writes what the socket takes.
    virtual void poll(int timeout = 0) = 0;
    // The send operations queue one frame. True only when it was queued on an OPEN connection:
    // false when closing or closed (the message is dropped) and when the queue limit failed it.
    virtual bool send(const std::string& message) = 0;
    virtual bool sendBinary(const std::string& message) = 0;
    virtual bool sendBinary(const std::vector<uint8_t>& message) = 0;
    virtual void sendPing() = 0;
    virtual void close() = 0;
    virtual ReadyState getReadyState() const = 0;

    // Delivers every complete message received so far to callable(const std::string&). The
    // callable may queue messages or close(), but must not poll or dispatch this connection.
    template <class Callable>
    void dispatch(Callable callable) {
        struct _Callback : public Callback_Imp {
            Callable& callable;
            explicit _Callback(Callable& c) : callable(c) {}
            void operator()(const std::string& message) override { callable(message); }
        };
        _Callback callback(callable);
        _dispatch(callback);
    }

    virtual void _dispatch(Callback_Imp& callback) = 0;
    virtual void _dispatchBinary(BytesCallback_Imp& callback) = 0;
};

}  // namespace wsclient
