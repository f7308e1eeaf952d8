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

// Every row of the external matrix sums to 28, and a full round hands its linear layer each
// S-box output plus eps (gf_pow7_plus_eps), so every lane arrives 28 eps high. These copies of
// the folded tables take that back: entry i is (entry - 28 eps) mod p, still canonical.
constexpr uint64_t ROW_BIAS = 28 * 0xFFFFFFFFull;
template <int N>
constexpr RoundTable<N> minus_row_bias(const RoundTable<N>& t) {
  RoundTable<N> r{};
  for (int i = 0; i < N; ++i)
    r.v[i] = t.v[i] >= ROW_BIAS ? t.v[i] - ROW_BIAS : t.v[i] + (0xFFFFFFFF00000001ull - ROW_BIAS);
  return r;
}

namespace host_tables {
inline constexpr RoundTable<48> INIT_NEXT_RC = init_next_rc_table();
inline constexpr RoundTable<48> TERM_NEXT_RC = term_next_rc_table();
inline constexpr RoundTable<22> INTERNAL_NEXT_RC = internal_next_rc_table();
inline constexpr RoundTable<48> INIT_NEXT_RC_BIASED = minus_row_bias(init_next_rc_table());
inline constexpr RoundTable<48> TERM_NEXT_RC_BIASED = minus_row_bias(term_next_rc_table());
}  // namespace host_tables

}  // namespace tarn
