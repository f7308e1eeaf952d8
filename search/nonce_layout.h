// How a search index becomes the low half (bytes 32-63) of a nonce, in both layouts.
#pragma once

#include <cstdint>

#include "field/hd.h"

namespace tarn {

constexpr uint32_t DIR_CENTER = 0x40000000u;  // B: every word starts at 2^30
constexpr uint32_t DIR_MAX_SPAN = 32768;      // keeps every word inside (0, 2^31)
// Direction d: the external layer maps it to +35 on lane 3 and -35 on lane 7, 0 elsewhere.
constexpr int32_t DIR_VECTOR[8] = {17, -11, 3, -4, -17, 11, -3, 4};
constexpr uint32_t DIR_STEP = 35;

// Words of group g at offset r (r < 32768): the group's point moved r steps along d.
TARN_HD void dir_words(uint64_t g, uint32_t r, uint32_t* w) {
  const uint32_t L = static_cast<uint32_t>(g & 0x3FFFFF);
  const uint32_t M = static_cast<uint32_t>((g >> 22) & 0x3FFFFF);
  const uint32_t H = static_cast<uint32_t>(g >> 44);
  w[0] = DIR_CENTER + 17u * r;
  w[1] = DIR_CENTER - 11u * r + L;
  w[2] = DIR_CENTER + 3u * r + M;
  w[3] = DIR_CENTER - 4u * r + H;
  w[4] = DIR_CENTER - 17u * r;
  w[5] = DIR_CENTER + 11u * r;
  w[6] = DIR_CENTER - 3u * r;
  w[7] = DIR_CENTER + 4u * r;
}

}  // namespace tarn

// Rebuilds the direction-layout low half (32 bytes) of a hit; tpb * per_thread must not be 0.
void tarn_nonce_dir_result_low(unsigned long base, unsigned long index, unsigned int tpb,
                               unsigned int per_thread, unsigned char* out);

// The counter-layout low half of absolute index n: 24 zero bytes, then n big-endian.
void tarn_counter_low(uint64_t n, unsigned char* out);
