// TLS under the WebSocket framing (OpenSSL 3): certificate and host name checks, SNI, and a
// socket BIO that writes with MSG_NOSIGNAL.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "ws/transport.h"
#include "ws/url.h"
#include "ws/websocket.h"

namespace wsclient {

enum class TlsOpen { OK, FAILED, STOPPED };

// Runs the TLS handshake on a connected socket (made non-blocking here) until the deadline.
// On OK *out owns the socket; otherwise the socket is still the caller's and *why holds the
// cause ("certificate verify failed: self-signed certificate", "handshake timed out", ...).
TlsOpen tls_open(int fd, const WsUrl& url, const TlsOptions& tls,
                 std::chrono::steady_clock::time_point deadline, const std::function<bool()>& stop,
                 std::unique_ptr<Transport>* out, std::string* why);

}  // namespace wsclient
