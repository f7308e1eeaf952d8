// "ws://" URL parsing and the opening-handshake request.
#include "ws/url.h"

#include <cstdio>

namespace wsclient {

// Any fixed base64 encoding of 16 bytes serves: the server's answer to it is not checked.
static const char kHandshakeKey[] = "dGFybi1jdWRhLWNsaWVudA==";

bool parse_ws_url(const std::string& url, WsUrl& out) {
    // With the 511-character URL limit no field is ever cut by these widths.
    char host[512] = {0};
    char path[512] = {0};
    int port = 0;
    const char* s = url.c_str();
    bool matched = sscanf(s, "ws://%511[^:/]:%d/%511s", host, &port, path) == 3;
    if (!matched && sscanf(s, "ws://%511[^:/]/%511s", host, path) == 2) {
        port = 80;
        matched = true;
    }
    if (!matched && sscanf(s, "ws://%511[^:/]:%d", host, &port) == 2) {
        path[0] = '\0';
        matched = true;
    }
    if (!matched && sscanf(s, "ws://%511[^:/]", host) == 1) {
        port = 80;
        path[0] = '\0';
        matched = true;
    }
    if (!matched) return false;
    out.host = host;
    out.port = port;
    out.path = path;
    return true;
}

std::vector<std::string> handshake_request(const WsUrl& url, const std::string& origin) {
    std::vector<std::string> lines;
    char line[1024];
    snprintf(line, sizeof(line), "GET /%s HTTP/1.1\r\n", url.path.c_str());
    lines.push_back(line);
    if (url.port == 80) {
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
