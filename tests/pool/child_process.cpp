#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

extern char** environ;

namespace pooltest {
namespace {

using Clock = std::chrono::steady_clock;

int ms_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A build whose program runs slower (the sanitizer build hashes about three times slower, and a
// worker notices a closed pool only between launches) stretches every limit by its factor.
#ifndef TARN_TEST_TIME_SCALE
#define TARN_TEST_TIME_SCALE 1
#endif

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(seconds * TARN_TEST_TIME_SCALE));
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::string find_in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t at = 0;
  while (at <= dirs.size()) {
    const size_t end = dirs.find(':', at);
    const std::string dir = dirs.substr(at, end == std::string::npos ? std::string::npos : end - at);
    const std::string full = (dir.empty() ? "." : dir) + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return std::string();
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (fd_ >= 0) close(fd_);
  close_input();
}

bool Child::start(const std::vector<std::string>& argv, bool input) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  int in[2] = {-1, -1};
  // A child that died early makes send() fail rather than end the test by SIGPIPE.
  if (input) ::signal(SIGPIPE, SIG_IGN);
  if (input && pipe2(in, O_CLOEXEC) != 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  if (input)
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (input) close(in[0]);
  if (rc != 0) {
    pid_ = -1;
    close(fds[0]);
    if (input) close(in[1]);
    return false;
  }
  fd_ = fds[0];
  in_fd_ = in[1];
  return true;
}

bool Child::send(const std::string& text) {
  return in_fd_ >= 0 && write(in_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Child::close_input() {
  if (in_fd_ >= 0) close(in_fd_);
  in_fd_ = -1;
}

bool Child::read_some(int timeout_ms) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return true;
  char buf[4096];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n <= 0) {
    close(fd_);
    fd_ = -1;
    if (!partial_.empty()) lines_.push_back(partial_);
    partial_.clear();
    return false;
  }
  partial_.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = partial_.find('\n')) != std::string::npos) {
    lines_.push_back(partial_.substr(0, nl));
    partial_.erase(0, nl + 1);
  }
  return true;
}

bool Child::wait_for(const std::function<bool(const std::vector<std::string>&)>& pred,
                     double seconds) {
  const Clock::time_point deadline = after(seconds);
  while (!pred(lines_)) {
    const int left = ms_until(deadline);
    if (left == 0 || !read_some(std::min(left, 200))) return pred(lines_);
  }
  return true;
}

std::string Child::wait_for_line(const std::string& part, double seconds) {
  std::string found;
  wait_for(
      [&](const std::vector<std::string>& lines) {
        for (const std::string& l : lines) {
          if (l.find(part) != std::string::npos) {
            found = l;
            return true;
          }
        }
        return false;
      },
      seconds);
  return found;
}

int Child::stop(int sig, double seconds) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  const Clock::time_point deadline = after(seconds);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      while (read_some(100)) {
      }
      return decode(status);
    }
    if (ms_until(deadline) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    if (!read_some(50)) usleep(50000);
  }
}

void Child::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

std::string Child::output() const {
  std::string all;
  for (const std::string& l : lines_) all += l + "\n";
  return all + partial_;
}

}  // namespace pooltest
