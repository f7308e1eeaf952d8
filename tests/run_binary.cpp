#include "tests/run_binary.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace testutil {

namespace {

// The child's standard input is in[0]; the input goes to in[1] (a pipe, or a terminal's master
// side, kept open until the child is gone).
RunResult run_child(const std::string& program, const std::vector<std::string>& args,
                    const std::string& input, int timeout_s, int in[2], bool terminal) {
  RunResult r;
  int out[2], err[2];
  if (pipe(out) || pipe(err)) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (terminal) {
    // A few bytes: the terminal keeps them until the child reads.
    if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
      kill(pid, SIGKILL);
    }
  } else if (input.empty()) {
    close(in[1]);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  bool out_open = true, err_open = true, in_open = !terminal && !input.empty();
  while (out_open || err_open) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    const int nfds = in_open ? 3 : 2;
    if (poll(fds, nfds, 200) <= 0) continue;
    char buf[4096];
    for (int k = 0; k < 2; ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = read(fds[k].fd, buf, sizeof buf);
      if (n > 0) {
        (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else {
        (k == 0 ? out_open : err_open) = false;
      }
    }
    if (in_open && (fds[2].revents & (POLLOUT | POLLERR))) {
      const ssize_t n = write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n <= 0 || written == input.size()) {
        close(in[1]);
        in_open = false;
      }
    }
  }
  if (in_open) close(in[1]);
  close(out[0]);
  close(err[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (terminal) close(in[1]);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, int timeout_s) {
  int in[2];
  if (pipe(in)) return RunResult();
  return run_child(program, args, input, timeout_s, in, false);
}

RunResult run_on_terminal(const std::string& program, const std::vector<std::string>& args,
                          const std::string& typed, int timeout_s) {
  int in[2];
  in[1] = posix_openpt(O_RDWR | O_NOCTTY);
  if (in[1] < 0 || grantpt(in[1]) || unlockpt(in[1])) return RunResult();
  in[0] = open(ptsname(in[1]), O_RDWR | O_NOCTTY);
  if (in[0] < 0) {
    close(in[1]);
    return RunResult();
  }
  return run_child(program, args, typed, timeout_s, in, true);
}

}  // namespace testutil
