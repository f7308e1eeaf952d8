// Permutation, sponge hash and midstate: known answers, and the kernels' evaluation order held
// against the textbook reference.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "field/goldilocks_ref.h"
#include "hash/hash_ref.h"
#include "hash/sponge.h"
#include "search/nonce_layout.h"
#include "tests/hex_util.h"

using namespace tarn;
using testutil::from_hex;
using testutil::to_hex;

namespace {

const felt kPermZero[12] = {0xc9bc9432e1686884, 0x03ecbab0dcdd2189, 0x5e7ac885b3dc1215,
                            0x6ac07513801d191f, 0xca5c593fb184dcfc, 0x414dec5f3e455287,
                            0x1a17df170127ae41, 0xe7e592bd0af9b0a5, 0xc71a9b27edc66a4c,
                            0x2728671759ac43c2, 0xb9969c20f7f672f9, 0xc5140b586823b92f};
const felt kPermCount[12] = {0x3c255c29c0029764, 0x3c48ad460707bcbb, 0xed87631c58a59fc8,
                             0x3b5922b5cf78a93e, 0x0996bcad4c1b17dc, 0x4c69032fa5763dde,
                             0x2a22052ca28059ae, 0xaac048bf637d0e44, 0xb6ac092db0a4726f,
                             0x27208f2c604c179f, 0x2275c76e2b994314, 0x9dd6a3e90b5b02d0};

// The external layer without constants (the doubled-diagonal block matrix).
void external_layer_plain(felt* x) { external_layer_rc<RC_NONE>(x, 0); }

struct HashVector {
  unsigned char header[32], nonce[64];
  const char* hash;
};

std::vector<HashVector> hash_vectors() {
  std::vector<HashVector> v(3);
  for (int i = 0; i < 32; ++i) v[0].header[i] = 0, v[1].header[i] = i, v[2].header[i] = 0xff;
  for (int i = 0; i < 64; ++i) v[0].nonce[i] = 0, v[1].nonce[i] = i, v[2].nonce[i] = 0xff;
  v[0].hash = "8e64e3d8e0f38f882e8501f9e525df0a95d2e91e9cfc32c9248d756fb07780e2f8fdca2c5a54441e6fcd8d774a5f6aae72f36d1c76bc19f691a0d4f6c607e8cc";
  v[1].hash = "d62469ea919158c8f2e1b61fc11cff199303ae775db05348700fab378f45e7c53245b0c3bf29671a3c5dd61dc3d4a7b38dfed0e4f8be9ac16700067cc2eb1f9b";
  v[2].hash = "3bd1309fa508ed7e1c05f84c5f795142770ce0e01323646a559e5626aa5efcfa62f5b5d469df94aae3949ab30176c208d3c156d6af0de95287ca68b188c56985";
  return v;
}

}  // namespace

TEST(Permutation, KnownAnswersBothImplementations) {
  felt a[12] = {}, r[12] = {};
  permute(a);
  ref::permute(r);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(gf_canon(a[i]), kPermZero[i]) << "lane " << i;
    EXPECT_EQ(r[i], kPermZero[i]) << "lane " << i;
  }
  for (int i = 0; i < 12; ++i) a[i] = r[i] = i;
  permute(a);
  ref::permute(r);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(gf_canon(a[i]), kPermCount[i]) << "lane " << i;
    EXPECT_EQ(r[i], kPermCount[i]) << "lane " << i;
  }
}

TEST(Permutation, LinearLayers) {
  felt x[12] = {1};
  external_layer_plain(x);
  const felt unit[12] = {4, 2, 2, 6, 2, 1, 1, 3, 2, 1, 1, 3};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(gf_canon(x[i]), unit[i]);
  for (int i = 0; i < 12; ++i) x[i] = i;
  external_layer_plain(x);
  const felt count[12] = {116, 128, 140, 120, 144, 156, 168, 148, 172, 184, 196, 176};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(gf_canon(x[i]), count[i]);
  uint64_t r[12] = {1};
  ref::internal_layer(r);
  EXPECT_EQ(r[0], ref::add(host_tables::MAT_DIAG[0], 1));
  for (int i = 1; i < 12; ++i) EXPECT_EQ(r[i], 1u);
  // The direction vector maps to +35 on lane 3 and -35 on lane 7 only.
  felt d[12] = {};
  for (int i = 0; i < 8; ++i) d[i] = DIR_VECTOR[i] < 0 ? GF_P - static_cast<felt>(-DIR_VECTOR[i]) : DIR_VECTOR[i];
  external_layer_plain(d);
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(gf_canon(d[i]), i == 3 ? 35 : i == 7 ? GF_P - 35 : 0) << "lane " << i;
}

