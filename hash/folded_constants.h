// The folded constant tables the kernels read, derived at compile time from the published ones
// and checked where they are derived: each round loop reads one table with one stride, and the
// full rounds add the next round's constants inside their S-boxes, through the inverse of the
// external matrix.
#pragma once

#include <cstdint>

#include "hash/internal_rounds.h"
#include "hash/round_constants.h"
#include "hash/table_algebra.h"

namespace tarn {

constexpr RoundTable<48> init_next_rc_table() {
  return fold_next_round(host_tables::INIT_EXT_RC, 12, host_tables::INTERNAL_RC[0]);
}
constexpr RoundTable<48> term_next_rc_table() {
  return fold_next_round(host_tables::TERM_EXT_RC, 12, 0);
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

// The external matrix (I + J) (x) A and its inverse (I - J/4) (x) A^-1, entry by entry.
struct Matrix12 {
  uint64_t m[12][12];
};
constexpr Matrix12 external_matrix(bool inverse) {
  const Matrix4 ai = circulant_inverse();
  const uint64_t c[4] = {2, 3, 1, 1}, quarter = ct_inv(4);
  Matrix12 r{};
  for (int i = 0; i < 12; ++i)
    for (int j = 0; j < 12; ++j)
      r.m[i][j] = inverse ? ct_mul(ct_sub(i / 4 == j / 4 ? 1 : 0, quarter), ai.m[i % 4][j % 4])
                          : ct_mul(i / 4 == j / 4 ? 2 : 1, c[(j % 4 - i % 4 + 4) % 4]);
  return r;
}
constexpr bool external_inverse_is_inverse() {
  const Matrix12 m = external_matrix(false), mi = external_matrix(true);
  for (int i = 0; i < 12; ++i)
    for (int k = 0; k < 12; ++k) {
      uint64_t s = 0;
      for (int j = 0; j < 12; ++j) s = ct_add(s, ct_mul(m.m[i][j], mi.m[j][k]));
      if (s != (i == k ? 1u : 0u)) return false;
    }
  return true;
}
static_assert(external_inverse_is_inverse(), "M * M^-1 is not the identity");

constexpr RoundTable<48> init_next_rc_offset_table() {
  RoundTable<48> t = init_next_rc_table();
  const LaneOffsets o = lane_offsets();
  for (int i = 1; i < 12; ++i) t.v[36 + i] = ct_add(t.v[36 + i], o.entry[i]);
  return t;
}

// A full round's in-S-box constants, each plus the eps its S-box output carries, must come out
// of the external layer as the next round's constants (with the internal rounds' entry offsets
// in the last initial row).
template <int N>
constexpr bool through_external_gives(const RoundTable<N>& round, const RoundTable<N>& next) {
  const Matrix12 m = external_matrix(false);
  for (int row = 0; row < N; row += 12)
    for (int i = 0; i < 12; ++i) {
      uint64_t s = 0;
      for (int j = 0; j < 12; ++j)
        s = ct_add(s, ct_mul(m.m[i][j], ct_add(round.v[row + j], 0xFFFFFFFFull)));
      if (s != next.v[row + i]) return false;
    }
  return true;
}

namespace host_tables {
inline constexpr RoundTable<48> INIT_NEXT_RC = init_next_rc_table();
inline constexpr RoundTable<48> INIT_ROUND_RC = through_external_inverse(init_next_rc_offset_table());
inline constexpr RoundTable<48> TERM_ROUND_RC = through_external_inverse(term_next_rc_table());
inline constexpr RoundTable<12> LANE_COEF_LO = lane_coef_table(false);
inline constexpr RoundTable<12> LANE_COEF_HI = lane_coef_table(true);
inline constexpr RoundTable<22> INTERNAL_NEXT_RC_LANE0 = internal_next_rc_lane0();
}  // namespace host_tables

static_assert(through_external_gives(host_tables::INIT_ROUND_RC, init_next_rc_offset_table()),
              "the initial rounds' in-S-box constants miss the next rounds' constants");
static_assert(through_external_gives(host_tables::TERM_ROUND_RC, term_next_rc_table()),
              "the terminal rounds' in-S-box constants miss the next rounds' constants");

}  // namespace tarn
