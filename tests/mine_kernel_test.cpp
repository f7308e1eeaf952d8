// mine_kernel through the host backend, in both nonce layouts: every reported hit is rebuilt,
// re-hashed with the reference and checked, and small ranges are brute-forced.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "gpu/backends.h"
#include "hash/hash_ref.h"
#include "search/found_result.h"
#include "search/nonce_layout.h"
#include "search/target.h"

using namespace tarn;

namespace {

struct Launch {
  unsigned int blocks = 2, tpb = 4, per_thread = 4;
  unsigned long long count = 32;
  uint64_t g0 = 0;     // direction layout: start group
  uint32_t ctr = 0;    // counter layout: start counter
  unsigned char start_rest[24] = {};  // counter layout: words 0-5 of the low half
};

class MineKernel : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    // 0 is the CUDA backend: the real kernels when a GPU is present, skipped otherwise.
    Backend* b = GetParam() == 0 ? cuda_backend() : host_backend(GetParam());
    Status why;
    if (b->device_count(&why) < 1) GTEST_SKIP() << "no CUDA device: " << why.line();
    dev_ = b->open(0, &why);
    ASSERT_TRUE(dev_) << why.line();
    dir_ = dev_->info().cc() >= 1200;
    for (int i = 0; i < 32; ++i) header_[i] = static_cast<unsigned char>(0x31 * i + 7);
    for (int i = 0; i < 32; ++i) prefix_[i] = static_cast<unsigned char>(0xA5 ^ i);
    ASSERT_TRUE(mid_.allocate(dev_.get(), 12).ok());
    ASSERT_TRUE(d_header_.allocate(dev_.get(), 32).ok());
    ASSERT_TRUE(d_prefix_.allocate(dev_.get(), 32).ok());
    ASSERT_TRUE(d_start_.allocate(dev_.get(), 32).ok());
    ASSERT_TRUE(d_target_.allocate(dev_.get(), 64).ok());
    ASSERT_TRUE(d_found_.allocate(dev_.get(), 1).ok());
    dev_->copy_in(d_header_.get(), header_, 32);
    dev_->copy_in(d_prefix_.get(), prefix_, 32);
    ASSERT_TRUE(dev_->launch(MidstateLaunch{d_header_.get(), d_prefix_.get(), mid_.get()}).ok());
    ASSERT_TRUE(dev_->synchronize().ok());
  }

  // The low half of launch-relative index i, built the host's way for either layout.
  void low_half(const Launch& l, uint64_t base, uint64_t i, unsigned char* out) const {
    if (dir_) {
      tarn_nonce_dir_result_low(base, i, l.tpb, l.per_thread, out);
    } else {
      memcpy(out, l.start_rest, 24);
      memset(out + 24, 0, 4);
      const uint32_t v = l.ctr + static_cast<uint32_t>(i);
      for (int b = 0; b < 4; ++b) out[28 + b] = static_cast<unsigned char>(v >> (24 - 8 * b));
    }
  }

  void hash_of(const Launch& l, uint64_t i, unsigned char* h) const {
    unsigned char nonce[64];
    memcpy(nonce, prefix_, 32);
    low_half(l, l.g0, i, nonce + 32);
    ref::hash_full(header_, nonce, h);
  }

  FoundResult run(const Launch& l, const unsigned char* target, Status* st = nullptr) {
    unsigned char start[32] = {};
    if (dir_) {
      for (int b = 0; b < 8; ++b) start[24 + b] = static_cast<unsigned char>(l.g0 >> (56 - 8 * b));
    } else {
      memcpy(start, l.start_rest, 24);
      for (int b = 0; b < 4; ++b) start[28 + b] = static_cast<unsigned char>(l.ctr >> (24 - 8 * b));
    }
    dev_->copy_in(d_start_.get(), start, 32);
    dev_->copy_in(d_target_.get(), target, 64);
    dev_->fill(d_found_.get(), 0, sizeof(FoundResult));
    Status s = dev_->launch(MineLaunch{{l.blocks, l.tpb}, mid_.get(), d_start_.get(),
                                       d_target_.get(), l.count, l.per_thread, d_found_.get()});
    if (st) *st = s;
    if (s.ok()) {
      const Status done = dev_->synchronize();
      EXPECT_TRUE(done.ok()) << done.line();
    }
    FoundResult r;
    dev_->copy_out(&r, d_found_.get(), sizeof r);
    return r;
  }

  // Every recorded slot: a launch-relative index below count whose rebuilt nonce is a hit.
  void check_slots(const Launch& l, const FoundResult& r, const unsigned char* target) {
    const unsigned int n = r.count < FOUND_SLOTS ? r.count : FOUND_SLOTS;
    for (unsigned int k = 0; k < n; ++k) {
      ASSERT_LT(r.index[k], l.count);
      if (dir_) EXPECT_EQ(r.base[k], l.g0);
      unsigned char h[64];
      hash_of(l, r.index[k], h);
      EXPECT_TRUE(ref::below_target(h, target)) << "slot " << k << " index " << r.index[k];
    }
  }

  std::unique_ptr<Device> dev_;
  bool dir_ = false;
  unsigned char header_[32], prefix_[32];
  DeviceBuffer<uint64_t> mid_;
  DeviceBuffer<unsigned char> d_header_, d_prefix_, d_start_, d_target_;
  DeviceBuffer<FoundResult> d_found_;
};

}  // namespace

