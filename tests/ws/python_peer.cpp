#include "tests/ws/python_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace wstest {

namespace {

bool on_path(const std::string& program) {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Whether python3 can import the websockets library (the peer's server); asked once.
bool have_websockets() {
    static const bool have = [] {
        const int rc = std::system("python3 -c 'import websockets' >/dev/null 2>&1");
        return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
    }();
    return have;
}

}  // namespace

std::string PythonPeer::start(const std::vector<std::string>& args, bool quiet_stderr) {
    if (!on_path("python3")) return "python3 is not installed";
    if (!have_websockets()) {
        return "the python3 package websockets is missing (python3 -m pip install websockets==15.0.1)";
    }
    std::vector<std::string> argv = {"python3", std::string(TARN_TOOLS_DIR) + "/ws_peer.py"};
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
        execvp("python3", cargv.data());
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
