// The sparse-path check kernels as per-block setup plus per-thread body: the direction-layout
// mining path with every intermediate written out, and the from-scratch hash of a nonce list.
#pragma once

#include "search/mine_body.h"
#include "search/verify_body.h"

namespace tarn {

struct SparseArgs {
  const felt* midstate;           // canonical (direction layout only)
  const unsigned char* start;     // 32-byte start block, G0 in bytes 24-31
  const unsigned char* high;      // nonce prefix, copied into every output nonce
  const unsigned char* target;    // 64 bytes, big-endian
  uint32_t per_thread;
  unsigned long* indices;         // one entry per index
  unsigned char* nonces;          // 64 bytes per index
  unsigned char* sparse;          // hash through the shared record and the sparse first round
  unsigned char* direct;          // hash through the whole third permutation
  unsigned char* decisions;       // 0 hit, 1 not below the target
  unsigned char* ties;            // the same test against the index's own hash
  FoundResult* seed;              // G0 as the launch saw it
};

template <int CC>
TARN_HD void sparse_block_setup(const SparseArgs& a, uint32_t block, MineShared* sh) {
  dir_block_setup<CC>(a.midstate, start_group(a.start) + block, sh->rec);
}

template <int CC>
TARN_HD void sparse_thread(const SparseArgs& a, const MineShared& sh, uint32_t block,
                           uint32_t thread, uint32_t tpb) {
  const uint64_t span = static_cast<uint64_t>(tpb) * a.per_thread;
  if (span > DIR_MAX_SPAN) return;
  const uint64_t g0 = start_group(a.start);
  if (block == 0 && thread == 0) {
    a.seed->count = 1;
    a.seed->index[0] = 0;
    a.seed->base[0] = g0;
  }
  const uint64_t g = g0 + block;
  TARN_NO_UNROLL
  for (uint32_t k = 0; k < a.per_thread; ++k) {
    const uint32_t r = thread * a.per_thread + k;  // below 32768: span checked above
    const uint64_t i = block * span + r;
    a.indices[i] = i;

    uint32_t w[8];
    dir_words(g, r, w);
    unsigned char* nonce = a.nonces + 64 * i;
    TARN_UNROLL
    for (int b = 0; b < 32; ++b) nonce[b] = a.high[b];
    TARN_UNROLL
    for (int j = 0; j < 8; ++j)
      TARN_UNROLL
      for (int b = 0; b < 4; ++b) nonce[32 + 4 * j + b] = static_cast<unsigned char>(w[j] >> (8 * b));

    // Path 0: shared record and sparse first round; path 1: the words absorbed into the
    // midstate and the whole third permutation.
    felt x[12];
    TARN_NO_UNROLL
    for (int path = 0; path < 2; ++path) {
      if (path == 0) {
        dir_first_round<CC>(sh.rec, r, x);
      } else {
        TARN_UNROLL
        for (int j = 0; j < 12; ++j) x[j] = j < 8 ? gf_add(a.midstate[j], w[j]) : a.midstate[j];
        external_layer_rc<CC, RC_INIT>(x, 0);
      }
      finish_hash<CC>(x, path == 0 ? 1 : 0, (path == 0 ? a.sparse : a.direct) + 64 * i);
    }

    // The mining kernel's staged test, against the target and against the sparse hash itself
    // (read back from global memory: a per-thread copy would cost a stack frame).
    unsigned char* own = a.sparse + 64 * i;
    TARN_NO_UNROLL
    for (int t = 0; t < 2; ++t) {
      dir_first_round<CC>(sh.rec, r, x);
      const bool hit = finish_and_test<CC>(x, 1, t == 0 ? a.target : own);
      (t == 0 ? a.decisions : a.ties)[i] = hit ? 0 : 1;
    }
  }
}

// Hash of the header and nonce g, from scratch (five permutations), for g < count.
template <int CC>
TARN_HD void full_oracle_thread(const unsigned char* header, const unsigned char* nonces,
                                uint64_t count, unsigned char* out, uint64_t g) {
  if (g < count) hash_full<CC>(header, nonces + 64 * g, out + 64 * g);
}

}  // namespace tarn
