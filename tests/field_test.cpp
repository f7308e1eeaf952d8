// The device field algorithm (run on the host) against the 128-bit reference.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "field/goldilocks.h"
#include "field/goldilocks_ref.h"
#include "hash/sponge.h"
#include "hash/folded_constants.h"
#include "tests/each_generation.h"

using namespace tarn;

namespace {

constexpr felt P = GF_P;

std::vector<felt> boundary_operands() {
  std::vector<felt> v = {0, 1, 2, 3, 0xFFFFFFFFull, 0x100000000ull, 0x100000001ull, P - 2, P - 1};
  for (felt k = 0; k < 8; ++k) {
    v.push_back(P + k);                // non-canonical: [p, 2^64)
    v.push_back(~0ull - k);            // 2^64 - 1 - k
    v.push_back((k + 1) << 32);        // 2^32 multiples
    v.push_back(0xFFFFFFFF00000000ull - k);
  }
  v.push_back(1ull << 48);
  v.push_back(1ull << 63);
  return v;
}

template <int CC>
void check_all_ops(felt a, felt b) {
  const felt cb = ref::canon(b);
  ASSERT_EQ(gf_canon(gf_add(a, b)), ref::add(a, b)) << std::hex << a << " + " << b;
  ASSERT_EQ(gf_canon(gf_sub(a, cb)), ref::sub(a, cb)) << std::hex << a << " - " << cb;
  ASSERT_EQ(gf_canon(gf_mul(a, b)), ref::mul(a, b)) << std::hex << a << " * " << b;
  // A full round's S-box: a^7 + cb + eps as an accumulator whose top limb is at most 2.
  const Acc96 s = gf_pow7_add_plus_eps<CC>(a, cb);
  ASSERT_LE(s.hi, 2u);
  const unsigned __int128 sw = (static_cast<unsigned __int128>(s.hi) << 64) | s.lo;
  const uint64_t sv = static_cast<uint64_t>(sw % P);
  ASSERT_EQ(sv, ref::add(ref::add(ref::pow7(a), cb), GF_EPS)) << std::hex << a << " " << cb;
}

template <int CC>
void check_unary(felt a) {
  ASSERT_EQ(gf_canon(gf_sqr<CC>(a)), ref::mul(a, a)) << std::hex << a;
  ASSERT_EQ(gf_canon(gf_pow7<CC>(a)), ref::pow7(a)) << std::hex << a;
  ASSERT_EQ(gf_canon(a), ref::canon(a)) << std::hex << a;
  ASSERT_EQ(gf_canon(gf_add1(a)), ref::add(a, 1)) << std::hex << a;
  ASSERT_EQ(from_montgomery(to_montgomery(a)), ref::canon(a)) << std::hex << a;
}

// Both forms of the 96-bit fold, whichever generation picks which.
constexpr Fold kFolds[] = {Fold::adds, Fold::mad};
felt fold(Fold f, Acc96 a) { return f == Fold::mad ? fold96<Fold::mad>(a) : fold96<Fold::adds>(a); }

}  // namespace

TEST(Field, KnownValues) {
  EXPECT_EQ(gf_canon(gf_mul(1ull << 48, 1ull << 48)), 0xFFFFFFFF00000000ull);
  EXPECT_EQ(gf_canon(gf_mul(P - 1, P - 1)), 1u);
  EXPECT_EQ(gf_canon(gf_mul(1ull << 32, 1ull << 32)), 0xFFFFFFFFull);
  EXPECT_EQ(gf_canon(gf_mul(~0ull, ~0ull)), 0xFFFFFFFC00000004ull);
  EXPECT_EQ(gf_canon(gf_add(~0ull, 1)), 0xFFFFFFFFull);
  EXPECT_EQ(gf_add(~0ull, ~0ull), 0x1FFFFFFFCull);  // the 2-epsilon branch
  EXPECT_EQ(gf_canon(gf_sub(0, 1)), 0xFFFFFFFF00000000ull);
  EXPECT_EQ(gf_canon(P), 0u);
  EXPECT_EQ(gf_canon(P - 1), P - 1);
  EXPECT_EQ(gf_canon(~0ull), 0xFFFFFFFEull);
  each_generation([](auto gen) {
    constexpr int CC = decltype(gen)::value;
    EXPECT_EQ(gf_canon(gf_pow7<CC>(2)), 128u) << CC;
    EXPECT_EQ(gf_canon(gf_pow7<CC>(3)), 0x88Bu) << CC;
    EXPECT_EQ(gf_canon(gf_pow7<CC>(P - 1)), P - 1) << CC;
    EXPECT_EQ(gf_canon(gf_pow7<CC>(0)), 0u) << CC;
  });
  for (Fold f : kFolds)
    EXPECT_EQ(gf_canon(fold(f, Acc96{~0ull, 0xFFFFFFFFu})),
              ref::add(ref::mul(0xFFFFFFFFull, 0xFFFFFFFFull), ~0ull));
  // Across p and across the top of the word, where the one subtraction happens or must not.
  for (felt x = P - 300; x != P + 300; ++x) ASSERT_EQ(gf_canon(x), x >= P ? x - P : x) << x;
  for (felt x = ~0ull - 300; x != 0; ++x) ASSERT_EQ(gf_canon(x), x - P) << x;
}

