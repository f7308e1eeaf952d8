// Alternative Goldilocks multiplications, kept to be timed against gf_mul (v1), never used by the
// hashing kernels. All return a partially reduced felt congruent to x * y; on the host each
// follows the device's steps with portable C++.
#pragma once

#include <cstdint>

#include "field/goldilocks.h"

namespace tarn {

// h * eps as one multiplication: h < 2^32, so the product fits 64 bits.
TARN_HD uint64_t mul_eps_wide(uint32_t h, uint32_t eps) {
#if defined(__CUDA_ARCH__)
  uint64_t u;
  asm("mul.wide.u32 %0, %1, %2;" : "=l"(u) : "r"(h), "r"(eps));
  return u;
#else
  return static_cast<uint64_t>(h) * eps;
#endif
}

// t + u; a carry out of bit 63 drops 2^64 = eps, so the carry bit times eps goes back into the
// low limb. t + u - 2^64 <= 2^64 - 2^33, so adding eps cannot carry again.
TARN_HD uint64_t add_fold(uint64_t t, uint64_t u, uint32_t eps) {
#if defined(__CUDA_ARCH__)
  uint32_t s0, s1;
  asm("{\n\t"
      ".reg .u32 c;\n\t"
      "add.cc.u32     %0, %2, %4;\n\t"
      "addc.cc.u32    %1, %3, %5;\n\t"
      "addc.u32       c, 0, 0;\n\t"
      "mad.lo.cc.u32  %0, c, %6, %0;\n\t"
      "addc.u32       %1, %1, 0;\n\t"
      "}"
      : "=&r"(s0), "=&r"(s1)
      : "r"(lo32(t)), "r"(hi32(t)), "r"(lo32(u)), "r"(hi32(u)), "r"(eps));
  return make64(s0, s1);
#else
  const uint64_t s = t + u;
  const uint32_t c = s < u;
  return s + static_cast<uint64_t>(c) * eps;
#endif
}

// add_fold with every addition issued as a multiply-add by 1, moving it onto the multiply-add
// path. Same bits as add_fold.
TARN_HD uint64_t add_fold_mad(uint64_t t, uint64_t u, uint32_t eps) {
#if defined(__CUDA_ARCH__)
  uint32_t s0, s1;
  asm("{\n\t"
      ".reg .u32 c, z;\n\t"
      "mov.u32        z, 0;\n\t"
      "mad.lo.cc.u32  %0, %2, 1, %4;\n\t"
      "madc.lo.cc.u32 %1, %3, 1, %5;\n\t"
      "addc.u32       c, 0, 0;\n\t"
      "mad.lo.cc.u32  %0, c, %6, %0;\n\t"
      "madc.lo.u32    %1, z, 1, %1;\n\t"
      "}"
      : "=&r"(s0), "=&r"(s1)
      : "r"(lo32(t)), "r"(hi32(t)), "r"(lo32(u)), "r"(hi32(u)), "r"(eps));
  return make64(s0, s1);
#else
  return add_fold(t, u, eps);
#endif
}

// v3: native 128-bit product; lo - hh (borrow folded), then + hl * eps (carry folded).
TARN_HD felt gf_mul_v3(felt x, felt y) {
  const uint32_t eps = tarn_epsilon();
  const U128 p = mul_wide_native(x, y);
  const uint64_t t = sub_small_fold(p.lo, hi32(p.hi));
  return add_fold(t, mul_eps_wide(lo32(p.hi), eps), eps);
}

// v4: v3 with the reduction's additions as multiply-adds.
TARN_HD felt gf_mul_v4(felt x, felt y) {
  const uint32_t eps = tarn_epsilon();
  const U128 p = mul_wide_native(x, y);
  const uint64_t t = sub_small_fold(p.lo, hi32(p.hi));
  return add_fold_mad(t, mul_eps_wide(lo32(p.hi), eps), eps);
}

// v5: no carry flags, only plain 64-bit operations; the same code on the GPU and the host.
// The product's 32-bit limbs L, m, h0, h1 give L - h0 - h1 + 2^32 (m + h0) (2^64 = eps,
// 2^96 = -1); the one wrap that can remain is folded with a signed correction g * eps.
TARN_HD felt gf_mul_v5(felt x, felt y) {
  const uint64_t a0 = lo32(x), a1 = hi32(x), b0 = lo32(y), b1 = hi32(y);
  const uint64_t q0 = a0 * b0, q1 = a0 * b1, q2 = a1 * b0, q3 = a1 * b1;
  // Column sums: each below 3 * 2^32 + 3, so none overflows.
  const uint64_t c1 = (q0 >> 32) + lo32(q1) + lo32(q2);
  const uint64_t c2 = (q2 >> 32) + (q1 >> 32) + lo32(q3) + (c1 >> 32);
  const uint64_t c3 = (c2 >> 32) + (q3 >> 32);
  const uint64_t L = lo32(q0), m = lo32(c1), h0 = lo32(c2), h1 = lo32(c3);
  const uint64_t s = m + h0;  // 33 bits; its bit 32 stands for 2^64 = eps
  // e = c * eps + L - (h0 + h1), in [-(2^33 - 2), 2^33 - 2]; kept as two's complement.
  const uint64_t e = (s >> 32) * 0xFFFFFFFFull + L - (h0 + h1);
  const uint64_t hi_part = s << 32;
  const uint64_t f = e + hi_part;
  const int64_t k = f < hi_part ? 1 : 0;
  // A negative e read as unsigned carries 2^64 too many, which the wrap test counted.
  const int64_t g = k - static_cast<int64_t>(e >> 63);
  // With g = -1, f >= 2^64 - 2^33 + 2 > eps; with g = 1, f <= 2^32 - 2: no new wrap.
  return f + static_cast<uint64_t>(g) * 0xFFFFFFFFull;
}

}  // namespace tarn
