// Goldilocks field arithmetic (p = 2^64 - 2^32 + 1) as the kernels run it, shared with the host.
// Values are partially reduced (any 64-bit word) unless a name or comment says canonical.
#pragma once

#include <cstdint>

#include "field/arch_policy.h"
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

// lo + h * 2^64 for a small top limb h, in either form (arch_policy.h says which form goes where;
// the forms agree on every input).
template <Fold F>
TARN_HD felt fold96(Acc96 a) {
  if constexpr (F == Fold::mad) return fold_mul_eps(a.lo, a.hi, tarn_epsilon());
  return fold_mul_eps_adds(a.lo, a.hi, tarn_epsilon());
}

// In a linear layer, and in an internal round's lane.
template <int CC>
TARN_HD felt reduce96(Acc96 a) { return fold96<policy_for(CC).linear_fold>(a); }
template <int CC>
TARN_HD felt reduce96_lane(Acc96 a) { return fold96<policy_for(CC).lane_fold>(a); }

TARN_HD felt gf_mul(felt a, felt b) {
  const U128 p = mul_wide(a, b);
  return reduce128(p.lo, p.hi);
}

// a * a reduced, in the form S names (arch_policy.h; the forms agree on every input).
template <Square S>
TARN_HD felt gf_sqr_as(felt a) {
  const U128 p = S == Square::three_mul ? sqr_wide(a)
                 : S == Square::native  ? mul_wide_native(a, a)
                                        : mul_wide(a, a);
  return reduce128(p.lo, p.hi);
}

template <int CC>
TARN_HD felt gf_sqr(felt a) { return gf_sqr_as<policy_for(CC).square>(a); }

// The sum of two accumulators in a linear layer.
template <int CC>
TARN_HD Acc96 acc_sum(Acc96 a, Acc96 b) {
  if constexpr (policy_for(CC).linear_sum == AccSum::words64) return acc_add_wide(a, b);
  return acc_add(a, b);
}

template <int CC>
TARN_HD felt gf_pow7(felt x) {
  const felt x2 = gf_sqr_as<policy_for(CC).first_square>(x);
  const felt x3 = gf_mul(x2, x);
  const felt x4 = gf_sqr<CC>(x2);
  return gf_mul(x4, x3);
}

// x^7 + c + eps as an accumulator (top limb at most 2), for an S-box whose output only feeds a
// linear layer: the last product takes c in its carry chain and skips its final fold
// (fold128_plus_eps).
template <int CC>
TARN_HD Acc96 gf_pow7_add_plus_eps(felt x, felt c) {
  const felt x2 = gf_sqr_as<policy_for(CC).first_square>(x);
  const felt x3 = gf_mul(x2, x);
  const felt x4 = gf_sqr<CC>(x2);
  const U128 p = mul_wide_add(x4, x3, c);
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