TEST_P(MineKernel, TargetsOfAllZeroAndAllOnes) {
  unsigned char zero[64] = {}, ones[64];
  memset(ones, 0xff, 64);
  Launch l;
  l.g0 = 0x0123456789ABull;
  l.ctr = 0xFFFFFF00u;  // close to the top: the kernel must not wrap within the launch
  EXPECT_EQ(run(l, zero).count, 0u);
  const FoundResult r = run(l, ones);
  EXPECT_EQ(r.count, l.count) << "every hash but all-FF is below an all-FF target";
  check_slots(l, r, ones);
}

TEST_P(MineKernel, CountLimitsAndSlots) {
  unsigned char ones[64];
  memset(ones, 0xff, 64);
  Launch l;
  l.count = 0;
  EXPECT_EQ(run(l, ones).count, 0u);
  l.count = 12;  // fewer than blocks * tpb * per_thread
  FoundResult r = run(l, ones);
  EXPECT_EQ(r.count, 12u);
  std::set<unsigned long long> seen(r.index, r.index + FOUND_SLOTS);
  EXPECT_EQ(seen.size(), 8u) << "eight distinct slots";
  check_slots(l, r, ones);
  l.per_thread = 0;
  l.count = 100;
  EXPECT_EQ(run(l, ones).count, 0u);
}

TEST_P(MineKernel, SpanLimitOfTheDirectionLayout) {
  unsigned char ones[64];
  memset(ones, 0xff, 64);
  Launch l;
  l.blocks = 1;
  l.tpb = 2;
  l.per_thread = 16384;  // span exactly 32768 works
  l.count = 40;
  EXPECT_EQ(run(l, ones).count, 40u);
  l.per_thread = 16385;  // one more: every thread returns in the direction layout
  EXPECT_EQ(run(l, ones).count, dir_ ? 0u : 40u);
}

TEST_P(MineKernel, BruteForceFindsExactlyTheReportedHits) {
  Launch l;
  l.blocks = 3;
  l.tpb = 8;
  l.per_thread = 16;
  l.count = 3 * 8 * 16 - 5;
  l.g0 = 0xFFFFFFFFFFFFFFF0ull;  // groups near the top: H, M and L all at their limits
  l.ctr = 77;
  unsigned char target[64];
  target_from_difficulty(60, target);  // about 6 hits expected
  const FoundResult r = run(l, target);
  std::set<unsigned long long> brute;
  for (uint64_t i = 0; i < l.count; ++i) {
    unsigned char h[64];
    hash_of(l, i, h);
    if (ref::below_target(h, target)) brute.insert(i);
  }
  EXPECT_EQ(r.count, brute.size());
  ASSERT_GT(brute.size(), 0u) << "the target was meant to give some hits";
  const unsigned int n = r.count < FOUND_SLOTS ? r.count : FOUND_SLOTS;
  for (unsigned int k = 0; k < n; ++k) EXPECT_TRUE(brute.count(r.index[k])) << r.index[k];
  if (brute.size() <= FOUND_SLOTS) {
    std::set<unsigned long long> got(r.index, r.index + n);
    EXPECT_EQ(got, brute);
  }
}

TEST_P(MineKernel, TooManyThreadsPerBlockFailsTheLaunch) {
  unsigned char ones[64];
  memset(ones, 0xff, 64);
  Launch l;
  l.tpb = dir_ ? 1024 : 512;
  Status st;
  const FoundResult r = run(l, ones, &st);
  EXPECT_FALSE(st.ok());
  EXPECT_EQ(r.count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MineKernel, ::testing::Values(120, 86, 0),
                         [](const ::testing::TestParamInfo<int>& i) {
                           if (i.param == 0) return std::string("CudaDevice");
                           return i.param >= 120 ? std::string("Direction") : std::string("Counter");
                         });