TEST(Permutation, FoldedTablesFollowTheBaseTables) {
  namespace T = host_tables;
  for (int i = 0; i < 36; ++i) EXPECT_EQ(T::INIT_NEXT_RC.v[i], T::INIT_EXT_RC[12 + i]);
  for (int i = 0; i < 36; ++i) EXPECT_EQ(T::TERM_NEXT_RC.v[i], T::TERM_EXT_RC[12 + i]);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(T::INTERNAL_NEXT_RC.v[i], T::INTERNAL_RC[i + 1]);
  EXPECT_EQ(T::INIT_NEXT_RC.v[36], T::INTERNAL_RC[0]);
  for (int i = 37; i < 48; ++i) EXPECT_EQ(T::INIT_NEXT_RC.v[i], 0u);
  for (int i = 36; i < 48; ++i) EXPECT_EQ(T::TERM_NEXT_RC.v[i], 0u);
  EXPECT_EQ(T::INTERNAL_NEXT_RC.v[21], 0u);
  // A full round's in-S-box constants, each plus the eps its S-box adds, must come out of the
  // reference linear layer as the next round's constants (with the internal rounds' entry
  // offsets in the last initial row).
  for (int row = 0; row < 48; row += 12) {
    uint64_t in[2][12], want[2][12];
    for (int i = 0; i < 12; ++i) {
      in[0][i] = ref::add(T::INIT_ROUND_RC.v[row + i], 0xFFFFFFFFull);
      in[1][i] = ref::add(T::TERM_ROUND_RC.v[row + i], 0xFFFFFFFFull);
      want[0][i] = row < 36 || i == 0 ? T::INIT_NEXT_RC.v[row + i] : lane_offsets().entry[i];
      want[1][i] = T::TERM_NEXT_RC.v[row + i];
    }
    for (int t = 0; t < 2; ++t) {
      ref::external_layer(in[t]);
      for (int i = 0; i < 12; ++i)
        EXPECT_EQ(in[t][i], want[t][i]) << "table " << t << " row " << row << " lane " << i;
    }
  }
  // The internal rounds' lane splits: each product stays below 2^96 with thirteen lanes' worth
  // of addend. The carried offsets, run forward round by round, must land on the first terminal
  // round's constants, with lane 0's table taking back each round's total.
  for (int i = 0; i < 12; ++i) {
    const LaneSplit s = lane_split(i);
    const unsigned __int128 most = static_cast<unsigned __int128>(0xFFFFFFFFull) * s.coef_lo +
                                   static_cast<unsigned __int128>(0xFFFFFFFFull) * s.coef_hi +
                                   static_cast<unsigned __int128>(13) * ~0ull;
    EXPECT_LT(most, static_cast<unsigned __int128>(1) << 96) << "lane " << i;
    EXPECT_EQ(T::LANE_COEF_LO.v[i], s.coef_lo);
    EXPECT_EQ(T::LANE_COEF_HI.v[i], s.coef_hi);
  }
  const LaneOffsets offsets = lane_offsets();
  uint64_t o[12] = {};
  for (int i = 1; i < 12; ++i) o[i] = offsets.entry[i];
  for (int r = 0; r < 22; ++r) {
    uint64_t total = 0;
    for (int i = 1; i < 12; ++i) total = ref::add(total, o[i]);
    const uint64_t next = r < 21 ? T::INTERNAL_RC[r + 1] : T::TERM_EXT_RC[0];
    EXPECT_EQ(T::INTERNAL_NEXT_RC_LANE0.v[r],
              ref::add(next, ref::sub(lane_split(0).shortfall, total))) << "round " << r;
    for (int i = 1; i < 12; ++i)
      o[i] = ref::add(ref::sub(ref::mul(T::MAT_DIAG[i], o[i]), lane_split(i).shortfall), total);
  }
  for (int i = 1; i < 12; ++i) EXPECT_EQ(o[i], T::TERM_EXT_RC[i]) << "lane " << i;
}

