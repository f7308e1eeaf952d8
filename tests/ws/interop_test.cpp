// Interoperability with a real WebSocket server library (Python's websockets), started on a free
// loopback port.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "tests/ws/loopback.h"

using wsclient::WebSocket;
using namespace wstest;

namespace {

bool on_path(const std::string& program) {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Whether python3 can import the websockets library (the peer's server).
bool have_websockets() {
    const int rc = std::system("python3 -c 'import websockets' >/dev/null 2>&1");
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

// The Python peer as a child process whose standard output the test reads line by line.
class PythonPeer {
public:
    // Why the test must be skipped, or empty. A peer that should run but does not leaves port 0.
    std::string start() {
        if (!on_path("python3")) return "python3 is not installed";
        if (!have_websockets()) {
            return "the python3 package websockets is missing (python3 -m pip install websockets==15.0.1)";
        }
        const std::string tools = TARN_TOOLS_DIR;
        int out[2];
        if (pipe(out) != 0) return "";
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execlp("python3", "python3", (tools + "/ws_peer.py").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        from_peer = out[0];
        const std::string first = line(10000);
        if (first.rfind("port ", 0) == 0) port = std::stoi(first.substr(5));
        return "";
    }

    ~PythonPeer() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (from_peer >= 0) close(from_peer);
    }

    // The next line the peer printed, without its newline; empty after the time-out.
    std::string line(int timeout_ms = 5000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const size_t nl = buffered.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            pollfd w{from_peer, POLLIN, 0};
            if (left <= 0 || ::poll(&w, 1, int(left)) != 1) return "";
            char buf[256];
            const ssize_t n = read(from_peer, buf, sizeof(buf));
            if (n <= 0) return "";
            buffered.append(buf, size_t(n));
        }
    }

    std::string url() const { return "ws://127.0.0.1:" + std::to_string(port) + "/interop"; }

    int port = 0;

private:
    pid_t pid = -1;
    int from_peer = -1;
    std::string buffered;
};

std::string text_of(size_t n) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + i % 26);
    return s;
}

std::string bytes_of(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + 17) & 0xff);
    return s;
}

class WsInterop : public testing::Test {
protected:
    void SetUp() override {
        const std::string why = peer.start();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_NE(peer.port, 0) << "tools/ws_peer.py did not start";
        ws = WebSocket::from_url(peer.url());
        ASSERT_NE(ws, nullptr);
        ASSERT_EQ(peer.line(), "open /interop");
    }
    void TearDown() override { delete ws; }

    PythonPeer peer;
    WebSocket* ws = nullptr;
};

TEST_F(WsInterop, EchoesTextAndBinaryOfManySizes) {
    std::vector<std::string> sent;
    for (size_t n : {size_t(0), size_t(1), size_t(125), size_t(126), size_t(65535), size_t(65536),
                     size_t(1) << 20}) {
        sent.push_back(text_of(n));
        ws->send(sent.back());
        sent.push_back(bytes_of(n));
        ws->sendBinary(std::vector<uint8_t>(sent.back().begin(), sent.back().end()));
    }
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return got.size() >= sent.size(); }, 20000));
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(got[i] == sent[i]) << "message " << i;
    EXPECT_EQ(ws->getReadyState(), WebSocket::OPEN);
}

TEST_F(WsInterop, BinaryDispatchKeepsBytes) {
    const std::string b = bytes_of(300);
    ws->sendBinary(b);
    struct Collect : wsclient::BytesCallback_Imp {
        std::vector<std::vector<uint8_t>> got;
        void operator()(const std::vector<uint8_t>& m) override { got.push_back(m); }
    } collect;
    for (int i = 0; i < 500 && collect.got.empty(); ++i) {
        ws->poll(10);
        ws->_dispatchBinary(collect);
    }
    ASSERT_EQ(collect.got.size(), 1u);
    EXPECT_EQ(collect.got[0], std::vector<uint8_t>(b.begin(), b.end()));
}

TEST_F(WsInterop, PingsBothWays) {
    ws->sendPing();             // the library sees our ping and answers it with a pong
    ws->send("cmd:ping");       // the library pings us with "probe" and reports our pong
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return got.size() >= 2; }));
    EXPECT_EQ(got, (std::vector<std::string>{"ping:", "pong:probe"}));
}

TEST_F(WsInterop, FragmentsWithAPingBetweenReassemble) {
    ws->send("cmd:fragments");  // three frames, the library's ping after the first
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return got.size() >= 2; }));
    EXPECT_EQ(got, (std::vector<std::string>{"fragmented message", "pong:between"}));
    EXPECT_EQ(ws->getReadyState(), WebSocket::OPEN);
}

TEST_F(WsInterop, ServerInitiatedCloseIsClean) {
    testing::internal::CaptureStderr();
    ws->send("cmd:close");
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return ws->getReadyState() == WebSocket::CLOSED; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(peer.line(), "closed 1005");  // our close frame carries no status code
}

TEST_F(WsInterop, ClientInitiatedCloseIsClean) {
    testing::internal::CaptureStderr();
    ws->close();
    std::vector<std::string> got;
    EXPECT_TRUE(pump(ws, got, [&] { return ws->getReadyState() == WebSocket::CLOSED; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(peer.line(), "closed 1005");
}

}  // namespace
