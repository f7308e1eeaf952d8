// The header-and-nonce sponge (rate 8, capacity 4, five permutations), its midstate and the
// comparison of hash words with a big-endian target, shared by the kernels and the host.
#pragma once

#include "hash/permute.h"

namespace tarn {

TARN_HD uint64_t bswap64(uint64_t x) {
#if defined(__CUDA_ARCH__)
  const uint32_t lo = __byte_perm(lo32(x), 0, 0x0123);
  const uint32_t hi = __byte_perm(hi32(x), 0, 0x0123);
  return make64(hi, lo);
#else
  return __builtin_bswap64(x);
#endif
}

TARN_HD uint32_t bswap32(uint32_t x) {
#if defined(__CUDA_ARCH__)
  return __byte_perm(x, 0, 0x0123);
#else
  return __builtin_bswap32(x);
#endif
}

TARN_HD uint64_t load_be64(const unsigned char* b) {
  uint64_t v = 0;
  TARN_UNROLL
  for (int i = 0; i < 8; ++i) v = (v << 8) | b[i];
  return v;
}

// Orders four hash words (lanes 0-3, written little-endian) against 32 big-endian target bytes:
// negative when the hash half is smaller, 0 on a tie, positive when larger.
TARN_HD int compare_half(const felt* lanes, const unsigned char* target32) {
  TARN_UNROLL
  for (int k = 0; k < 4; ++k) {
    const uint64_t h = bswap64(gf_canon(lanes[k]));
    const uint64_t t = load_be64(target32 + 8 * k);
    if (h != t) return h < t ? -1 : 1;
  }
  return 0;
}

// Absorbs the 32-byte blocks block(0) .. block(n-1) into a zero state, one permutation each.
// Words are read straight from the bytes: no per-thread array, so kernels need no stack frame.
template <int CC>
TARN_HD void absorb_blocks(const unsigned char* first, const unsigned char* rest, int blocks,
                           felt* x) {
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) x[i] = 0;
  TARN_NO_UNROLL
  for (int b = 0; b < blocks; ++b) {
    const unsigned char* src = b == 0 ? first : rest + 32 * (b - 1);
    TARN_UNROLL
    for (int i = 0; i < 8; ++i) x[i] = gf_add(x[i], word_from_le32(src + 4 * i));
    permute<CC>(x);
  }
}

// Hash of header (32 bytes) and nonce (64 bytes) into out (64 bytes).
template <int CC>
TARN_HD void hash_full(const unsigned char* header, const unsigned char* nonce, unsigned char* out) {
  felt x[12];
  absorb_blocks<CC>(header, nonce, 3, x);
  x[0] = gf_add1(x[0]);  // padding block (1, 1, 0, ...)
  x[1] = gf_add1(x[1]);
  TARN_NO_UNROLL
  for (int half = 0; half < 2; ++half) {
    permute<CC>(x);
    TARN_UNROLL
    for (int k = 0; k < 4; ++k) felt_to_le64(x[k], out + 32 * half + 8 * k);
  }
}

// The state after the header and nonce bytes 0-31, canonical.
template <int CC>
TARN_HD void midstate_canonical(const unsigned char* header, const unsigned char* nonce, felt* out) {
  absorb_blocks<CC>(header, nonce, 2, out);
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) out[i] = gf_canon(out[i]);
}

// Montgomery form (x * 2^64 mod p) used by the builds below 12.0, and back.
constexpr felt MONT_R = 0xFFFFFFFFull;               // 2^64 mod p
constexpr felt MONT_R_INV = 0xFFFFFFFE00000001ull;   // 2^-64 mod p
TARN_HD felt to_montgomery(felt x) { return gf_canon(gf_mul(x, MONT_R)); }
TARN_HD felt from_montgomery(felt x) { return gf_canon(gf_mul(x, MONT_R_INV)); }

}  // namespace tarn
