// Child processes for end-to-end tests: output (stdout and stderr together) read line by line
// with time limits, so a stuck child fails a test instead of hanging it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace pooltest {

class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();  // a child still running is killed and reaped

  // argv[0] is looked up in PATH when it has no slash. Standard input is empty, or with
  // `input` a pipe fed by send() until close_input().
  bool start(const std::vector<std::string>& argv, bool input = false);
  bool send(const std::string& text);
  void close_input();

  // Reads output until pred(lines) holds or the time is up; returns pred(lines).
  bool wait_for(const std::function<bool(const std::vector<std::string>&)>& pred, double seconds);
  // The first line containing `part` within the time, or empty.
  std::string wait_for_line(const std::string& part, double seconds);
  // Sends sig and waits for the exit, reading output meanwhile: the exit status, 128 + signal
  // when it was killed by one, or -1 when it outlived the time (it is then killed).
  int stop(int sig, double seconds);
  // Sends sig and goes on.
  void signal(int sig);

  const std::vector<std::string>& lines() const { return lines_; }
  std::string output() const;

 private:
  bool read_some(int timeout_ms);  // false at end of output
  pid_t pid_ = -1;
  int fd_ = -1;
  int in_fd_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
};

// Full path of an executable found in PATH, or empty.
std::string find_in_path(const std::string& name);

}  // namespace pooltest
