#include "field/goldilocks_ref.h"

namespace ref {

using u128 = unsigned __int128;

uint64_t canon(uint64_t a) { return a >= P ? a - P : a; }

uint64_t add(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>((static_cast<u128>(a) + b) % P);
}

uint64_t sub(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>((static_cast<u128>(canon(a)) + P - canon(b)) % P);
}

uint64_t mul(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>((static_cast<u128>(a) * b) % P);
}

uint64_t pow7(uint64_t a) {
  const uint64_t a2 = mul(a, a);
  return mul(mul(a2, a2), mul(a2, a));
}

}  // namespace ref
