// Goldilocks field arithmetic (p = 2^64 - 2^32 + 1) as the kernels run it, shared with the host.
// Values are partially reduced (any 64-bit word) unless a name or comment says canonical.
#pragma once

#include <cstdint>

#include "field/carry.h"
#include "field/epsilon.h"

namespace tarn {

using felt = uint64_t;

constexpr felt GF_P = 0xFFFFFFFF00000001ull;
constexpr uint32_t GF_EPS = 0xFFFFFFFFu;

// a + b; a wrap drops 2^64 = eps, so add eps back, twice when s + eps would wrap again.
TARN_HD felt gf_add(felt a, felt b) {
  const felt s = a + b;
  if (s >= a) return s;
  return s + (s > 0xFFFFFFFF00000000ull ? 0x1FFFFFFFEull : 0xFFFFFFFFull);
}

// a + b for canonical b (a round constant): one wrap at most, folded without a compare.
TARN_HD felt gf_add_canon(felt a, felt b) { return add_fold_canon(a, b, tarn_epsilon()); }

// a + 1 (the sponge padding): only a wrap to 0 needs a correction.
TARN_HD felt gf_add1(felt a) {
  const felt r = a + 1;
  return r == 0 ? felt{0xFFFFFFFFull} : r;
}

// a - b for canonical b; a borrow adds 2^64 = eps too many, so take eps away (cannot borrow).
TARN_HD felt gf_sub(felt a, felt b) {
  const felt d = a - b;
  return a < b ? d - 0xFFFFFFFFull : d;
}

// lo + hi * 2^64 = lo + h0 * eps - h1 (2^64 = eps, 2^96 = -1).
TARN_HD felt reduce128(uint64_t lo, uint64_t hi) { return fold128(lo, hi, tarn_epsilon()); }

// lo + h * 2^64 for a small top limb h.
TARN_HD felt reduce96(uint64_t lo, uint32_t h) { return fold_mul_eps(lo, h, tarn_epsilon()); }

TARN_HD felt reduce96(Acc96 a) { return reduce96(a.lo, a.hi); }

TARN_HD felt gf_mul(felt a, felt b) {
  const U128 p = mul_wide(a, b);
  return reduce128(p.lo, p.hi);
}

TARN_HD felt gf_sqr(felt a) {
  const U128 p = sqr_wide(a);
  return reduce128(p.lo, p.hi);
}

// a * b + c with a single reduction: c rides in the partial products.
TARN_HD felt gf_mul_add(felt a, felt b, felt c) {
  const U128 p = mul_wide_add(a, b, c);
  return reduce128(p.lo, p.hi);
}

// a * b + c for canonical b and a 96-bit c, with a single reduction and no reduction of c.
TARN_HD felt gf_mul_add96(felt a, felt b, Acc96 c) {
  const U128 p = mul_wide_add96(a, b, c);
  return reduce128(p.lo, p.hi);
}

TARN_HD felt gf_pow7(felt x) {
  const felt x2 = gf_sqr(x);
  const felt x3 = gf_mul(x2, x);
  const felt x4 = gf_sqr(x2);
  return gf_mul(x4, x3);
}

// x^7 + eps as an accumulator (top limb at most 2), for an S-box whose output only feeds a
// linear layer: the last product skips its final fold (fold128_plus_eps).
TARN_HD Acc96 gf_pow7_plus_eps(felt x) {
  const felt x2 = gf_sqr(x);
  const felt x3 = gf_mul(x2, x);
  const felt x4 = gf_sqr(x2);
  const U128 p = mul_wide(x4, x3);
  return fold128_plus_eps(p.lo, p.hi, tarn_epsilon());
}

// The smaller of x and x + eps: x - p when x >= p (the sum wraps), else x.
TARN_HD felt gf_canon(felt x) {
  const felt y = x + 0xFFFFFFFFull;
  return y < x ? y : x;
}

TARN_HD felt word_from_le32(const unsigned char* b) {
  return static_cast<felt>(b[0]) | (static_cast<felt>(b[1]) << 8) |
         (static_cast<felt>(b[2]) << 16) | (static_cast<felt>(b[3]) << 24);
}

TARN_HD void felt_to_le64(felt a, unsigned char* out) {
  const felt c = gf_canon(a);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(c >> (8 * i));
}

}  // namespace tarn
