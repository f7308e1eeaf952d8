// Targets, nonce layouts, the first-round shortcut and the staged target test.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "hash/hash_ref.h"
#include "search/mine_body.h"
#include "search/target.h"
#include "tests/hex_util.h"

using namespace tarn;
using testutil::to_hex;

namespace {

// Exact check of T = floor((2^512 - 1) / D): T * D <= 2^512 - 1 < (T + 1) * D, by schoolbook
// multiplication of the 64-byte T by D into 72 bytes.
bool is_floor_quotient(const unsigned char* t, uint64_t d) {
  auto times_d = [d](const unsigned char* x, unsigned char* out) {  // out: 73 bytes big-endian
    unsigned __int128 carry = 0;
    for (int i = 63; i >= 0; --i) {
      const unsigned __int128 v = static_cast<unsigned __int128>(x[i]) * d + carry;
      out[i + 9] = static_cast<unsigned char>(v);
      carry = v >> 8;
    }
    for (int i = 8; i >= 0; --i) out[i] = static_cast<unsigned char>(carry), carry >>= 8;
  };
  unsigned char prod[73];
  times_d(t, prod);
  for (int i = 0; i < 9; ++i)
    if (prod[i] != 0) return false;  // T * D above 2^512 - 1
  // (T + 1) * D = T * D + D must exceed 2^512 - 1, i.e. carry out of 512 bits.
  unsigned __int128 carry = d;
  for (int i = 72; i >= 9 && carry; --i) {
    const unsigned __int128 v = prod[i] + carry;
    carry = v >> 8;
  }
  return carry != 0;
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

}  // namespace

TEST(Target, KnownDifficulties) {
  unsigned char t[64];
  auto hex_of = [&](uint64_t d) {
    target_from_difficulty(d, t);
    return to_hex(t, 64);
  };
  EXPECT_EQ(hex_of(1), repeat("ff", 64));
  EXPECT_EQ(hex_of(2), "7f" + repeat("ff", 63));
  EXPECT_EQ(hex_of(3), repeat("55", 64));
  EXPECT_EQ(hex_of(256), "00" + repeat("ff", 63));
  EXPECT_EQ(hex_of(1ull << 32), repeat("00", 4) + repeat("ff", 60));
  EXPECT_EQ(hex_of(1ull << 63), repeat("00", 7) + "01" + repeat("ff", 56));
  EXPECT_EQ(hex_of(3ull << 62), repeat("00", 7) + "01" + repeat("55", 56));
  EXPECT_EQ(hex_of(~0ull), repeat("0000000000000001", 8));
}

TEST(Target, RandomDifficultiesAreExactQuotients) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  unsigned char t[64];
  for (int i = 0; i < 20000; ++i) {
    const uint64_t d = (rng() >> (rng() % 64)) | 1;  // all magnitudes
    target_from_difficulty(d, t);
    ASSERT_TRUE(is_floor_quotient(t, d)) << "D = " << d;
  }
  for (uint64_t d : {~0ull, ~0ull - 1, 1ull << 63, (1ull << 63) + 1, 0xFFFFFFFFull}) {
    target_from_difficulty(d, t);
    EXPECT_TRUE(is_floor_quotient(t, d)) << "D = " << d;
  }
}

TEST(NonceLayout, DirectionLowHalf) {
  unsigned char out[32];
  tarn_nonce_dir_result_low(0, 0, 512, 64, out);
  EXPECT_EQ(to_hex(out, 32), repeat("00000040", 8));
  tarn_nonce_dir_result_low(0x123456789ABCDEF0ul, 5, 4, 256, out);
  EXPECT_EQ(to_hex(out, 32),
            "55000040b9de3c4079e2194031230140abffff3f37000040f1ffff3f14000040");
  // An index of one whole span is the next group at offset 0.
  unsigned char next[32];
  tarn_nonce_dir_result_low(7, 2 * 3, 2, 3, out);
  tarn_nonce_dir_result_low(8, 0, 2, 3, next);
  EXPECT_EQ(to_hex(out, 32), to_hex(next, 32));
  // The worked example: G0 = 0x0123456789AB, tpb 2, per_thread 2, index 6 -> group +1, r = 2.
  uint32_t w[8];
  dir_words(0x0123456789ACull, 2, w);
  tarn_nonce_dir_result_low(0x0123456789ABul, 6, 2, 2, out);
  for (int j = 0; j < 8; ++j) EXPECT_EQ(word_from_le32(out + 4 * j), w[j]);
}

