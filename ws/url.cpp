// "ws://" URL parsing and the opening-handshake request.
#include "ws/url.h"

#include <cstdio>
#include <cstring>

namespace wsclient {

// Any fixed base64 encoding of 16 bytes serves: the server's answer to it is not checked.
static const char kHandshakeKey[] = "dGFybi1jdWRhLWNsaWVudA==";

namespace {

// The four patterns on what follows the scheme. A host in brackets is an IPv6 literal, which
// holds the ':' that the plain patterns stop at.
bool parse_after_scheme(const char* s, int default_port, WsUrl& out) {
    // With the 511-character URL limit no field is ever cut by these widths.
    char host[512] = {0};
    char path[512] = {0};
    int port = 0;
    std::string literal;
    if (*s == '[') {
        const char* close = std::strchr(s, ']');
        if (!close || close == s + 1) return false;
        literal.assign(s, size_t(close - s) + 1);
        s = close + 1;
        if (*s != '\0' && *s != ':' && *s != '/') return false;
    }
    const bool bracketed = !literal.empty();
    // A bracketed host is already taken; a placeholder stands for it in the patterns.
    std::string rest = bracketed ? std::string("h") + s : std::string(s);
    const char* r = rest.c_str();
    bool matched = sscanf(r, "%511[^:/]:%d/%511s", host, &port, path) == 3;
    if (!matched && sscanf(r, "%511[^:/]/%511s", host, path) == 2) {
        port = default_port;
        matched = true;
    }
    if (!matched && sscanf(r, "%511[^:/]:%d", host, &port) == 2) {
        path[0] = '\0';
        matched = true;
    }
    if (!matched && sscanf(r, "%511[^:/]", host) == 1) {
        port = default_port;
        path[0] = '\0';
        matched = true;
    }
    if (!matched) return false;
    out.host = bracketed ? literal : std::string(host);
    out.port = port;
    out.default_port = default_port;
    out.path = path;
    return true;
}

bool parse_with_scheme(const std::string& url, const char* scheme, int default_port, WsUrl& out) {
    const size_t n = std::strlen(scheme);
    if (url.compare(0, n, scheme) != 0) return false;
    return parse_after_scheme(url.c_str() + n, default_port, out);
}

}  // namespace

bool parse_ws_url(const std::string& url, WsUrl& out) { return parse_with_scheme(url, "ws://", 80, out); }

bool parse_wss_url(const std::string& url, WsUrl& out) {
    return parse_with_scheme(url, "wss://", 443, out);
}

std::string resolver_host(const WsUrl& url) {
    if (url.host.size() >= 2 && url.host.front() == '[') return url.host.substr(1, url.host.size() - 2);
    return url.host;
}

std::vector<std::string> handshake_request(const WsUrl& url, const std::string& origin) {
    std::vector<std::string> lines;
    char line[1024];
    snprintf(line, sizeof(line), "GET /%s HTTP/1.1\r\n", url.path.c_str());
    lines.push_back(line);
    if (url.port == url.default_port) {
        snprintf(line, sizeof(line), "Host: %s\r\n", url.host.c_str());
    } else {
        snprintf(line, sizeof(line), "Host: %s:%d\r\n", url.host.c_str(), url.port);
    }
    lines.push_back(line);
    lines.push_back("Upgrade: websocket\r\n");
    lines.push_back("Connection: Upgrade\r\n");
    if (!origin.empty()) {
        snprintf(line, sizeof(line), "Origin: %s\r\n", origin.c_str());
        lines.push_back(line);
    }
    snprintf(line, sizeof(line), "Sec-WebSocket-Key: %s\r\n", kHandshakeKey);
    lines.push_back(line);
    lines.push_back("Sec-WebSocket-Version: 13\r\n");
    lines.push_back("\r\n");
    return lines;
}

}  // namespace wsclient
