// The Poseidon2 tables as compile-time values: the base tables, and the folded *_NEXT tables
// derived from them, so the host copies and the device's constant memory come from one source.
#pragma once

#include <cstdint>

#include "hash/tables_data.h"

namespace tarn {

// A table as a value: unlike a plain array, it can be returned by a constexpr function and
// initialise a constant-memory symbol.
template <int N>
struct RoundTable {
  uint64_t v[N];
};

namespace host_tables {
inline constexpr uint64_t INIT_EXT_RC[48] = {INIT_EXT_RC_VALUES};
inline constexpr uint64_t TERM_EXT_RC[48] = {TERM_EXT_RC_VALUES};
inline constexpr uint64_t INTERNAL_RC[22] = {INTERNAL_RC_VALUES};
inline constexpr uint64_t MAT_DIAG[12] = {MAT_DIAG_VALUES};
}  // namespace host_tables

// The constants a linear layer folds in for the step after it, so each round loop reads one
// table with one stride: entry i is base[i + stride], the same lane one round later; after the
// group's last round lane 0 takes `after_last` (the next group's first constant, or 0) and the
// other lanes 0.
template <int N>
constexpr RoundTable<N> fold_next_round(const uint64_t (&base)[N], int stride,
                                        uint64_t after_last) {
  RoundTable<N> t{};
  for (int i = 0; i + stride < N; ++i) t.v[i] = base[i + stride];
  t.v[N - stride] = after_last;
  return t;
}

constexpr RoundTable<48> init_next_rc_table() {
  return fold_next_round(host_tables::INIT_EXT_RC, 12, host_tables::INTERNAL_RC[0]);
}
constexpr RoundTable<48> term_next_rc_table() {
  return fold_next_round(host_tables::TERM_EXT_RC, 12, 0);
}
constexpr RoundTable<22> internal_next_rc_table() {
  return fold_next_round(host_tables::INTERNAL_RC, 1, 0);
}

// Field arithmetic for deriving tables at compile time (canonical operands).
constexpr uint64_t CT_P = 0xFFFFFFFF00000001ull;
constexpr uint64_t ct_add(uint64_t a, uint64_t b) {
  const uint64_t s = a + b;  // a wrap drops 2^64 = eps, and a, b < p keep s + eps below p
  return s < a ? s + 0xFFFFFFFFull : (s >= CT_P ? s - CT_P : s);
}
constexpr uint64_t ct_sub(uint64_t a, uint64_t b) { return a >= b ? a - b : a + (CT_P - b); }
constexpr uint64_t ct_mul(uint64_t a, uint64_t b) {
  uint64_t r = 0;
  for (int k = 63; k >= 0; --k) {
    r = ct_add(r, r);
    if ((b >> k) & 1u) r = ct_add(r, a);
  }
  return r;
}
constexpr uint64_t ct_inv(uint64_t a) {  // a^(p-2)
  uint64_t r = 1;
  for (int k = 63; k >= 0; --k) {
    r = ct_mul(r, r);
    if (((CT_P - 2) >> k) & 1u) r = ct_mul(r, a);
  }
  return r;
}

// Every row of the external matrix sums to 28, and a full round hands its linear layer each
// S-box output plus eps (gf_pow7_plus_eps), so every lane arrives 28 eps high. These copies of
// the folded tables take that back: entry i is (entry - 28 eps) mod p, still canonical.
constexpr uint64_t ROW_BIAS = 28 * 0xFFFFFFFFull;
template <int N>
constexpr RoundTable<N> minus_row_bias(const RoundTable<N>& t) {
  RoundTable<N> r{};
  for (int i = 0; i < N; ++i) r.v[i] = ct_sub(t.v[i], ROW_BIAS);
  return r;
}

// The internal rounds multiply each lane by its diagonal entry d as
//   lo32(x) * a + hi32(x) * b + addend  (mul_split_add96),
// with a = d and b = d * 2^32 mod p; its value must stay below 2^96, which holds when a + b is at
// most 2^64 - 2^37 (the addend, twelve lanes and a constant, is below 2^68). Where d fails that,
// a complemented half brings it in: lo32(x) = (2^32 - 1) - ~lo32(x), so the half's coefficient
// becomes p - a and the product falls short of x * d by K = (2^32 - 1) a (likewise for the high
// half). The lanes' K are never added: each lane carries a fixed offset through the rounds
// instead (lane_offsets), which the tables around the loop put in and take out.
constexpr uint64_t SPLIT_LIMIT = ~0ull - ((1ull << 37) - 1);  // 2^64 - 2^37
constexpr bool split_fits(uint64_t a, uint64_t b) { return a <= SPLIT_LIMIT && b <= SPLIT_LIMIT - a; }

struct LaneSplit {
  uint64_t coef_lo, coef_hi, shortfall;
  bool flip_lo, flip_hi;
};

// Plain halves where they fit, else the one complemented half that fits (for lane 0 the high
// one: its shortfall rides in its round constants, which it takes anyway).
constexpr LaneSplit lane_split(int i) {
  const uint64_t d = host_tables::MAT_DIAG[i];
  const uint64_t e = ct_mul(d, 1ull << 32);
  const uint64_t m = 0xFFFFFFFFull;
  if (i != 0 && split_fits(d, e)) return {d, e, 0, false, false};
  if (split_fits(d, CT_P - e)) return {d, CT_P - e, ct_mul(m, e), false, true};
  if (split_fits(CT_P - d, e)) return {CT_P - d, e, ct_mul(m, d), true, false};
  return {CT_P - d, CT_P - e, ct_add(ct_mul(m, d), ct_mul(m, e)), true, true};
}

constexpr uint32_t lane_flip_mask(bool hi) {
  uint32_t mask = 0;
  for (int i = 0; i < 12; ++i)
    if (hi ? lane_split(i).flip_hi : lane_split(i).flip_lo) mask |= 1u << i;
  return mask;
}
inline constexpr uint32_t LANE_FLIP_LO = lane_flip_mask(false);
inline constexpr uint32_t LANE_FLIP_HI = lane_flip_mask(true);

// The offsets o_i the lanes carry through the internal rounds, with o_0 = 0 so lane 0's S-box
// sees its true value. A round maps the carried lanes to
//   d_i (x_i + o_i) - K_i + sum_j x_j + T,  T = sum_j o_j,
// which is the true lane plus o_i when o_i = (T - K_i) / (1 - d_i) for i > 0; lane 0's constant
// takes back K_0 - T. T follows from sum_i o_i = T: T (1 - sum_i u_i) = -sum_i K_i u_i with
// u_i = 1 / (1 - d_i), i > 0.
struct LaneOffsets {
  uint64_t o[12];
  uint64_t total;
};
constexpr LaneOffsets lane_offsets() {
  LaneOffsets r{};
  uint64_t u[12] = {}, su = 0, sku = 0;
  for (int i = 1; i < 12; ++i) {
    u[i] = ct_inv(ct_sub(1, host_tables::MAT_DIAG[i]));
    su = ct_add(su, u[i]);
    sku = ct_add(sku, ct_mul(lane_split(i).shortfall, u[i]));
  }
  r.total = ct_mul(ct_sub(0, sku), ct_inv(ct_sub(1, su)));
  for (int i = 1; i < 12; ++i) r.o[i] = ct_mul(ct_sub(r.total, lane_split(i).shortfall), u[i]);
  return r;
}

// The tables of the internal rounds: the coefficients, lane 0's constants (the next round's,
// plus K_0 - T), the last initial round's constants with the offsets put in, and the first
// terminal round's constants with them taken out.
constexpr RoundTable<12> lane_coef_table(bool hi) {
  RoundTable<12> t{};
  for (int i = 0; i < 12; ++i) t.v[i] = hi ? lane_split(i).coef_hi : lane_split(i).coef_lo;
  return t;
}
constexpr RoundTable<22> internal_next_rc_lane0() {
  RoundTable<22> t = internal_next_rc_table();
  const uint64_t k = ct_sub(lane_split(0).shortfall, lane_offsets().total);
  for (int i = 0; i < 22; ++i) t.v[i] = ct_add(t.v[i], k);
  return t;
}
constexpr RoundTable<48> init_next_rc_offset_table() {
  RoundTable<48> t = init_next_rc_table();
  const LaneOffsets o = lane_offsets();
  for (int i = 1; i < 12; ++i) t.v[36 + i] = ct_add(t.v[36 + i], o.o[i]);
  return t;
}
constexpr RoundTable<12> term_first_rc_table() {
  RoundTable<12> t{};
  const LaneOffsets o = lane_offsets();
  for (int i = 0; i < 12; ++i) t.v[i] = ct_sub(host_tables::TERM_EXT_RC[i], o.o[i]);
  return t;
}

namespace host_tables {
inline constexpr RoundTable<48> INIT_NEXT_RC = init_next_rc_table();
inline constexpr RoundTable<48> TERM_NEXT_RC = term_next_rc_table();
inline constexpr RoundTable<22> INTERNAL_NEXT_RC = internal_next_rc_table();
inline constexpr RoundTable<48> INIT_NEXT_RC_BIASED = minus_row_bias(init_next_rc_offset_table());
inline constexpr RoundTable<48> TERM_NEXT_RC_BIASED = minus_row_bias(term_next_rc_table());
inline constexpr RoundTable<12> LANE_COEF_LO = lane_coef_table(false);
inline constexpr RoundTable<12> LANE_COEF_HI = lane_coef_table(true);
inline constexpr RoundTable<22> INTERNAL_NEXT_RC_LANE0 = internal_next_rc_lane0();
inline constexpr RoundTable<12> TERM_FIRST_RC = term_first_rc_table();
}  // namespace host_tables

}  // namespace tarn
