// Loopback TCP peers that script the server side of a WebSocket connection in tests.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "ws/websocket.h"

namespace wstest {

const char* const kSwitching =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// A listening socket on 127.0.0.1 with a free port; closed on destruction.
struct Listener {
    explicit Listener(int backlog = 8);
    ~Listener();
    std::string url(const std::string& rest = "/") const;  // "ws://127.0.0.1:<port>" + rest
    int fd = -1;
    int port = 0;
};

// Accepts one connection on its own thread and runs script on it. The accepted socket stays
// open after the script unless the script closes it (setting it to -1) or take_fd() hands it over.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int& fd)> script);
    ~ScriptedServer();
    std::string url(const std::string& rest = "/") const { return listener.url(rest); }
    void join();
    int take_fd();  // after join()

private:
    Listener listener;
    int conn = -1;
    std::thread thread;
};

bool write_all(int fd, const std::string& bytes);
// Reads the handshake request up to and including its empty line.
std::string read_request(int fd, int timeout_ms = 5000);
// Reads exactly n bytes unless the peer closes or the time runs out first.
std::string read_exact(int fd, size_t n, int timeout_ms = 5000);
// Reads until end of stream (or the time runs out).
std::string read_to_eof(int fd, int timeout_ms = 5000);
// True when the peer closes (end of stream or reset) within the time, whatever it sends first.
bool wait_closed(int fd, int timeout_ms = 5000);

// Both ends of an upgraded connection: the client and the raw server socket.
struct Pair {
    wsclient::WebSocket* ws = nullptr;
    int server = -1;
    std::string request;
    ~Pair();
};
// Opens a connection whose server answers `response` (which may carry frames after it).
void open_pair(Pair& p, bool mask, const std::string& response = kSwitching,
               const wsclient::ConnectOptions& options = wsclient::ConnectOptions());

// Polls and dispatches until pred() holds or timeout_ms passes; returns pred().
bool pump(wsclient::WebSocket* ws, std::vector<std::string>& got, const std::function<bool()>& pred,
          int timeout_ms = 5000);

// Encodes one server frame: first byte as given, optional masking with key.
std::string frame(uint8_t first, const std::string& payload, const uint8_t* key = nullptr);

}  // namespace wstest
