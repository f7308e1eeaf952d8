// Modes whose drivers have not landed yet answer with one line and a failure status.
#include <cstdio>

#include "modes/modes.h"

namespace {
int not_available(const char* mode) {
  std::fprintf(stderr, "%s: not available yet\n", mode);
  return 1;
}
}  // namespace

int run_minesparsepath() { return not_available("minesparsepath"); }
int run_minev(char const*, char const*) { return not_available("minev"); }
int run_mulbench(int, char**) { return not_available("mulbench"); }
int run_pool(char const*, char const*, char const*, double, int) { return not_available("pool"); }
