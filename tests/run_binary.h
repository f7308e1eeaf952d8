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

}  // namespace testutil
