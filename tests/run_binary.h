// Runs the built program as a child process: arguments, standard input, captured output.
#pragma once

#include <string>
#include <vector>

namespace testutil {

struct RunResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs `program args...` with `input` on standard input; kills it after timeout_s seconds.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input = "", int timeout_s = 120);

// The same with standard input a terminal (a pseudo-terminal) on which `typed` is typed, "\x04"
// (Ctrl-D) at the start of a line ending the input.
RunResult run_on_terminal(const std::string& program, const std::vector<std::string>& args,
                          const std::string& typed, int timeout_s = 120);

}  // namespace testutil
