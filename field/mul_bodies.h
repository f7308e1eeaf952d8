// Per-thread bodies of the multiplication benchmark, check and debug kernels, run unchanged by
// the GPU module and by the host backend.
#pragma once

#include <stdio.h>

#include <cstdint>

#include "field/goldilocks.h"
#include "field/atomic_add.h"
#include "field/mul_variants.h"

namespace tarn {

constexpr felt MUL_BENCH_FACTOR = 0x9E3779B97F4A7C15ull;  // also the first check-input factor
constexpr felt MUL_CHECK_FACTOR2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t MUL_BOUNDARY_FACTOR = 7919;
constexpr unsigned int MUL_CHECK_BLOCKS = 16384;
constexpr unsigned int MUL_CHECK_TPB = 256;
constexpr unsigned int MUL_CHECK_INPUTS = MUL_CHECK_BLOCKS * MUL_CHECK_TPB;  // one per thread

// The multiplication forms as types, so each kernel body is instantiated for one of them.
struct MulV1 {
  static TARN_HD felt mul(felt a, felt b) { return gf_mul(a, b); }
};
struct MulV3 {
  static TARN_HD felt mul(felt a, felt b) { return gf_mul_v3(a, b); }
};
struct MulV4 {
  static TARN_HD felt mul(felt a, felt b) { return gf_mul_v4(a, b); }
};
struct MulV5 {
  static TARN_HD felt mul(felt a, felt b) { return gf_mul_v5(a, b); }
};

// Eight accumulators a_k * t + b_k: distinct per thread and per chain.
TARN_HD void bench_start(uint64_t t, felt* z) {
  z[0] = t + 1;
  z[1] = 3 * t + 4;
  z[2] = 5 * t + 7;
  z[3] = 7 * t + 10;
  z[4] = 11 * t + 15;
  z[5] = 13 * t + 18;
  z[6] = 17 * t + 23;
  z[7] = 19 * t + 26;
}

TARN_HD uint64_t bench_fold(const felt* z) {
  return z[0] ^ z[1] ^ z[2] ^ z[3] ^ z[4] ^ z[5] ^ z[6] ^ z[7];
}

// Eight independent chains of iters multiplications by a fixed factor; the values stay partially
// reduced, and only their XOR leaves the thread so nothing can be optimised away.
template <class M>
TARN_HD uint64_t mulbench_thread(uint64_t t, uint32_t iters) {
  felt z[8];
  bench_start(t, z);
  TARN_NO_UNROLL
  for (uint32_t i = 0; i < iters; ++i) {
    TARN_UNROLL
    for (int k = 0; k < 8; ++k) z[k] = M::mul(z[k], MUL_BENCH_FACTOR);
  }
  return bench_fold(z);
}

// As mulbench_thread with squarings: as gf_mul(z, z) when mode is 0, else as gf_sqr(z).
template <int CC>
TARN_HD uint64_t sqrbench_thread(uint64_t t, uint32_t iters, int mode) {
  felt z[8];
  bench_start(t, z);
  z[0] = (t + 1) | 1;
  if (mode == 0) {
    TARN_NO_UNROLL
    for (uint32_t i = 0; i < iters; ++i) {
      TARN_UNROLL
      for (int k = 0; k < 8; ++k) z[k] = gf_mul(z[k], z[k]);
    }
  } else {
    TARN_NO_UNROLL
    for (uint32_t i = 0; i < iters; ++i) {
      TARN_UNROLL
      for (int k = 0; k < 8; ++k) z[k] = gf_sqr<CC>(z[k]);
    }
  }
  return bench_fold(z);
}

struct MulPair {
  felt x;
  felt y;
};

// Input of check thread i: a scrambled pair, except the boundary operands at the low indices:
// 0-7 just below 2^64 (above p), and, where near8 is set, 8-15 next to 2^32 or p - 1 with y a
// multiple of eps.
TARN_HD MulPair mulcheck_input(uint64_t i, bool near8) {
  if (i < 8) return {~0ull - i, ~0ull - MUL_BOUNDARY_FACTOR * i};
  if (near8 && i < 16) {
    const felt y = (i + 1) * 0xFFFFFFFFull;
    return {(i & 1) ? 0xFFFFFFFF00000000ull - i / 2 : (1ull << 32) + i / 2, y};
  }
  return {((i + 1) * MUL_BENCH_FACTOR) ^ (i << 40), ((i + 7) * MUL_CHECK_FACTOR2) ^ (i << 20)};
}

// Counts thread i's input when M disagrees with gf_mul after canonicalisation.
template <class M>
TARN_HD void mulcheck_thread(unsigned long long* mismatches, uint32_t n, uint64_t i, bool near8) {
  if (i >= n) return;
  const MulPair in = mulcheck_input(i, near8);
  if (gf_canon(gf_mul(in.x, in.y)) != gf_canon(M::mul(in.x, in.y))) atomic_add(mismatches, 1ull);
}

template <int CC>
TARN_HD void sqrcheck_thread(unsigned long long* mismatches, uint32_t n, uint64_t i) {
  if (i >= n) return;
  const felt x = mulcheck_input(i, true).x;
  if (gf_canon(gf_mul(x, x)) != gf_canon(gf_sqr<CC>(x))) atomic_add(mismatches, 1ull);
}

// One thread: five products by gf_mul, v3 and v4, printed with the device's printf (on the host,
// to standard output).
TARN_HD void muldbg_thread() {
  const felt xs[5] = {1, 2, 1ull << 32, 0xFFFFFFFF00000000ull, MUL_BENCH_FACTOR};
  const felt ys[5] = {1, 3, 1ull << 32, 0xFFFFFFFF00000000ull, MUL_CHECK_FACTOR2};
  for (int k = 0; k < 5; ++k) {
    const felt r = gf_canon(gf_mul(xs[k], ys[k]));
    const felt v3 = gf_canon(gf_mul_v3(xs[k], ys[k]));
    const felt v4 = gf_canon(gf_mul_v4(xs[k], ys[k]));
    printf("x=%016llx y=%016llx | ref=%016llx v3=%016llx v4=%016llx %s\n",
           static_cast<unsigned long long>(xs[k]), static_cast<unsigned long long>(ys[k]),
           static_cast<unsigned long long>(r), static_cast<unsigned long long>(v3),
           static_cast<unsigned long long>(v4), (r == v3 && r == v4) ? "ok" : "MISMATCH");
  }
}

}  // namespace tarn
