// "ws://" URL parsing and the opening-handshake request built from it.
#pragma once

#include <string>
#include <vector>

namespace wsclient {

struct WsUrl {
    std::string host;  // an IPv6 literal keeps its brackets: "[::1]"
    int port = 80;
    std::string path;  // without its leading '/'; cut at the first white space
    int default_port = 80;  // left out of the Host line; 443 for "wss://"
};

// Tries "ws://host:port/path", "ws://host/path", "ws://host:port" and "ws://host" in that order.
// False when none matches (an empty host never does). The URL must be at most 511 characters.
bool parse_ws_url(const std::string& url, WsUrl& out);
// The same patterns after "wss://", with port 443 where none is given.
bool parse_wss_url(const std::string& url, WsUrl& out);

// The name to resolve: the host without the brackets of an IPv6 literal.
std::string resolver_host(const WsUrl& url);

// The request lines in sending order, each ending in CR LF, the empty line last.
std::vector<std::string> handshake_request(const WsUrl& url, const std::string& origin);

}  // namespace wsclient
