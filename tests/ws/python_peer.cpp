#include "tests/ws/python_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace wstest {

namespace {

// TARN_PYTHON3 is the python3 the build was configured with: scripts/setup's .venv, which holds
// the pinned websockets.

// Whether that python3 can import the websockets library (the peer's server); asked once.
bool have_websockets() {
    static const bool have = [] {
        const std::string probe =
            std::string("'") + TARN_PYTHON3 + "' -c 'import websockets' >/dev/null 2>&1";
        const int rc = std::system(probe.c_str());
        return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
    }();
    return have;
}

}  // namespace

std::string PythonPeer::start(const std::vector<std::string>& args, bool quiet_stderr) {
    if (access(TARN_PYTHON3, X_OK) != 0) return "python3 is not installed";
    if (!have_websockets()) {
        return "the python3 package websockets is missing (scripts/setup installs it)";
    }
    std::vector<std::string> argv = {TARN_PYTHON3, std::string(TARN_TOOLS_DIR) + "/ws_peer.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return "";
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        if (quiet_stderr) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
        }
        close(out[0]);
        close(out[1]);
        execv(TARN_PYTHON3, cargv.data());
        _exit(127);
    }
    close(out[1]);
    from_peer_ = out[0];
    const std::string first = line(10000);
    if (first.rfind("port ", 0) == 0) port = std::stoi(first.substr(5));
    return "";
}

PythonPeer::~PythonPeer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (from_peer_ >= 0) close(from_peer_);
}

std::string PythonPeer::line(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            std::string l = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return l;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        pollfd w{from_peer_, POLLIN, 0};
        if (left <= 0 || ::poll(&w, 1, int(left)) != 1) return "";
        char buf[256];
        const ssize_t n = read(from_peer_, buf, sizeof(buf));
        if (n <= 0) return "";
        buffered_.append(buf, size_t(n));
    }
}

}  // namespace wstest
