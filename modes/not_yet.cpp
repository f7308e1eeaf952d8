#include "modes/not_yet.h"

#include <cstdio>

int not_available(const char* mode) {
  std::fprintf(stderr, "%s: not available yet\n", mode);
  return 1;
}
