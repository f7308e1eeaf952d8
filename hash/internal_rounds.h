// The internal rounds' tables, derived at compile time and checked where they are derived: each
// lane's product split at its 32-bit halves, and the offsets the lanes carry so that the
// shortfalls of complemented halves cost no additions.
#pragma once

#include <cstdint>

#include "hash/round_constants.h"
#include "hash/table_algebra.h"

namespace tarn {

// The internal rounds multiply each lane by its diagonal entry d as
//   lo32(x) * a + hi32(x) * b + addend  (mul_split_add96),
// with a = d and b = d * 2^32 mod p; its value must stay below 2^96, which holds when a + b is at
// most 2^64 - 2^37 (the addend, twelve lanes and a constant, is below 2^68). Where d fails that,
// a complemented half brings it in: lo32(x) = (2^32 - 1) - ~lo32(x), so the half's coefficient
// becomes p - a and the product falls short of x * d by K = (2^32 - 1) a (likewise for the high
// half). The shortfalls are never added: the lanes carry offsets through the rounds instead
// (lane_offsets).
constexpr uint64_t SPLIT_LIMIT = ~0ull - ((1ull << 37) - 1);  // 2^64 - 2^37
constexpr bool split_fits(uint64_t a, uint64_t b) {
  return a <= SPLIT_LIMIT && b <= SPLIT_LIMIT - a;
}

struct LaneSplit {
  uint64_t coef_lo, coef_hi, shortfall;
  bool flip_lo, flip_hi;
  bool fits;  // false only where no split of the lane fits: such a table must not compile
};

// Plain halves where they fit, else the one complemented half that fits (for lane 0 the high
// one: its shortfall rides in its round constants, which it takes anyway), else both.
constexpr LaneSplit lane_split(int i) {
  const uint64_t d = host_tables::MAT_DIAG[i];
  const uint64_t e = ct_mul(d, 1ull << 32);
  const uint64_t m = 0xFFFFFFFFull;
  if (i != 0 && split_fits(d, e)) return {d, e, 0, false, false, true};
  if (split_fits(d, CT_P - e)) return {d, CT_P - e, ct_mul(m, e), false, true, true};
  if (split_fits(CT_P - d, e)) return {CT_P - d, e, ct_mul(m, d), true, false, true};
  const bool both = split_fits(CT_P - d, CT_P - e);
  return {CT_P - d, CT_P - e, ct_add(ct_mul(m, d), ct_mul(m, e)), true, true, both};
}

// The bound the fold after each lane product relies on, checked on the split itself: both
// halves at their largest (2^32 - 1) plus an addend of thirteen words stays below 2^96.
constexpr bool lane_product_below_2_96(int i) {
  const LaneSplit s = lane_split(i);
  using u128 = unsigned __int128;
  const u128 most = u128{0xFFFFFFFFull} * s.coef_lo + u128{0xFFFFFFFFull} * s.coef_hi +
                    u128{13} * ~0ull;
  return s.fits && most < (u128{1} << 96);
}
constexpr bool every_lane_split_fits() {
  for (int i = 0; i < 12; ++i)
    if (!lane_product_below_2_96(i)) return false;
  return true;
}
static_assert(every_lane_split_fits(), "an internal lane's split product can exceed 2^96");

constexpr uint32_t lane_flip_mask(bool hi) {
  uint32_t mask = 0;
  for (int i = 0; i < 12; ++i)
    if (hi ? lane_split(i).flip_hi : lane_split(i).flip_lo) mask |= 1u << i;
  return mask;
}
inline constexpr uint32_t LANE_FLIP_LO = lane_flip_mask(false);
inline constexpr uint32_t LANE_FLIP_HI = lane_flip_mask(true);

// The offsets o_i the lanes 1-11 carry into internal round r (lane 0 carries none, so its S-box
// sees its true value). With T = sum_i o_i, the round maps a carried lane to
//   d_i (x_i + o_i) - K_i + sum_j x_j + T,
// the true lane plus o'_i = d_i o_i - K_i + T; lane 0's constant takes back K_0 - T. The offsets
// are chosen so that the lanes leave the last round exactly TERM_EXT_RC[i] high: the first
// terminal round's constants, which then need no additions of their own. They follow backwards
// from there: o = (D + 1 1^T)^-1 (o' + K) with D = diag(d_1..d_11), by Sherman-Morrison
// y = D^-1 (o' + K), o = y - D^-1 1 (sum y) / (1 + sum 1/d_i).
struct LaneOffsets {
  uint64_t entry[12];  // into round 0
  uint64_t total[22];  // T of round r
};
// The Sherman-Morrison denominator 1 + sum 1/d_i: zero would make D + 1 1^T singular, and the
// offsets would not exist.
constexpr uint64_t offsets_denominator() {
  uint64_t sum_inv = 1;
  for (int i = 1; i < 12; ++i) sum_inv = ct_add(sum_inv, ct_inv(host_tables::MAT_DIAG[i]));
  return sum_inv;
}
static_assert(offsets_denominator() != 0, "the lane offsets' matrix is singular");

constexpr LaneOffsets lane_offsets() {
  LaneOffsets r{};
  uint64_t inv_d[12] = {};
  for (int i = 1; i < 12; ++i) inv_d[i] = ct_inv(host_tables::MAT_DIAG[i]);
  const uint64_t inv_den = ct_inv(offsets_denominator());
  uint64_t o[12] = {};
  for (int i = 1; i < 12; ++i) o[i] = host_tables::TERM_EXT_RC[i];
  for (int round = 21; round >= 0; --round) {
    uint64_t y[12] = {}, sy = 0;
    for (int i = 1; i < 12; ++i) {
      y[i] = ct_mul(inv_d[i], ct_add(o[i], lane_split(i).shortfall));
      sy = ct_add(sy, y[i]);
    }
    const uint64_t f = ct_mul(sy, inv_den);
    uint64_t t = 0;
    for (int i = 1; i < 12; ++i) {
      o[i] = ct_sub(y[i], ct_mul(inv_d[i], f));
      t = ct_add(t, o[i]);
    }
    r.total[round] = t;
  }
  for (int i = 1; i < 12; ++i) r.entry[i] = o[i];
  return r;
}

// The tables of the internal rounds: the coefficients; lane 0's constants (the next round's, or
// after the last round the first terminal round's, plus K_0 - T); and the last initial round's
// constants with the entry offsets put in.
constexpr RoundTable<12> lane_coef_table(bool hi) {
  RoundTable<12> t{};
  for (int i = 0; i < 12; ++i) t.v[i] = hi ? lane_split(i).coef_hi : lane_split(i).coef_lo;
  return t;
}
constexpr RoundTable<22> internal_next_rc_lane0() {
  RoundTable<22> t = fold_next_round(host_tables::INTERNAL_RC, 1, host_tables::TERM_EXT_RC[0]);
  const LaneOffsets o = lane_offsets();
  for (int i = 0; i < 22; ++i)
    t.v[i] = ct_add(t.v[i], ct_sub(lane_split(0).shortfall, o.total[i]));
  return t;
}
// The offsets run forward round by round, as the kernel's lanes carry them, must land exactly on
// the first terminal round's constants, with lane 0's table taking back each round's total.
constexpr bool offsets_land_on_terminal_constants() {
  const LaneOffsets offsets = lane_offsets();
  const RoundTable<22> lane0 = internal_next_rc_lane0();
  uint64_t o[12] = {};
  for (int i = 1; i < 12; ++i) o[i] = offsets.entry[i];
  for (int r = 0; r < 22; ++r) {
    uint64_t total = 0;
    for (int i = 1; i < 12; ++i) total = ct_add(total, o[i]);
    const uint64_t next = r < 21 ? host_tables::INTERNAL_RC[r + 1] : host_tables::TERM_EXT_RC[0];
    if (lane0.v[r] != ct_add(next, ct_sub(lane_split(0).shortfall, total))) return false;
    for (int i = 1; i < 12; ++i)
      o[i] = ct_add(ct_sub(ct_mul(host_tables::MAT_DIAG[i], o[i]), lane_split(i).shortfall), total);
  }
  for (int i = 1; i < 12; ++i)
    if (o[i] != host_tables::TERM_EXT_RC[i]) return false;
  return true;
}
static_assert(offsets_land_on_terminal_constants(),
              "the internal rounds' offsets miss the first terminal round's constants");

}  // namespace tarn
