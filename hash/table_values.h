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

// d * 2^32 mod p for canonical d: d1 * 2^64 = d1 * eps, and a wrap of the sum is one more eps
// (the wrapped sum is below 2^33, so adding eps cannot wrap again).
constexpr uint64_t times_2_32_mod_p(uint64_t d) {
  const uint64_t a = d << 32;
  const uint64_t b = (d >> 32) * 0xFFFFFFFFull;
  uint64_t s = a + b;
  if (s < a) s += 0xFFFFFFFFull;
  return s >= 0xFFFFFFFF00000001ull ? s - 0xFFFFFFFF00000001ull : s;
}

// The internal diagonal with each entry times 2^32, so x * d = lo32(x) * d + hi32(x) * d' mod p.
constexpr RoundTable<12> diag_shifted_table() {
  RoundTable<12> t{};
  for (int i = 0; i < 12; ++i) t.v[i] = times_2_32_mod_p(host_tables::MAT_DIAG[i]);
  return t;
}

// Lanes 1-11 whose internal product may use that split (mul_split_add96): with d + d' at most
// 2^64 - 2^37, lo32(x) d + hi32(x) d' + sum < (2^32 - 1)(2^64 - 2^37) + 2^68 < 2^96 for the sum
// of twelve lanes (below 2^68), so the value has no 128-bit top word. Lane 0 also carries the
// round constant and keeps the general product.
constexpr uint32_t diag_split_mask() {
  constexpr uint64_t LIMIT = ~0ull - ((1ull << 37) - 1);  // 2^64 - 2^37
  const RoundTable<12> e = diag_shifted_table();
  uint32_t m = 0;
  for (int i = 1; i < 12; ++i)
    if (e.v[i] <= LIMIT && host_tables::MAT_DIAG[i] <= LIMIT - e.v[i]) m |= 1u << i;
  return m;
}
inline constexpr uint32_t DIAG_SPLIT_MASK = diag_split_mask();

// Lane 0's entry fails that bound, but with the lane's high half complemented it fits:
// x = lo32(x) + (2^32 - 1 - ~hi32(x)) 2^32, so x d0 = lo32(x) d0 + ~hi32(x) (p - d0') + K0 mod p
// with d0' = d0 2^32 mod p and K0 = (2^32 - 1) d0'; K0 rides in lane 0's round-constant table.
constexpr uint64_t LANE0_DIAG_HI = 0xFFFFFFFF00000001ull - times_2_32_mod_p(host_tables::MAT_DIAG[0]);
constexpr uint64_t lane0_offset() {
  const uint64_t e = times_2_32_mod_p(host_tables::MAT_DIAG[0]);
  const uint64_t t = times_2_32_mod_p(e);  // e 2^32 - e = (2^32 - 1) e
  return t >= e ? t - e : t + (0xFFFFFFFF00000001ull - e);
}
constexpr RoundTable<22> internal_next_rc_lane0() {
  RoundTable<22> t = internal_next_rc_table();
  const uint64_t k = lane0_offset();
  for (int i = 0; i < 22; ++i) {
    const uint64_t s = t.v[i] + k;  // both canonical: one wrap at most, then below p
    t.v[i] = s < k ? s + 0xFFFFFFFFull : (s >= 0xFFFFFFFF00000001ull ? s - 0xFFFFFFFF00000001ull : s);
  }
  return t;
}

namespace host_tables {
inline constexpr RoundTable<48> INIT_NEXT_RC = init_next_rc_table();
inline constexpr RoundTable<48> TERM_NEXT_RC = term_next_rc_table();
inline constexpr RoundTable<22> INTERNAL_NEXT_RC = internal_next_rc_table();
inline constexpr RoundTable<48> INIT_NEXT_RC_BIASED = minus_row_bias(init_next_rc_table());
inline constexpr RoundTable<48> TERM_NEXT_RC_BIASED = minus_row_bias(term_next_rc_table());
inline constexpr RoundTable<12> MAT_DIAG_SHIFTED = diag_shifted_table();
inline constexpr RoundTable<22> INTERNAL_NEXT_RC_LANE0 = internal_next_rc_lane0();
}  // namespace host_tables

}  // namespace tarn
