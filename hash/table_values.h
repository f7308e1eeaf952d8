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

// The external matrix is (I + J) (x) A over 3 x 3 blocks of the 4 x 4 circulant A = circ(2, 3,
// 1, 1); its inverse is (I - J/4) (x) A^-1.
struct Matrix4 {
  uint64_t m[4][4];
};
constexpr Matrix4 circulant_inverse() {  // Gauss-Jordan on [A | I]
  uint64_t a[4][8] = {};
  const uint64_t c[4] = {2, 3, 1, 1};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) a[i][j] = c[(j - i + 4) % 4];
    a[i][4 + i] = 1;
  }
  for (int col = 0; col < 4; ++col) {
    int piv = col;
    while (a[piv][col] == 0) ++piv;
    for (int j = 0; j < 8; ++j) {
      const uint64_t t = a[col][j];
      a[col][j] = a[piv][j];
      a[piv][j] = t;
    }
    const uint64_t inv = ct_inv(a[col][col]);
    for (int j = 0; j < 8; ++j) a[col][j] = ct_mul(a[col][j], inv);
    for (int r = 0; r < 4; ++r) {
      if (r == col || a[r][col] == 0) continue;
      const uint64_t f = a[r][col];
      for (int j = 0; j < 8; ++j) a[r][j] = ct_sub(a[r][j], ct_mul(f, a[col][j]));
    }
  }
  Matrix4 r{};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.m[i][j] = a[i][4 + j];
  return r;
}

// A full round adds the constants of the round after it inside its S-boxes, before the linear
// layer (gf_pow7_add_plus_eps): entry i of a row is (M^-1 next)_i - eps, the eps taking back the
// one each S-box output carries. The linear layer then needs no additions of its own.
template <int N>
constexpr RoundTable<N> through_external_inverse(const RoundTable<N>& next) {
  const Matrix4 ai = circulant_inverse();
  const uint64_t quarter = ct_inv(4);
  RoundTable<N> t{};
  for (int row = 0; row < N; row += 12) {
    for (int i = 0; i < 12; ++i) {
      uint64_t v = 0;
      for (int j = 0; j < 12; ++j) {
        const uint64_t block = ct_sub(i / 4 == j / 4 ? 1 : 0, quarter);
        v = ct_add(v, ct_mul(ct_mul(block, ai.m[i % 4][j % 4]), next.v[row + j]));
      }
      t.v[row + i] = ct_sub(v, 0xFFFFFFFFull);
    }
  }
  return t;
}

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
constexpr LaneOffsets lane_offsets() {
  LaneOffsets r{};
  uint64_t inv_d[12] = {}, sum_inv = 1;
  for (int i = 1; i < 12; ++i) {
    inv_d[i] = ct_inv(host_tables::MAT_DIAG[i]);
    sum_inv = ct_add(sum_inv, inv_d[i]);
  }
  const uint64_t inv_den = ct_inv(sum_inv);
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
constexpr RoundTable<48> init_next_rc_offset_table() {
  RoundTable<48> t = init_next_rc_table();
  const LaneOffsets o = lane_offsets();
  for (int i = 1; i < 12; ++i) t.v[36 + i] = ct_add(t.v[36 + i], o.entry[i]);
  return t;
}

namespace host_tables {
inline constexpr RoundTable<48> INIT_NEXT_RC = init_next_rc_table();
inline constexpr RoundTable<48> TERM_NEXT_RC = term_next_rc_table();
inline constexpr RoundTable<22> INTERNAL_NEXT_RC = internal_next_rc_table();
inline constexpr RoundTable<48> INIT_ROUND_RC = through_external_inverse(init_next_rc_offset_table());
inline constexpr RoundTable<48> TERM_ROUND_RC = through_external_inverse(term_next_rc_table());
inline constexpr RoundTable<12> LANE_COEF_LO = lane_coef_table(false);
inline constexpr RoundTable<12> LANE_COEF_HI = lane_coef_table(true);
inline constexpr RoundTable<22> INTERNAL_NEXT_RC_LANE0 = internal_next_rc_lane0();
}  // namespace host_tables

}  // namespace tarn
