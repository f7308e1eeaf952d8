// The mining kernel as per-block setup plus per-thread body, so the GPU wrapper and the host
// backend run the same code. CC, the generation, selects the layout and the arithmetic forms
// (field/arch_policy.h).
#pragma once

#include "hash/sponge.h"
#include "search/found_result.h"
#include "search/nonce_layout.h"

namespace tarn {

struct MineArgs {
  const felt* midstate;          // canonical (DIR) or Montgomery form (counter layout)
  const unsigned char* start;    // 32-byte start block
  const unsigned char* target;   // 64 bytes, big-endian
  uint64_t count;                // indices 0 .. count-1
  uint32_t per_thread;
  FoundResult* result;
};

// Block-shared record: direction layout C0..C11, A3, A7 (nonce_dir_precomputed); counter layout
// the initial layer of the fixed words (lanes 0-11) with round-0 constants.
struct MineShared {
  felt rec[14];
};

TARN_HD uint64_t start_group(const unsigned char* start) { return load_be64(start + 24); }

TARN_HD uint32_t start_counter(const unsigned char* start) {
  return static_cast<uint32_t>(load_be64(start + 24));
}

// First-round precomputation for group g: lanes 3 and 7 are the only S-box inputs that move
// along the direction, so the other ten S-boxes and their share of the next layer are shared.
template <int CC>
TARN_HD void dir_block_setup(const felt* midstate, uint64_t g, felt* rec) {
  uint32_t b[8];
  dir_words(g, 0, b);
  felt a[12];
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) a[i] = i < 8 ? gf_add(midstate[i], b[i]) : midstate[i];
  external_layer_rc<CC, RC_INIT>(a, 0);
  rec[12] = a[3];
  rec[13] = a[7];
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) a[i] = (i == 3 || i == 7) ? 0 : gf_pow7<CC>(a[i]);
  external_layer_rc<CC, RC_INIT_NEXT>(a, 0);  // plus the constants of initial round 1
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) rec[i] = a[i];
}

// State entering the S-boxes of initial round 1 for offset r: C + col3 * z3 + col7 * z7 with
// col3 = (2,2,6,4, 1,1,3,2, 1,1,3,2) and col7 = (1,1,3,2, 2,2,6,4, 1,1,3,2).
template <int CC>
TARN_HD void dir_first_round(const felt* rec, uint32_t r, felt* x) {
  const felt step = static_cast<felt>(DIR_STEP * r);  // r < 2^15: no overflow
  const felt z3 = gf_pow7<CC>(gf_add(rec[12], step));
  const felt z7 = gf_pow7<CC>(gf_sub(rec[13], step));
  const Acc96 c = acc_add(acc_from(z3), z7);
  const Acc96 m[3] = {acc_add(c, z3), acc_add(c, z7), c};  // 2z3+z7, z3+2z7, z3+z7
  TARN_UNROLL
  for (int blk = 0; blk < 3; ++blk) {
    const Acc96 v = m[blk];
    const Acc96 v2 = acc_dbl(v);
    x[4 * blk + 0] = reduce96<CC>(acc_add(v, rec[4 * blk + 0]));
    x[4 * blk + 1] = reduce96<CC>(acc_add(v, rec[4 * blk + 1]));
    x[4 * blk + 2] = reduce96<CC>(acc_add(acc_add(v2, v), rec[4 * blk + 2]));
    x[4 * blk + 3] = reduce96<CC>(acc_add(v2, rec[4 * blk + 3]));
  }
}

// Counter layout: the initial layer of midstate + words 0-6 (word 7 taken as 0) with the
// round-0 constants; each index then adds only word 7 times column 7. The midstate is in
// Montgomery form when `montgomery` (the builds below 12.0), else canonical.
template <int CC>
TARN_HD void counter_block_setup(const felt* midstate, const unsigned char* start, felt* rec,
                                 bool montgomery) {
  felt a[12];
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) {
    a[i] = montgomery ? from_montgomery(midstate[i]) : midstate[i];
    if (i < 7) a[i] = gf_add(a[i], word_from_le32(start + 4 * i));
  }
  external_layer_rc<CC, RC_INIT>(a, 0);
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) rec[i] = a[i];
}

