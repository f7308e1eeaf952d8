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

// 96-bit accumulator for exact linear combinations: low 64 bits plus a small top limb.
struct Acc96 {
  uint64_t lo;
  uint32_t hi;
};

TARN_HD uint32_t lo32(uint64_t x) { return static_cast<uint32_t>(x); }
TARN_HD uint32_t hi32(uint64_t x) { return static_cast<uint32_t>(x >> 32); }
TARN_HD uint64_t make64(uint32_t lo, uint32_t hi) {
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

// a * b + c for a 96-bit c, exact when b < p: then a * b <= 2^128 - 2^96 - 2^64 + 2^32, which
// leaves room for any c below 2^96. The outer products take c and the carry between them in one
// multiply-add chain, c's top limb riding with the top product; the cross products a0*b1 + a1*b0
// are summed in their own register pair (its carry goes straight to the top word) and added in
// at bit 32, so no register pair has to be rebuilt from halves of two others. No partial sum
// exceeds the final value, so the top word never wraps.
TARN_HD U128 mul_wide_add96(uint64_t a, uint64_t b, Acc96 c) {
#if defined(__CUDA_ARCH__)
  uint64_t lo, hi;
  asm("{\n\t"
      ".reg .u32 a0, a1, b0, b1, c0, c1, l0, l1, h0, h1, x0, x1;\n\t"
      "mov.b64        {a0, a1}, %2;\n\t"
      "mov.b64        {b0, b1}, %3;\n\t"
      "mov.b64        {c0, c1}, %4;\n\t"
      "mad.lo.cc.u32  l0, a0, b0, c0;\n\t"
      "madc.hi.cc.u32 l1, a0, b0, c1;\n\t"
      "madc.lo.cc.u32 h0, a1, b1, %5;\n\t"
      "madc.hi.u32    h1, a1, b1, 0;\n\t"
      "mul.lo.u32     x0, a0, b1;\n\t"
      "mul.hi.u32     x1, a0, b1;\n\t"
      "mad.lo.cc.u32  x0, a1, b0, x0;\n\t"
      "madc.hi.cc.u32 x1, a1, b0, x1;\n\t"
      "addc.u32       h1, h1, 0;\n\t"
      "add.cc.u32     l1, l1, x0;\n\t"
      "addc.cc.u32    h0, h0, x1;\n\t"
      "addc.u32       h1, h1, 0;\n\t"
      "mov.b64        %0, {l0, l1};\n\t"
      "mov.b64        %1, {h0, h1};\n\t"
      "}"
      : "=l"(lo), "=l"(hi)
      : "l"(a), "l"(b), "l"(c.lo), "r"(c.hi));
  return {lo, hi};
#else
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b + c.lo +
                              (static_cast<unsigned __int128>(c.hi) << 64);
  return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
#endif
}

// a * b + c exactly (fits: (2^64-1)^2 + 2^64-1 < 2^128): the same chain with a zero top limb.
TARN_HD U128 mul_wide_add(uint64_t a, uint64_t b, uint64_t c) {
  return mul_wide_add96(a, b, Acc96{c, 0});
}

// a * b exactly. As mul_wide_add without the addend: the outer products are plain wide
// multiplies, which the compiler keeps as two independent instructions.
TARN_HD U128 mul_wide(uint64_t a, uint64_t b) {
#if defined(__CUDA_ARCH__)
  uint64_t lo, hi;
  asm("{\n\t"
      ".reg .u32 a0, a1, b0, b1, l0, l1, h0, h1, x0, x1;\n\t"
      ".reg .u64 x, l, h;\n\t"
      "mov.b64        {a0, a1}, %2;\n\t"
      "mov.b64        {b0, b1}, %3;\n\t"
      "mul.wide.u32   h, a1, b1;\n\t"
      "mov.b64        {h0, h1}, h;\n\t"
      "mul.wide.u32   x, a0, b1;\n\t"
      "mov.b64        {x0, x1}, x;\n\t"
      "mad.lo.cc.u32  x0, a1, b0, x0;\n\t"
      "madc.hi.cc.u32 x1, a1, b0, x1;\n\t"
      "addc.u32       h1, h1, 0;\n\t"
      "mul.wide.u32   l, a0, b0;\n\t"
      "mov.b64        {l0, l1}, l;\n\t"
      "add.cc.u32     l1, l1, x0;\n\t"
      "addc.cc.u32    h0, h0, x1;\n\t"
      "addc.u32       h1, h1, 0;\n\t"
      "mov.b64        %0, {l0, l1};\n\t"
      "mov.b64        %1, {h0, h1};\n\t"
      "}"
      : "=l"(lo), "=l"(hi)
      : "l"(a), "l"(b));
  return {lo, hi};
#else
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
#endif
}

// The full 128-bit product from the GPU's native 64-bit multiply-low and multiply-high, whose
// expansion ptxas chooses: it sums the cross products in a register pair that the top product
// takes as its addend, which moves two of mul_wide's additions to the multiply pipe (and costs
// a copy into that pair). arch_policy.h says where it pays.
TARN_HD U128 mul_wide_native(uint64_t x, uint64_t y) {
#if defined(__CUDA_ARCH__)
  uint64_t lo, hi;
  asm("mul.lo.u64 %0, %2, %3;\n\t"
      "mul.hi.u64 %1, %2, %3;"
      : "=&l"(lo), "=&l"(hi)
      : "l"(x), "l"(y));
  return {lo, hi};
#else
  return mul_wide(x, y);
#endif
}

// lo32(x) * d + hi32(x) * e + c modulo 2^96: x * d + c when e = d * 2^32 mod p (the high half's
// 2^32 is taken into the constant), and exact when the caller knows the value stays below 2^96.
// Four 32 x 32 multiply-adds and no 128-bit top word, so the result needs only a 96-bit fold.
// The outer products x0*d0 and x1*e0 ride in one chain with c, their carries into the top limb;
// the middle products x0*d1 + x1*e1 are summed in their own pair and added in at bit 32.
TARN_HD Acc96 mul_split_add96(uint64_t x, uint64_t d, uint64_t e, Acc96 c) {
#if defined(__CUDA_ARCH__)
  uint64_t lo;
  uint32_t hi;
  asm("{\n\t"
      ".reg .u32 x0, x1, d0, d1, e0, e1, a0, a1, b0, b1, k;\n\t"
      ".reg .u64 b;\n\t"
      "mov.b64        {x0, x1}, %2;\n\t"
      "mov.b64        {d0, d1}, %3;\n\t"
      "mov.b64        {e0, e1}, %4;\n\t"
      "mov.b64        {a0, a1}, %5;\n\t"
      "mad.lo.cc.u32  a0, x0, d0, a0;\n\t"
      "madc.hi.cc.u32 a1, x0, d0, a1;\n\t"
      "addc.u32       k, %6, 0;\n\t"
      "mad.lo.cc.u32  a0, x1, e0, a0;\n\t"
      "madc.hi.cc.u32 a1, x1, e0, a1;\n\t"
      "addc.u32       k, k, 0;\n\t"
      "mul.wide.u32   b, x0, d1;\n\t"
      "mov.b64        {b0, b1}, b;\n\t"
      "mad.lo.cc.u32  b0, x1, e1, b0;\n\t"
      "madc.hi.u32    b1, x1, e1, b1;\n\t"
      "add.cc.u32     a1, a1, b0;\n\t"
      "addc.u32       %1, k, b1;\n\t"
      "mov.b64        %0, {a0, a1};\n\t"
      "}"
      : "=l"(lo), "=r"(hi)
      : "l"(x), "l"(d), "l"(e), "l"(c.lo), "r"(c.hi));
  return {lo, hi};
#else
  const unsigned __int128 v = static_cast<unsigned __int128>(lo32(x)) * d +
                              static_cast<unsigned __int128>(hi32(x)) * e + c.lo +
                              (static_cast<unsigned __int128>(c.hi) << 64);
  return {static_cast<uint64_t>(v), static_cast<uint32_t>(v >> 64)};
#endif
}

// a * a exactly from three wide multiplies: the cross product a0*a1 is added in once, shifted
// left by 33 bits, instead of being multiplied twice (its top bit goes to the top word).
TARN_HD U128 sqr_wide(uint64_t a) {
#if defined(__CUDA_ARCH__)
  uint64_t lo, hi;
  asm("{\n\t"
      ".reg .u32 a0, a1, l0, l1, h0, h1, x0, x1, d0, d1, d2;\n\t"
      ".reg .u64 x, l, h;\n\t"
      "mov.b64        {a0, a1}, %2;\n\t"
      "mul.wide.u32   h, a1, a1;\n\t"
      "mov.b64        {h0, h1}, h;\n\t"
      "mul.wide.u32   x, a0, a1;\n\t"
      "mov.b64        {x0, x1}, x;\n\t"
      "mul.wide.u32   l, a0, a0;\n\t"
      "mov.b64        {l0, l1}, l;\n\t"
      "shl.b32        d0, x0, 1;\n\t"
      "shf.l.wrap.b32 d1, x0, x1, 1;\n\t"
      "shr.u32        d2, x1, 31;\n\t"
      "add.cc.u32     l1, l1, d0;\n\t"
      "addc.cc.u32    h0, h0, d1;\n\t"
      "addc.u32       h1, h1, d2;\n\t"
      "mov.b64        %0, {l0, l1};\n\t"
      "mov.b64        %1, {h0, h1};\n\t"
      "}"
      : "=l"(lo), "=l"(hi)
      : "l"(a));
  return {lo, hi};
#else
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * a;
  return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
#endif
}

// lo + hi * 2^64 folded below 2^64 with h0 = hi mod 2^32, h1 = hi / 2^32 (2^64 = eps,
// 2^96 = -1, so the value is lo + h0 * eps - h1):
//   u = lo - h1, borrow b;  t = u + h0 * eps, carry k;  result = t + (k - b) * eps.
// The value is t + 2^64 (k - b), and 2^64 = eps. The one signed correction cannot wrap:
// k - b = 1 needs the carry, so t = lo - h1 + h0 * eps - 2^64 <= 2^64 - 2^33 and t + eps fits;
// k - b = -1 means u wrapped, so t >= u >= 2^64 - 2^32 + 1 and t - eps stays above 0.
// On the device c = k - b is a 32-bit word (0, 1 or all ones); c * eps as an unsigned product
// is 2^32 short for all ones, which the top bit of c puts back.
TARN_HD uint64_t fold128(uint64_t lo, uint64_t hi, uint32_t eps) {
#if defined(__CUDA_ARCH__)
  uint64_t r;
  asm("{\n\t"
      ".reg .u32 u0, u1, h0, h1, c, s, r0, r1;\n\t"
      "mov.b64        {u0, u1}, %1;\n\t"
      "mov.b64        {h0, h1}, %2;\n\t"
      "sub.cc.u32     u0, u0, h1;\n\t"
      "subc.cc.u32    u1, u1, 0;\n\t"
      "subc.u32       c, 0, 0;\n\t"
      "mad.lo.cc.u32  u0, h0, %3, u0;\n\t"
      "madc.hi.cc.u32 u1, h0, %3, u1;\n\t"
      "addc.u32       c, c, 0;\n\t"
      "mad.lo.cc.u32  r0, c, %3, u0;\n\t"
      "madc.hi.u32    r1, c, %3, u1;\n\t"
      "shr.u32        s, c, 31;\n\t"
      "add.u32        r1, r1, s;\n\t"
      "mov.b64        %0, {r0, r1};\n\t"
      "}"
      : "=l"(r)
      : "l"(lo), "l"(hi), "r"(eps));
  return r;
#else
  const uint32_t h0 = lo32(hi), h1 = hi32(hi);
  const uint64_t u = lo - h1;
  const uint32_t borrow = lo < h1 ? 1u : 0u;
  const uint64_t m = static_cast<uint64_t>(h0) * eps;
  const uint64_t t = u + m;
  const uint32_t c = (t < m ? 1u : 0u) - borrow;
  return t + static_cast<uint64_t>(c) * eps + (static_cast<uint64_t>(c >> 31) << 32);
#endif
}

// fold128 without its correction, for a value that only feeds an exact accumulation: {t, c}
// with t + c * 2^64 = t + (k - b + 1) * 2^64, congruent to lo + hi * 2^64 + eps (c <= 2). The
// accumulator takes c in its top limb for free, where fold128 spends a wide multiply-add and a
// shift-add on it; the extra eps per term is taken back by the consumer's constants.
TARN_HD Acc96 fold128_plus_eps(uint64_t lo, uint64_t hi, uint32_t eps) {
#if defined(__CUDA_ARCH__)
  uint64_t t;
  uint32_t c;
  asm("{\n\t"
      ".reg .u32 u0, u1, h0, h1;\n\t"
      "mov.b64        {u0, u1}, %2;\n\t"
      "mov.b64        {h0, h1}, %3;\n\t"
      "sub.cc.u32     u0, u0, h1;\n\t"
      "subc.cc.u32    u1, u1, 0;\n\t"
      "subc.u32       %1, 1, 0;\n\t"
      "mad.lo.cc.u32  u0, h0, %4, u0;\n\t"
      "madc.hi.cc.u32 u1, h0, %4, u1;\n\t"
      "addc.u32       %1, %1, 0;\n\t"
      "mov.b64        %0, {u0, u1};\n\t"
      "}"
      : "=l"(t), "=&r"(c)
      : "l"(lo), "l"(hi), "r"(eps));
  return {t, c};
#else
  const uint32_t h0 = lo32(hi), h1 = hi32(hi);
  const uint64_t u = lo - h1;
  const uint32_t borrow = lo < h1 ? 1u : 0u;
  const uint64_t m = static_cast<uint64_t>(h0) * eps;
  const uint64_t t = u + m;
  return {t, 1u - borrow + (t < m ? 1u : 0u)};
#endif
}

// lo + h*eps with h < 2^32, folded back below 2^64: if the 65-bit sum carries, drop 2^64 and add
// eps (2^64 = eps mod p). The folded value is at most 2^64 - 2^32 - 1, so it cannot carry again.
// The fold is one wide multiply-add of the carry by eps; its result lands in a register pair.
TARN_HD uint64_t fold_mul_eps(uint64_t lo, uint32_t h, uint32_t eps) {
#if defined(__CUDA_ARCH__)
  uint32_t t0, t1;
  asm("{\n\t"
      ".reg .u32 c;\n\t"
      "mad.lo.cc.u32  %0, %3, %4, %2;\n\t"
      "madc.hi.cc.u32 %1, %3, %4, %5;\n\t"
      "addc.u32       c, 0, 0;\n\t"
      "mad.lo.cc.u32  %0, c, %4, %0;\n\t"
      "madc.hi.u32    %1, c, %4, %1;\n\t"
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

// fold_mul_eps with the carry's eps added as c * 2^32 - c by two 32-bit adds, whose results may
// land in any two registers: where a loop carries the value, the allocator then needs no copies
// to put it back in place. When c = 1 the sum is below 2^33, so t1 + c cannot wrap.
TARN_HD uint64_t fold_mul_eps_adds(uint64_t lo, uint32_t h, uint32_t eps) {
#if defined(__CUDA_ARCH__)
  uint32_t t0, t1;
  asm("{\n\t"
      ".reg .u32 c, u;\n\t"
      "mad.lo.cc.u32  %0, %3, %4, %2;\n\t"
      "madc.hi.cc.u32 %1, %3, %4, %5;\n\t"
      "addc.u32       c, 0, 0;\n\t"
      "add.u32        u, %1, c;\n\t"
      "sub.cc.u32     %0, %0, c;\n\t"
      "subc.u32       %1, u, 0;\n\t"
      "}"
      : "=&r"(t0), "=&r"(t1)
      : "r"(lo32(lo)), "r"(h), "r"(eps), "r"(hi32(lo)));
  return make64(t0, t1);
#else
  return fold_mul_eps(lo, h, eps);
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

// acc_add of two accumulators with the low 64 bits as one 64-bit add: ptxas lowers it to the
// same three 32-bit adds, but treats the 64-bit halves as register pairs, which on some
// generations leaves it fewer copies (arch_policy.h).
TARN_HD Acc96 acc_add_wide(Acc96 a, Acc96 b) {
#if defined(__CUDA_ARCH__)
  uint64_t lo;
  uint32_t hi;
  asm("{\n\t"
      "add.cc.u64  %0, %2, %4;\n\t"
      "addc.u32    %1, %3, %5;\n\t"
      "}"
      : "=l"(lo), "=r"(hi)
      : "l"(a.lo), "r"(a.hi), "l"(b.lo), "r"(b.hi));
  return {lo, hi};
#else
  return acc_add(a, b);
#endif
}

TARN_HD Acc96 acc_dbl(Acc96 a) { return acc_add(a, a); }

}  // namespace tarn
