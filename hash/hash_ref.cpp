#include "hash/hash_ref.h"

#include <cstring>

#include "field/goldilocks_ref.h"
#include "hash/round_constants.h"

namespace ref {
namespace {

namespace T = tarn::host_tables;

const int M4[4][4] = {{2, 3, 1, 1}, {1, 2, 3, 1}, {1, 1, 2, 3}, {3, 1, 1, 2}};

void absorb(uint64_t* s, const unsigned char* bytes) {
  for (int i = 0; i < 8; ++i) {
    const unsigned char* b = bytes + 4 * i;
    const uint64_t w = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint64_t>(b[3]) << 24);
    s[i] = add(s[i], w);
  }
}

void squeeze(const uint64_t* s, unsigned char* out) {
  for (int k = 0; k < 4; ++k) {
    const uint64_t v = canon(s[k]);
    for (int j = 0; j < 8; ++j) out[8 * k + j] = static_cast<unsigned char>(v >> (8 * j));
  }
}

}  // namespace

// Full 12x12 matrix: M4 blocks everywhere, doubled on the diagonal blocks.
void external_layer(uint64_t* s) {
  uint64_t out[12];
  for (int i = 0; i < 12; ++i) {
    uint64_t acc = 0;
    for (int j = 0; j < 12; ++j) {
      const uint64_t coef = M4[i % 4][j % 4] * (i / 4 == j / 4 ? 2 : 1);
      acc = add(acc, mul(coef, s[j]));
    }
    out[i] = acc;
  }
  std::memcpy(s, out, sizeof out);
}

void internal_layer(uint64_t* s) {
  uint64_t sum = 0;
  for (int i = 0; i < 12; ++i) sum = add(sum, s[i]);
  for (int i = 0; i < 12; ++i) s[i] = add(mul(s[i], T::MAT_DIAG[i]), sum);
}

void permute(uint64_t* s) {
  for (int i = 0; i < 12; ++i) s[i] = canon(s[i]);
  external_layer(s);
  for (int r = 0; r < 4; ++r) {
    for (int i = 0; i < 12; ++i) s[i] = pow7(add(s[i], T::INIT_EXT_RC[12 * r + i]));
    external_layer(s);
  }
  for (int r = 0; r < 22; ++r) {
    s[0] = pow7(add(s[0], T::INTERNAL_RC[r]));
    internal_layer(s);
  }
  for (int r = 0; r < 4; ++r) {
    for (int i = 0; i < 12; ++i) s[i] = pow7(add(s[i], T::TERM_EXT_RC[12 * r + i]));
    external_layer(s);
  }
}

void midstate(const unsigned char* header, const unsigned char* nonce_prefix, uint64_t* out) {
  for (int i = 0; i < 12; ++i) out[i] = 0;
  absorb(out, header);
  permute(out);
  absorb(out, nonce_prefix);
  permute(out);
}

void tail(const uint64_t* mid, const uint32_t* words, unsigned char* out, bool full) {
  uint64_t s[12];
  std::memcpy(s, mid, sizeof s);
  for (int i = 0; i < 8; ++i) s[i] = add(s[i], words[i]);
  permute(s);
  s[0] = add(s[0], 1);
  s[1] = add(s[1], 1);
  permute(s);
  squeeze(s, out);
  if (!full) return;
  permute(s);
  squeeze(s, out + 32);
}

void hash_full(const unsigned char* header, const unsigned char* nonce, unsigned char* out) {
  uint64_t mid[12];
  midstate(header, nonce, mid);
  uint32_t words[8];
  for (int i = 0; i < 8; ++i) {
    const unsigned char* b = nonce + 32 + 4 * i;
    words[i] = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  }
  tail(mid, words, out, true);
}

bool below_target(const unsigned char* hash, const unsigned char* target) {
  return std::memcmp(hash, target, 64) < 0;
}

}  // namespace ref
