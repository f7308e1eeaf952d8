// What the constant tables are derived with at compile time: a table as a value, the field's
// arithmetic on canonical operands, and the shift of a table by one round.
#pragma once

#include <cstdint>

namespace tarn {

// A table as a value: unlike a plain array, it can be returned by a constexpr function and
// initialise a constant-memory symbol.
template <int N>
struct RoundTable {
  uint64_t v[N];
};

// Field arithmetic for deriving tables at compile time (canonical operands).
constexpr uint64_t CT_P = 0xFFFFFFFF00000001ull;
constexpr uint64_t ct_add(uint64_t a, uint64_t b) {
  const uint64_t s = a + b;  // a wrap drops 2^64 = eps, and a, b < p keep s + eps below p
  return s < a ? s + 0xFFFFFFFFull : (s >= CT_P ? s - CT_P : s);
}
constexpr uint64_t ct_sub(uint64_t a, uint64_t b) { return a >= b ? a - b : a + (CT_P - b); }
constexpr uint64_t ct_mul(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % CT_P);
}
constexpr uint64_t ct_inv(uint64_t a) {  // a^(p-2)
  uint64_t r = 1;
  for (int k = 63; k >= 0; --k) {
    r = ct_mul(r, r);
    if (((CT_P - 2) >> k) & 1u) r = ct_mul(r, a);
  }
  return r;
}

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

}  // namespace tarn