template <int CC>
TARN_HD void counter_first_layer(const felt* rec, uint32_t w7, felt* x) {
  const Acc96 v = acc_from(w7);
  const Acc96 v2 = acc_dbl(v);
  const Acc96 v3 = acc_add(v2, v);
  const Acc96 col[12] = {v, v, v3, v2, v2, v2, acc_dbl(v3), acc_dbl(v2), v, v, v3, v2};
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) x[i] = reduce96<CC>(acc_add(col[i], rec[i]));
}

// Finishes the hash from the S-box inputs of initial round `first` of permutation 3 and tests
// it: permutation 4 always, permutation 5 only when the first 32 bytes tie with the target.
// One loop over the passes keeps a single copy of the permutation in the kernel.
template <int CC>
TARN_HD bool finish_and_test(felt* x, int first, const unsigned char* target) {
  TARN_NO_UNROLL
  for (int pass = 0; pass < 3; ++pass) {
    permute_rounds<CC>(x, first);
    first = 0;
    if (pass == 0) {
      x[0] = gf_add1(x[0]);  // padding
      x[1] = gf_add1(x[1]);
    } else {
      const int c = compare_half(x, target + 32 * (pass - 1));
      if (c != 0) return c < 0;
      if (pass == 2) return false;  // equal to the target: not below it
    }
    external_layer_rc<CC, RC_INIT>(x, 0);
  }
  return false;
}

// Finishes the hash from the S-box inputs of initial round `first` of permutation 3 and writes
// all 64 bytes: padding, permutation 4 (bytes 0-31), permutation 5 (bytes 32-63). The passes
// share one copy of the permutation, as in finish_and_test.
template <int CC>
TARN_HD void finish_hash(felt* x, int first, unsigned char* out) {
  TARN_NO_UNROLL
  for (int pass = 0; pass < 3; ++pass) {
    permute_rounds<CC>(x, first);
    first = 0;
    if (pass == 0) {
      x[0] = gf_add1(x[0]);
      x[1] = gf_add1(x[1]);
    } else {
      TARN_UNROLL
      for (int k = 0; k < 4; ++k) felt_to_le64(x[k], out + 32 * (pass - 1) + 8 * k);
      if (pass == 2) return;
    }
    external_layer_rc<CC, RC_INIT>(x, 0);
  }
}

template <int CC>
TARN_HD void mine_block_setup(const MineArgs& a, uint32_t block, MineShared* sh) {
  if constexpr (direction_layout(CC)) {
    dir_block_setup<CC>(a.midstate, start_group(a.start) + block, sh->rec);
  } else {
    counter_block_setup<CC>(a.midstate, a.start, sh->rec, true);
  }
}

template <int CC>
TARN_HD void mine_thread(const MineArgs& a, const MineShared& sh, uint32_t block, uint32_t thread,
                         uint32_t tpb) {
  constexpr bool DIR = direction_layout(CC);
  const uint64_t span = static_cast<uint64_t>(tpb) * a.per_thread;
  const uint64_t i0 = (static_cast<uint64_t>(block) * tpb + thread) * a.per_thread;
  if (a.per_thread == 0 || i0 >= a.count) return;
  if (DIR && span > DIR_MAX_SPAN) return;
  const uint64_t g0 = start_group(a.start);
  const uint32_t ctr = start_counter(a.start);
  const felt* rec = sh.rec;
  TARN_NO_UNROLL
  for (uint32_t k = 0; k < a.per_thread; ++k) {
    const uint64_t i = i0 + k;
    if (i >= a.count) break;
    felt x[12];
    if constexpr (DIR) {
      dir_first_round<CC>(rec, thread * a.per_thread + k, x);
    } else {
      // Bytes 28-31 of the low half hold ctr + i big-endian; the word reads them little-endian.
      counter_first_layer<CC>(rec, bswap32(ctr + static_cast<uint32_t>(i)), x);
    }
    if (finish_and_test<CC>(x, DIR ? 1 : 0, a.target)) record_hit(a.result, i, g0);
  }
}

}  // namespace tarn
