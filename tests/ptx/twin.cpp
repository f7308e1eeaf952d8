// The host twin of blocks.cu: reads lines "name v0 v1 ..." (hex), prints the outputs in hex.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "tests/ptx/blocks.h"

using namespace tarn;

#define TARN_PTX_TWIN(name, nin, nout, body)                              \
  if (op == #name) {                                                      \
    uint64_t in[nin] = {};                                                \
    uint64_t out[nout] = {};                                              \
    for (int k = 0; k < nin; ++k) ls >> std::hex >> in[k];                \
    if (!ls) return bad(line);                                            \
    body for (int k = 0; k < nout; ++k) std::printf("%s%llx", k ? " " : "", \
                                                    static_cast<unsigned long long>(out[k])); \
    std::printf("\n");                                                    \
    continue;                                                             \
  }

static int bad(const std::string& line) {
  std::fprintf(stderr, "twin: cannot read line: %s\n", line.c_str());
  return 1;
}

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream ls(line);
    std::string op;
    ls >> op;
    TARN_PTX_BLOCKS(TARN_PTX_TWIN)
    return bad(line);
  }
  return 0;
}
