// Opening a connection: resolution, TCP connect and the opening handshake.
#pragma once

#include <string>

#include "ws/websocket.h"

namespace wsclient {

// The work behind both factories; useMask says whether outgoing frames are masked.
WebSocket* from_url(const std::string& url, bool useMask, const std::string& origin);
WebSocket* from_url(const std::string& url, bool useMask, const std::string& origin,
                    const ConnectOptions& options);
WebSocket* from_url_tls(const std::string& url, bool useMask, const std::string& origin,
                        const ConnectOptions& options, const TlsOptions& tls);

}  // namespace wsclient
