// Poseidon2 permutation (width 12, x^7, 4 + 22 + 4 rounds) as the kernels evaluate it.
// Each linear layer accumulates its lanes exactly in 96 bits together with the constant the
// next round adds, and reduces once per lane; values stay partially reduced in between.
#pragma once

#include "field/goldilocks.h"
#include "hash/tables.h"

namespace tarn {

// Which constants a linear layer folds into its output lanes.
enum RcTable { RC_NONE = -1, RC_INIT = 0, RC_INIT_NEXT = 1, RC_TERM_NEXT = 2 };

template <int TABLE>
TARN_HD uint64_t rc_of(int i) {
  if constexpr (TABLE == RC_INIT) return init_ext_rc(i);
  if constexpr (TABLE == RC_INIT_NEXT) return init_next_rc(i);
  return term_next_rc(i);
}

// 4x4 block [[2,3,1,1],[1,2,3,1],[1,1,2,3],[3,1,1,2]] by additions only, exact in 96 bits.
TARN_HD void apply_m4(felt x0, felt x1, felt x2, felt x3, Acc96* y) {
  const Acc96 t01 = acc_add(acc_from(x0), x1);
  const Acc96 t23 = acc_add(acc_from(x2), x3);
  const Acc96 t0123 = acc_add(t01, t23);
  const Acc96 t01123 = acc_add(t0123, x1);
  const Acc96 t01233 = acc_add(t0123, x3);
  y[3] = acc_add(acc_add(t01233, x0), x0);
  y[1] = acc_add(acc_add(t01123, x2), x2);
  y[0] = acc_add(t01123, t01);
  y[2] = acc_add(t01233, t23);
}

// External linear layer plus the constants rc_of<TABLE>(base + i): each output lane is a sum of
// at most 28 input terms and one constant, below 2^69, so the top limb stays under 2^5.
template <int TABLE>
TARN_HD void external_layer_rc(felt* x, int base) {
  Acc96 y[12];
  apply_m4(x[0], x[1], x[2], x[3], y);
  apply_m4(x[4], x[5], x[6], x[7], y + 4);
  apply_m4(x[8], x[9], x[10], x[11], y + 8);
  TARN_UNROLL
  for (int k = 0; k < 4; ++k) {
    const Acc96 s = acc_add(acc_add(y[k], y[4 + k]), y[8 + k]);
    TARN_UNROLL
    for (int b = 0; b < 12; b += 4) {
      const int i = b + k;
      Acc96 v = acc_add(y[i], s);
      if constexpr (TABLE != RC_NONE) v = acc_add(v, rc_of<TABLE>(base + i));
      x[i] = reduce96(v);
    }
  }
}

// The external layer without constants (the doubled-diagonal block matrix).
TARN_HD void external_layer_plain(felt* x) { external_layer_rc<RC_NONE>(x, 0); }

TARN_HD void sbox_all(felt* x) {
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) x[i] = gf_pow7(x[i]);
}

// The permutation from the S-boxes of initial round `first` on: x must already hold that
// round's S-box inputs (linear layers and constants of the rounds before applied).
TARN_HD void permute_rounds(felt* x, int first) {
  TARN_NO_UNROLL
  for (int r = first; r < 4; ++r) {
    sbox_all(x);
    external_layer_rc<RC_INIT_NEXT>(x, 12 * r);  // after round 3: INTERNAL_RC[0] on lane 0
  }

  felt diag[12];
  TARN_UNROLL
  for (int i = 0; i < 12; ++i) diag[i] = mat_diag(i);

  TARN_NO_UNROLL
  for (int r = 0; r < 22; ++r) {
    x[0] = gf_pow7(x[0]);
    Acc96 sum = acc_from(x[0]);
    TARN_UNROLL
    for (int i = 1; i < 12; ++i) sum = acc_add(sum, x[i]);
    // Lane 0 also takes the next round's constant; after the last round that is 0.
    const felt s0 = reduce96(acc_add(sum, internal_next_rc(r)));
    const felt s = reduce96(sum);
    x[0] = gf_mul_add(x[0], diag[0], s0);
    TARN_UNROLL
    for (int i = 1; i < 12; ++i) x[i] = gf_mul_add(x[i], diag[i], s);
  }

  TARN_UNROLL
  for (int i = 0; i < 12; ++i) x[i] = gf_add(x[i], term_ext_rc(i));

  TARN_NO_UNROLL
  for (int r = 0; r < 4; ++r) {
    sbox_all(x);
    external_layer_rc<RC_TERM_NEXT>(x, 12 * r);  // after round 3 the constants are 0
  }
}

// The whole permutation in place; accepts and returns partially reduced lanes.
TARN_HD void permute(felt* x) {
  external_layer_rc<RC_INIT>(x, 0);
  permute_rounds(x, 0);
}

}  // namespace tarn