TEST(Permutation, AnyRepresentativeAndRandomStatesAgree) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 200; ++round) {
    felt a[12], r[12];
    // Odd rounds use small lanes given as x + p: the permutation must accept any representative.
    const bool shifted = round & 1;
    for (int i = 0; i < 12; ++i) r[i] = shifted ? rng() % 0xFFFFFFFFull : rng() % GF_P;
    for (int i = 0; i < 12; ++i) a[i] = shifted ? r[i] + GF_P : r[i];
    permute(a);
    ref::permute(r);
    for (int i = 0; i < 12; ++i) ASSERT_EQ(gf_canon(a[i]), r[i]) << "lane " << i;
  }
}

TEST(Hash, KnownVectorsBothImplementations) {
  for (const HashVector& v : hash_vectors()) {
    unsigned char a[64], r[64];
    hash_full(v.header, v.nonce, a);
    ref::hash_full(v.header, v.nonce, r);
    EXPECT_EQ(to_hex(a, 64), v.hash);
    EXPECT_EQ(to_hex(r, 64), v.hash);
  }
}

TEST(Hash, EveryByteAndTheBlockOrderMatter) {
  unsigned char header[32], nonce[64], base[64], h[64];
  for (int i = 0; i < 32; ++i) header[i] = i * 3;
  for (int i = 0; i < 64; ++i) nonce[i] = 200 - i;
  hash_full(header, nonce, base);
  for (int i = 0; i < 96; ++i) {
    unsigned char* p = i < 32 ? &header[i] : &nonce[i - 32];
    *p ^= 1;
    hash_full(header, nonce, h);
    *p ^= 1;
    EXPECT_NE(0, memcmp(h, base, 64)) << "byte " << i;
  }
  unsigned char swapped_h[32], swapped_n[64];
  memcpy(swapped_h, nonce, 32);
  memcpy(swapped_n, header, 32);
  memcpy(swapped_n + 32, nonce + 32, 32);
  hash_full(swapped_h, swapped_n, h);
  EXPECT_NE(0, memcmp(h, base, 64));
}

TEST(Midstate, KnownValuesAndTail) {
  unsigned char header[32] = {}, nonce[64] = {};
  const felt zero_mid[12] = {0x8646d336b5a0fccd, 0x818ca59548916345, 0x49475e8bc9c928bc,
                             0xc469163bcdc4900b, 0xe4421fafacd59087, 0x633f49b998698d66,
                             0x4a9067e3883e76da, 0x193039e85ea14472, 0x203d2d3ee6a8eba8,
                             0xef5b9ce39bcff072, 0xc16a3c8dd5680003, 0xd77c52ab5bf7cf1f};
  const felt count_mid[12] = {0xa88bfe017fb95064, 0x501a88fbcce1063d, 0x60d53936b360cd85,
                              0xf48b58cf82a74e7e, 0x2dd2e5ebef8f7919, 0x52829e5383c7f527,
                              0x97af3777d296e4de, 0x007934bcbf29cc8a, 0xbbc6c253e22388f9,
                              0x5d41a07e9a421d11, 0xaeee3de4135b5e1e, 0x55b1a4122f0788fa};
  felt m[12];
  uint64_t r[12];
  midstate_canonical(header, nonce, m);
  ref::midstate(header, nonce, r);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(m[i], zero_mid[i]);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(r[i], zero_mid[i]);

  for (int i = 0; i < 32; ++i) header[i] = i;
  for (int i = 0; i < 64; ++i) nonce[i] = i;
  midstate_canonical(header, nonce, m);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(m[i], count_mid[i]);
  // Bytes 32-63 of the nonce do not enter the midstate.
  nonce[40] ^= 0x55;
  felt m2[12];
  midstate_canonical(header, nonce, m2);
  EXPECT_EQ(0, memcmp(m, m2, sizeof m));
  nonce[40] ^= 0x55;

  uint32_t words[8];
  for (int i = 0; i < 8; ++i) words[i] = static_cast<uint32_t>(word_from_le32(nonce + 32 + 4 * i));
  unsigned char out[64];
  ref::tail(count_mid, words, out, true);
  EXPECT_EQ(to_hex(out, 64), hash_vectors()[1].hash);
}