// Every word over the whole span stays inside [2^30 - 557039, 2^30 + 4292604] (so below 2^31: a
// canonical felt, no wrap) and moves by r times the direction vector; so w0 = 2^30 + 17r fixes r,
// and the group's point w - r*d must give back all 64 bits of g in L, M, H. Groups with each
// single bit set catch a wrong field mask or shift.
TEST(NonceLayout, DirectionWordsStayCanonicalAndDistinct) {
  std::vector<uint64_t> groups = {0, ~0ull, 0x3FFFFFull, 0x3FFFFFull << 22, 0xFFFFFull << 44,
                                  0x0123456789ABCDEFull};
  for (int k = 0; k < 64; ++k) groups.push_back(1ull << k);
  for (const uint64_t g : groups) {
    uint32_t point[8];
    dir_words(g, 0, point);
    const uint32_t L = point[1] - DIR_CENTER, M = point[2] - DIR_CENTER, H = point[3] - DIR_CENTER;
    ASSERT_TRUE(L < (1u << 22) && M < (1u << 22) && H < (1u << 20)) << "group " << g;
    ASSERT_EQ(L | static_cast<uint64_t>(M) << 22 | static_cast<uint64_t>(H) << 44, g);
    for (int j : {0, 4, 5, 6, 7}) ASSERT_EQ(point[j], DIR_CENTER) << "word " << j;
    for (uint32_t r = 0; r < DIR_MAX_SPAN; ++r) {
      uint32_t w[8];
      dir_words(g, r, w);
      for (int j = 0; j < 8; ++j) {
        ASSERT_TRUE(w[j] >= DIR_CENTER - 557039u && w[j] <= DIR_CENTER + 4292604u)
            << "group " << g << " offset " << r << " word " << j << " = " << w[j];
        ASSERT_EQ(w[j] - point[j], r * static_cast<uint32_t>(DIR_VECTOR[j]))
            << "group " << g << " offset " << r << " word " << j;
      }
    }
  }
}

TEST(NonceLayout, CounterLowHalf) {
  unsigned char out[32];
  tarn_counter_low(0x0102030405060708ull, out);
  EXPECT_EQ(to_hex(out, 32), repeat("00", 24) + "0102030405060708");
}

namespace {

// The shortcuts of the direction layout, in the forms of the builds that run it.
constexpr int kDir = 1200;
static_assert(direction_layout(kDir));

// Full 64-byte hash through the shortcut of one block.
void shortcut_hash(const felt* rec, uint32_t r, unsigned char* out) {
  felt x[12];
  dir_first_round<kDir>(rec, r, x);
  permute_rounds<kDir>(x, 1);
  x[0] = gf_add1(x[0]);
  x[1] = gf_add1(x[1]);
  for (int half = 0; half < 2; ++half) {
    permute<kDir>(x);
    for (int k = 0; k < 4; ++k) felt_to_le64(x[k], out + 32 * half + 8 * k);
  }
}

}  // namespace

