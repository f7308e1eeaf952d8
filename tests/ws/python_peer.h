// tools/ws_peer.py (Python's websockets) as a child process on a free loopback port, whose
// standard output the tests read line by line.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace wstest {

class PythonPeer {
public:
    PythonPeer() = default;
    PythonPeer(const PythonPeer&) = delete;
    PythonPeer& operator=(const PythonPeer&) = delete;
    ~PythonPeer();  // the peer is stopped and reaped

    // Starts the peer with extra arguments; returns why the test must be skipped (python3 or its
    // websockets package missing), or empty. A peer that should run but does not leaves port 0.
    // quiet_stderr drops the library's own reports (refused handshakes, for instance).
    std::string start(const std::vector<std::string>& args = {}, bool quiet_stderr = false);

    // The next line the peer printed, without its newline; empty after the time-out.
    std::string line(int timeout_ms = 5000);

    int port = 0;

private:
    pid_t pid_ = -1;
    int from_peer_ = -1;
    std::string buffered_;
};

}  // namespace wstest
