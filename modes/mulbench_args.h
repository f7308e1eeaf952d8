// The iteration word of "mulbench".
#pragma once

namespace tarn {

// One launch does 8 x 256 x 32 x SMs x iters multiplications; beyond 2^20 iterations a single
// launch runs for minutes even on a large GPU, and beyond 2^32 the count would be cut.
constexpr unsigned int kMaxMulbenchIters = 1u << 20;

// Reads the digits after optional blanks and a sign, as strtol would, and ignores what follows
// them: text with no digits counts as 0. False for a negative count or one above
// kMaxMulbenchIters.
bool parse_mulbench_iters(const char* word, unsigned int* iters);

}  // namespace tarn
