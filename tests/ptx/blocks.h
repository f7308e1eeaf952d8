// One entry per inline PTX block of the arithmetic: its name, input count, output count and a
// body that calls the primitive on in[] and writes out[]. blocks.cu makes each a one-thread
// kernel, twin.cpp the same call on the host, so the two forms of each primitive can be compared.
#pragma once

#include "field/mul_variants.h"

#define TARN_EPS_ARG(k) static_cast<uint32_t>(in[k])

#define TARN_PTX_BLOCKS(X)                                                                    \
  X(mul_wide_add96, 4, 2, { const U128 r = mul_wide_add96(in[0], in[1],                       \
                                                          Acc96{in[2], TARN_EPS_ARG(3)});     \
                            out[0] = r.lo; out[1] = r.hi; })                                  \
  X(mul_wide, 2, 2, { const U128 r = mul_wide(in[0], in[1]); out[0] = r.lo; out[1] = r.hi; }) \
  X(fold128, 3, 1, { out[0] = fold128(in[0], in[1], TARN_EPS_ARG(2)); })                      \
  X(fold128_plus_eps, 3, 2, { const Acc96 r = fold128_plus_eps(in[0], in[1], TARN_EPS_ARG(2));  \
                              out[0] = r.lo; out[1] = r.hi; })                                \
  X(mul_split_add96, 5, 2, { const Acc96 r = mul_split_add96(in[0], in[1], in[2],             \
                                                          Acc96{in[3], TARN_EPS_ARG(4)});     \
                              out[0] = r.lo; out[1] = r.hi; })                                \
  X(sqr_wide, 1, 2, { const U128 r = sqr_wide(in[0]); out[0] = r.lo; out[1] = r.hi; })        \
  X(fold_mul_eps, 3, 1, { out[0] = fold_mul_eps(in[0], TARN_EPS_ARG(1), TARN_EPS_ARG(2)); })  \
  X(fold_mul_eps_adds, 3, 1, { out[0] = fold_mul_eps_adds(in[0], TARN_EPS_ARG(1),             \
                                                          TARN_EPS_ARG(2)); })                \
  X(sub_small_fold, 2, 1, { out[0] = sub_small_fold(in[0], TARN_EPS_ARG(1)); })               \
  X(acc_add_word, 3, 2, { const Acc96 r = acc_add(Acc96{in[0], TARN_EPS_ARG(1)}, in[2]);      \
                          out[0] = r.lo; out[1] = r.hi; })                                    \
  X(acc_add_acc, 4, 2, { const Acc96 r = acc_add(Acc96{in[0], TARN_EPS_ARG(1)},               \
                                                 Acc96{in[2], TARN_EPS_ARG(3)});              \
                         out[0] = r.lo; out[1] = r.hi; })                                     \
  X(acc_add_wide, 4, 2, { const Acc96 r = acc_add_wide(Acc96{in[0], TARN_EPS_ARG(1)},        \
                                                       Acc96{in[2], TARN_EPS_ARG(3)});        \
                          out[0] = r.lo; out[1] = r.hi; })                                    \
  X(mul_wide_native, 2, 2, { const U128 r = mul_wide_native(in[0], in[1]); out[0] = r.lo;     \
                             out[1] = r.hi; })                                                \
  X(mul_eps_wide, 2, 1, { out[0] = mul_eps_wide(TARN_EPS_ARG(0), TARN_EPS_ARG(1)); })         \
  X(add_fold, 3, 1, { out[0] = add_fold(in[0], in[1], TARN_EPS_ARG(2)); })                    \
  X(add_fold_mad, 3, 1, { out[0] = add_fold_mad(in[0], in[1], TARN_EPS_ARG(2)); })