TEST(Field, BoundaryOperandsAgreeWithReference) {
  const std::vector<felt> v = boundary_operands();
  each_generation([&](auto gen) {
    for (felt a : v) {
      check_unary<decltype(gen)::value>(a);
      for (felt b : v) check_all_ops<decltype(gen)::value>(a, b);
    }
  });
}

TEST(Field, RandomOperandsAgreeWithReference) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  each_generation([&](auto gen) {
    for (int i = 0; i < 500000 && !HasFatalFailure(); ++i) {
      const felt a = rng(), b = rng();
      check_all_ops<decltype(gen)::value>(a, b);
      check_unary<decltype(gen)::value>(a);
    }
  });
}

// The reductions on every pair of boundary limbs, not only on the limbs a product can reach:
// A product plus addend has a top word up to 2^64 - 1, and both correction branches (carry, borrow) and
// their overlap sit at these edges.
TEST(Field, ReductionsOfBoundaryLimbsAgreeWithReference) {
  std::vector<uint64_t> v = boundary_operands();
  for (uint64_t k = 1; k < 4; ++k) v.push_back(k * 0xFFFFFFFFull);  // epsilon multiples
  for (uint64_t lo : v) {
    for (uint64_t hi : v) {
      const unsigned __int128 x = (static_cast<unsigned __int128>(hi) << 64) | lo;
      ASSERT_EQ(gf_canon(reduce128(lo, hi)), static_cast<uint64_t>(x % P))
          << std::hex << hi << ":" << lo;
      const Acc96 b = fold128_plus_eps(lo, hi, GF_EPS);  // the value plus eps, top limb <= 2
      ASSERT_LE(b.hi, 2u) << std::hex << hi << ":" << lo;
      const unsigned __int128 bv = (static_cast<unsigned __int128>(b.hi) << 64) | b.lo;
      ASSERT_EQ(static_cast<uint64_t>(bv % P), ref::add(static_cast<uint64_t>(x % P), GF_EPS))
          << std::hex << hi << ":" << lo;
      const uint32_t h = static_cast<uint32_t>(hi);
      for (Fold f : kFolds)
        ASSERT_EQ(gf_canon(fold(f, Acc96{lo, h})),
                  static_cast<uint64_t>(((static_cast<unsigned __int128>(h) << 64) | lo) % P))
            << std::hex << h << ":" << lo;
    }
  }
}

// The split product of the internal rounds for every lane's coefficients and complemented
// halves: lo32(x ^ flip) * a + hi32(x ^ flip) * b + c must be x * d - K + c for boundary x and
// addends up to the largest sum of lanes, its value below 2^96 so the 96-bit fold is exact.
TEST(Field, SplitProductOfEachLaneAgreesWithReference) {
  const std::vector<Acc96> cs = {{0, 0}, {~0ull, 0}, {~0ull - 11, 11}, {~0ull, 12}, {1, 12}};
  for (int i = 0; i < 12; ++i) {
    const LaneSplit s = lane_split(i);
    const felt flip = (s.flip_lo ? 0xFFFFFFFFull : 0) | (s.flip_hi ? 0xFFFFFFFF00000000ull : 0);
    for (felt x : boundary_operands()) {
      for (const Acc96 c : cs) {
        const unsigned __int128 cv = (static_cast<unsigned __int128>(c.hi) << 64) | c.lo;
        const felt want = ref::add(ref::sub(ref::mul(x, host_tables::MAT_DIAG[i]), s.shortfall),
                                   static_cast<uint64_t>(cv % P));
        for (Fold f : kFolds)
          ASSERT_EQ(gf_canon(fold(f, mul_split_add96(x ^ flip, s.coef_lo, s.coef_hi, c))), want)
              << "lane " << i << ": " << std::hex << x << " + " << c.hi << ":" << c.lo;
      }
    }
  }
}

TEST(Field, AccumulatorReducesExactSums) {
  // 29 terms of 2^64 - 1: the largest linear combination a layer forms.
  Acc96 acc = acc_from(0);
  felt want = 0;
  for (int i = 0; i < 29; ++i) {
    acc = acc_add(acc, ~0ull);
    want = ref::add(want, ~0ull);
  }
  EXPECT_EQ(acc.hi, 28u);
  for (Fold f : kFolds) EXPECT_EQ(gf_canon(fold(f, acc)), want);
}

TEST(Field, ByteConversions) {
  const unsigned char b[4] = {0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(word_from_le32(b), 0x12345678u);
  unsigned char out[8];
  felt_to_le64(P + 5, out);  // canonicalised before writing
  const unsigned char want[8] = {5, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(out, want, 8));
}
