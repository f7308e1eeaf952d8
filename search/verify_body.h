// The mining-path check kernel as per-block setup plus per-thread body: for every counter-layout
// index it writes the full hash, the staged decision against a target and against the hash itself.
#pragma once

#include "search/mine_body.h"

namespace tarn {

struct VerifyArgs {
  const felt* midstate;        // canonical (DIR) or Montgomery form
  const unsigned char* low;    // start nonce bytes 32-63
  uint32_t n;                  // indices 0 .. n-1
  unsigned char* hashes;       // 64 bytes per index
  const unsigned char* target; // 64 bytes, big-endian
  unsigned char* decisions;    // 0 hit, 1 not below the target
  unsigned char* ties;         // the same test against the index's own hash
};

// The initial layer of midstate + words 0-6 of the low half, round-0 constants included
// (perm3_first). Below 12.0 the midstate arrives in Montgomery form, from 12.0 on canonical.
template <int CC>
TARN_HD void verify_block_setup(const VerifyArgs& a, MineShared* sh) {
  counter_block_setup<CC>(a.midstate, a.low, sh->rec, !direction_layout(CC));
}

// Index i = block * tpb + thread. The three results come from three independent runs of the
// tail, so a fault in the staged test (early decision, tie switch, equality) shows as a mismatch.
template <int CC>
TARN_HD void verify_thread(const VerifyArgs& a, const MineShared& sh, uint32_t block,
                           uint32_t thread, uint32_t tpb) {
  const uint64_t i = static_cast<uint64_t>(block) * tpb + thread;
  if (i >= a.n) return;
  // Bytes 60-63 of the nonce hold v + i big-endian (mod 2^32); the felt reads them little-endian.
  const uint32_t v = static_cast<uint32_t>(load_be64(a.low + 24));
  const uint32_t w7 = bswap32(v + static_cast<uint32_t>(i));
  unsigned char* own = a.hashes + 64 * i;
  felt x[12];
  counter_first_layer<CC>(sh.rec, w7, x);
  finish_hash<CC>(x, 0, own);
  // The own hash is read back from global memory: the same thread wrote it, and a per-thread
  // copy would cost a stack frame.
  TARN_NO_UNROLL
  for (int t = 0; t < 2; ++t) {
    counter_first_layer<CC>(sh.rec, w7, x);
    const bool hit = finish_and_test<CC>(x, 0, t == 0 ? a.target : own);
    (t == 0 ? a.decisions : a.ties)[i] = hit ? 0 : 1;
  }
}

}  // namespace tarn
