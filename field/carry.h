// Limb-level primitives of the field arithmetic: inline PTX on the GPU, portable C++ on the host.
// Each primitive is a whole carry chain, because the carry flag does not survive between asm
// statements. Both forms produce the same bits.
#pragma once

#include <cstdint>

#include "field/hd.h"

namespace tarn {

struct U128 {
  uint64_t lo;
  uint64_t hi;
};

TARN_HD uint32_t lo32(uint64_t x) { return static_cast<uint32_t>(x); }
TARN_HD uint32_t hi32(uint64_t x) { return static_cast<uint32_t>(x >> 32); }
TARN_HD uint64_t make64(uint32_t lo, uint32_t hi) {
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

// a * b + c exactly (fits: (2^64-1)^2 + 2^64-1 < 2^128), from four 32x32 partial products.
TARN_HD U128 mul_wide_add(uint64_t a, uint64_t b, uint64_t c) {
#if defined(__CUDA_ARCH__)
  uint32_t r0, r1, r2, r3;
  asm("{\n\t"
      "mad.lo.cc.u32  %0, %4, %6, %8;\n\t"
      "madc.hi.cc.u32 %1, %4, %6, %9;\n\t"
      "madc.lo.cc.u32 %2, %5, %7, 0;\n\t"
      "madc.hi.u32    %3, %5, %7, 0;\n\t"
      "mad.lo.cc.u32  %1, %5, %6, %1;\n\t"
      "madc.hi.cc.u32 %2, %5, %6, %2;\n\t"
      "addc.u32       %3, %3, 0;\n\t"
      "mad.lo.cc.u32  %1, %4, %7, %1;\n\t"
      "madc.hi.cc.u32 %2, %4, %7, %2;\n\t"
      "addc.u32       %3, %3, 0;\n\t"
      "}"
      : "=&r"(r0), "=&r"(r1), "=&r"(r2), "=&r"(r3)
      : "r"(lo32(a)), "r"(hi32(a)), "r"(lo32(b)), "r"(hi32(b)), "r"(lo32(c)), "r"(hi32(c)));
  return {make64(r0, r1), make64(r2, r3)};
#else
  // The host's widening multiply gives the same 128 bits as the four partial products.
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b + c;
  return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
#endif
}

// a * a exactly, with the cross product doubled instead of computed twice.
TARN_HD U128 sqr_wide(uint64_t a) {
#if defined(__CUDA_ARCH__)
  uint32_t r0, r1, r2, r3;
  asm("{\n\t"
      ".reg .u32 m0, m1, m2;\n\t"
      "mul.lo.u32     m0, %4, %5;\n\t"
      "mul.hi.u32     m1, %4, %5;\n\t"
      "shr.u32        m2, m1, 31;\n\t"
      "shf.l.clamp.b32 m1, m0, m1, 1;\n\t"
      "shl.b32        m0, m0, 1;\n\t"
      "mul.lo.u32     %0, %4, %4;\n\t"
      "mul.hi.u32     %1, %4, %4;\n\t"
      "mul.lo.u32     %2, %5, %5;\n\t"
      "mul.hi.u32     %3, %5, %5;\n\t"
      "add.cc.u32     %1, %1, m0;\n\t"
      "addc.cc.u32    %2, %2, m1;\n\t"
      "addc.u32       %3, %3, m2;\n\t"
      "}"
      : "=&r"(r0), "=&r"(r1), "=&r"(r2), "=&r"(r3)
      : "r"(lo32(a)), "r"(hi32(a)));
  return {make64(r0, r1), make64(r2, r3)};
#else
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * a;
  return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
#endif
}

// lo + h*eps with h < 2^32, folded back below 2^64: if the 65-bit sum carries, drop 2^64 and add
// eps (2^64 = eps mod p). The folded value is at most 2^64 - 2^32 - 1, so it cannot carry again.
TARN_HD uint64_t fold_mul_eps(uint64_t lo, uint32_t h, uint32_t eps) {
#if defined(__CUDA_ARCH__)
  uint32_t t0, t1;
  asm("{\n\t"
      ".reg .u32 c;\n\t"
      "mad.lo.cc.u32  %0, %3, %4, %2;\n\t"
      "madc.hi.cc.u32 %1, %3, %4, %5;\n\t"
      "addc.u32       c, 0, 0;\n\t"
      "mad.lo.cc.u32  %0, c, %4, %0;\n\t"
      "addc.u32       %1, %1, 0;\n\t"
      "}"
      : "=&r"(t0), "=&r"(t1)
      : "r"(lo32(lo)), "r"(h), "r"(eps), "r"(hi32(lo)));
  return make64(t0, t1);
#else
  const uint64_t prod = static_cast<uint64_t>(h) * eps;
  uint64_t t = lo + prod;
  const uint64_t carry = t < prod;
  t += carry * eps;
  return t;
#endif
}

// t - h (h < 2^32); on a borrow subtract eps once more (t < h means t < 2^32, so the first
// difference is above eps and the second subtraction cannot borrow).
TARN_HD uint64_t sub_small_fold(uint64_t t, uint32_t h) {
#if defined(__CUDA_ARCH__)
  uint32_t r0, r1;
  asm("{\n\t"
      ".reg .u32 b;\n\t"
      "sub.cc.u32  %0, %2, %4;\n\t"
      "subc.cc.u32 %1, %3, 0;\n\t"
      "subc.u32    b, 0, 0;\n\t"  // all ones (= eps) exactly when it borrowed
      "sub.cc.u32  %0, %0, b;\n\t"
      "subc.u32    %1, %1, 0;\n\t"
      "}"
      : "=&r"(r0), "=&r"(r1)
      : "r"(lo32(t)), "r"(hi32(t)), "r"(h));
  return make64(r0, r1);
#else
  const uint64_t r = t - h;
  const uint64_t borrow = t < h;
  return r - borrow * 0xFFFFFFFFull;
#endif
}

// 96-bit accumulator for exact linear combinations: low 64 bits plus a small top limb.
struct Acc96 {
  uint64_t lo;
  uint32_t hi;
};

TARN_HD Acc96 acc_from(uint64_t x) { return {x, 0u}; }

TARN_HD Acc96 acc_add(Acc96 a, uint64_t x) {
#if defined(__CUDA_ARCH__)
  uint32_t r0, r1, r2;
  asm("{\n\t"
      "add.cc.u32  %0, %3, %6;\n\t"
      "addc.cc.u32 %1, %4, %7;\n\t"
      "addc.u32    %2, %5, 0;\n\t"
      "}"
      : "=&r"(r0), "=&r"(r1), "=&r"(r2)
      : "r"(lo32(a.lo)), "r"(hi32(a.lo)), "r"(a.hi), "r"(lo32(x)), "r"(hi32(x)));
  return {make64(r0, r1), r2};
#else
  const uint64_t lo = a.lo + x;
  return {lo, a.hi + static_cast<uint32_t>(lo < x)};
#endif
}

TARN_HD Acc96 acc_add(Acc96 a, Acc96 b) {
#if defined(__CUDA_ARCH__)
  uint32_t r0, r1, r2;
  asm("{\n\t"
      "add.cc.u32  %0, %3, %6;\n\t"
      "addc.cc.u32 %1, %4, %7;\n\t"
      "addc.u32    %2, %5, %8;\n\t"
      "}"
      : "=&r"(r0), "=&r"(r1), "=&r"(r2)
      : "r"(lo32(a.lo)), "r"(hi32(a.lo)), "r"(a.hi), "r"(lo32(b.lo)), "r"(hi32(b.lo)), "r"(b.hi));
  return {make64(r0, r1), r2};
#else
  const uint64_t lo = a.lo + b.lo;
  return {lo, a.hi + b.hi + static_cast<uint32_t>(lo < b.lo)};
#endif
}

TARN_HD Acc96 acc_dbl(Acc96 a) { return acc_add(a, a); }

}  // namespace tarn
