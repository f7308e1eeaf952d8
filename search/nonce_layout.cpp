#include "search/nonce_layout.h"

void tarn_nonce_dir_result_low(unsigned long base, unsigned long index, unsigned int tpb,
                               unsigned int per_thread, unsigned char* out) {
  const uint64_t n = static_cast<uint64_t>(tpb) * per_thread;
  const uint64_t q = index / n;
  const uint32_t r = static_cast<uint32_t>(index - n * q);
  uint32_t w[8];
  tarn::dir_words(base + q, r, w);
  for (int j = 0; j < 8; ++j)
    for (int b = 0; b < 4; ++b) out[4 * j + b] = static_cast<unsigned char>(w[j] >> (8 * b));
}

void tarn_counter_low(uint64_t n, unsigned char* out) {
  for (int i = 0; i < 24; ++i) out[i] = 0;
  for (int i = 0; i < 8; ++i) out[24 + i] = static_cast<unsigned char>(n >> (56 - 8 * i));
}