TEST(Shortcut, EqualsFullHashForEveryOffset) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  unsigned char header[32], nonce[64];
  for (auto& b : header) b = static_cast<unsigned char>(rng());
  for (auto& b : nonce) b = static_cast<unsigned char>(rng());
  felt mid[12];
  midstate_canonical<kDir>(header, nonce, mid);
  // Random groups and groups with L, M, H at their limits.
  const uint64_t groups[] = {rng(), 0, ~0ull, 0x3FFFFFull, 0x3FFFFFull << 22, 0xFFFFFull << 44};
  for (size_t gi = 0; gi < sizeof groups / sizeof groups[0]; ++gi) {
    const uint64_t g = groups[gi];
    MineShared sh;
    dir_block_setup<kDir>(mid, g, sh.rec);
    // Every offset for the first group, a stride for the others to keep the test quick.
    const uint32_t stride = gi == 0 ? 1 : 97;
    for (uint32_t r = 0; r < DIR_MAX_SPAN; r += stride) {
      uint32_t w[8];
      dir_words(g, r, w);
      for (int j = 0; j < 8; ++j)
        for (int b = 0; b < 4; ++b) nonce[32 + 4 * j + b] = static_cast<unsigned char>(w[j] >> (8 * b));
      unsigned char want[64], got[64];
      hash_full<kDir>(header, nonce, want);
      shortcut_hash(sh.rec, r, got);
      ASSERT_EQ(to_hex(got, 64), to_hex(want, 64)) << "group " << g << " offset " << r;
      if (r % 4099 == 0) {
        ref::hash_full(header, nonce, want);
        ASSERT_EQ(to_hex(got, 64), to_hex(want, 64)) << "reference, offset " << r;
      }
    }
  }
}

TEST(StagedTest, TiesAreDecidedBySecondHalf) {
  unsigned char header[32] = {9}, nonce[64] = {};
  felt mid[12];
  midstate_canonical<kDir>(header, nonce, mid);
  MineShared sh;
  dir_block_setup<kDir>(mid, 42, sh.rec);
  const uint32_t r = 1234;
  unsigned char h[64];
  shortcut_hash(sh.rec, r, h);

  auto test_against = [&](const unsigned char* target) {
    felt x[12];
    dir_first_round<kDir>(sh.rec, r, x);
    return finish_and_test<kDir>(x, 1, target);
  };
  unsigned char t[64];
  memcpy(t, h, 64);
  EXPECT_FALSE(test_against(t)) << "equal is not below";
  memset(t + 32, 0xff, 32);
  EXPECT_TRUE(test_against(t)) << "tie, larger second half";
  memset(t + 32, 0x00, 32);
  EXPECT_FALSE(test_against(t)) << "tie, smaller second half";
  memcpy(t, h, 64);
  for (int i = 31; i >= 0; --i) if (t[i] != 0xff) { ++t[i]; break; }
  memset(t + 32, 0, 32);
  EXPECT_TRUE(test_against(t)) << "larger first half wins without the second";
  memcpy(t, h, 64);
  for (int i = 31; i >= 0; --i) if (t[i] != 0) { --t[i]; break; }
  memset(t + 32, 0xff, 32);
  EXPECT_FALSE(test_against(t)) << "smaller first half loses";
}

// A lane may arrive in any representative, [p, 2^64) included: the comparison is of the
// canonical value, whose little-endian bytes form the hash.
TEST(Target, CompareHalfReadsEveryLaneCanonically) {
  const uint64_t p = tarn::GF_P;
  struct Case {
    uint64_t lane0;
    uint64_t target0;  // the first target word, as the hash bytes read big-endian
    int want;
  };
  const Case cases[] = {
      {p + 5, 5, 0},   {p + 5, 6, -1},           {p + 5, 4, 1},
      {p, 0, 0},       {~0ull, 0xFFFFFFFEull, 0},  // 2^64 - 1 is 2^32 - 2
      {p - 1, p - 1, 0}, {~0ull, 0xFFFFFFFFull, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lane0);
    tarn::felt lanes[4] = {c.lane0, p + 1, 2, 3};
    unsigned char target[32];
    const uint64_t words[4] = {c.target0, 1, 2, 3};
    for (int k = 0; k < 4; ++k) {
      unsigned char le[8];
      for (int b = 0; b < 8; ++b) le[b] = static_cast<unsigned char>(words[k] >> (8 * b));
      for (int b = 0; b < 8; ++b) target[8 * k + b] = le[b];  // hash bytes are little-endian felts
    }
    const int got = tarn::compare_half(lanes, target);
    EXPECT_EQ(got < 0 ? -1 : got > 0 ? 1 : 0, c.want);
  }
}
