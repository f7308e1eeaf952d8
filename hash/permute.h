// Poseidon2 permutation (width 12, x^7, 4 + 22 + 4 rounds) as the kernels evaluate it.
// Each linear layer accumulates its lanes exactly in 96 bits together with the constant the
// next round adds, and reduces once per lane; values stay partially reduced in between.
#pragma once

#include "field/goldilocks.h"
#include "hash/constant_access.h"

namespace tarn {

// Which constants a layer adds: the linear layers add theirs to their output lanes; the full
// rounds (RC_*_ROUND) add theirs inside their S-boxes (through_external_inverse).
enum RcTable { RC_NONE = -1, RC_INIT = 0, RC_INIT_NEXT = 1, RC_INIT_ROUND = 2, RC_TERM_ROUND = 3 };

template <int TABLE>
TARN_HD uint64_t rc_of(int i) {
  if constexpr (TABLE == RC_INIT) return init_ext_rc(i);
  if constexpr (TABLE == RC_INIT_NEXT) return init_next_rc(i);
  if constexpr (TABLE == RC_INIT_ROUND) return init_round_rc(i);
  return term_round_rc(i);
}

// 4x4 block [[2,3,1,1],[1,2,3,1],[1,1,2,3],[3,1,1,2]] by additions only, exact in 96 bits.
template <int CC>
TARN_HD void apply_m4(Acc96 x0, Acc96 x1, Acc96 x2, Acc96 x3, Acc96* y) {
  const Acc96 t01 = acc_sum<CC>(x0, x1);
  const Acc96 t23 = acc_sum<CC>(x2, x3);
  const Acc96 t0123 = acc_sum<CC>(t01, t23);
  const Acc96 t01123 = acc_sum<CC>(t0123, x1);
  const Acc96 t01233 = acc_sum<CC>(t0123, x3);
  y[3] = acc_sum<CC>(acc_sum<CC>(t01233, x0), x0);
  y[1] = acc_sum<CC>(acc_sum<CC>(t01123, x2), x2);
  y[0] = acc_sum<CC>(t01123, t01);
  y[2] = acc_sum<CC>(t01233, t23);
}

// External linear layer of accumulator inputs (top limbs at most 2, so each below 3 * 2^64) plus
// the constants rc_of<TABLE>(base + i), written to x: the weights of an output lane sum to 28,
// so with its constant it stays below 85 * 2^64 and the top limb under 2^7.
template <int CC, int TABLE>
TARN_HD void external_layer_acc(const Acc96* in, felt* x, int base) {
  Acc96 y[12];
  apply_m4<CC>(in[0], in[1], in[2], in[3], y);
  apply_m4<CC>(in[4], in[5], in[6], in[7], y + 4);
  apply_m4<CC>(in[8], in[9], in[10], in[11], y + 8);
  TARN_UNROLL
  for (int k = 0; k < 4; ++k) {
    const Acc96 s = acc_sum<CC>(acc_sum<CC>(y[k], y[4 + k]), y[8 + k]);
    TARN_UNROLL
    for (int b = 0; b < 12; b += 4) {
      const int i = b + k;
      Acc96 v = acc_sum<CC>(y[i], s);
      if constexpr (TABLE != RC_NONE) v = acc_add(v, rc_of<TABLE>(base + i));
      x[i] = reduce96<CC>(v);
    }
  }
}

// External linear layer of felts plus the constants rc_of<TABLE>(base + i).
template <int CC, int TABLE>
TARN_HD void external_layer_rc(felt* x, int base) {
  Acc96 in[12];
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) in[i] = acc_from(x[i]);
  external_layer_acc<CC, TABLE>(in, x, base);
}

// One full round from its S-box inputs: each S-box adds its share of the next round's
// constants and hands its output, plus eps, straight to the linear layer (TABLE takes the eps
// back).
template <int CC, int TABLE>
TARN_HD void full_round(felt* x, int base) {
  Acc96 s[12];
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) s[i] = gf_pow7_add_plus_eps<CC>(x[i], rc_of<TABLE>(base + i));
  external_layer_acc<CC, RC_NONE>(s, x, 0);
}

// The permutation from the S-boxes of initial round `first` on: x must already hold that
// round's S-box inputs (linear layers and constants of the rounds before applied).
template <int CC>
TARN_HD void permute_rounds(felt* x, int first) {
  TARN_NO_UNROLL
  for (int r = first; r < 4; ++r) {
    full_round<CC, RC_INIT_ROUND>(x, 12 * r);  // after round 3: INTERNAL_RC[0] on lane 0
  }

  felt coef_lo[12], coef_hi[12];
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) {
    coef_lo[i] = lane_coef_lo(i);
    coef_hi[i] = lane_coef_hi(i);
  }

  // The lanes other than 0 enter with offsets (lane_offsets) and leave with the first terminal
  // round's constants added.
  TARN_NO_UNROLL
  for (int r = 0; r < 22; ++r) {
    x[0] = gf_pow7<CC>(x[0]);
    Acc96 sum = acc_from(x[0]);
    TARN_UNROLL
    for (int i = 1; i < 12; ++i) sum = acc_add(sum, x[i]);
    // Lane 0 also takes the next round's constant (after the last round, the first terminal
    // round's). The sums go into the products unreduced; each product stays below 2^96, which
    // a 96-bit fold reduces.
    const Acc96 sum0 = acc_add(sum, internal_next_rc_lane0(r));
    // Lanes in the order 0, 11, 10, ..., 1: each reads only its own x and the sums above, so any
    // order gives the same values, and this one leaves ptxas fewer register copies (kernel-cost:
    // 44 fewer IMAD.MOV per nonce on sm_90 than 0, 1, ..., 11; the same elsewhere).
    TARN_UNROLL
    for (int j = 0; j < 12; ++j) {
      const int i = (12 - j) % 12;
      const felt flip = ((LANE_FLIP_LO >> i) & 1u ? 0xFFFFFFFFull : 0) |
                        ((LANE_FLIP_HI >> i) & 1u ? 0xFFFFFFFF00000000ull : 0);
      const Acc96 addend = i == 0 ? sum0 : sum;
      x[i] = reduce96_lane<CC>(mul_split_add96(x[i] ^ flip, coef_lo[i], coef_hi[i], addend));
    }
  }

  TARN_NO_UNROLL
  for (int r = 0; r < 4; ++r) {
    full_round<CC, RC_TERM_ROUND>(x, 12 * r);  // after round 3 the constants are 0
  }
}

// The whole permutation in place; accepts and returns partially reduced lanes.
template <int CC>
TARN_HD void permute(felt* x) {
  external_layer_rc<CC, RC_INIT>(x, 0);
  permute_rounds<CC>(x, 0);
}

}  // namespace tarn
