// The multiplication variants against the 128-bit reference, their kernels through the host
// backend, and the "mulbench" mode end to end.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "field/goldilocks_ref.h"
#include "field/mul_bodies.h"
#include "gpu/device.h"
#include "modes/mulbench_args.h"
#include "tests/each_generation.h"
#include "tests/run_binary.h"

using namespace tarn;
using testutil::run_program;
using testutil::RunResult;

namespace {

constexpr felt P = GF_P;
constexpr unsigned int kInputs = 4194304;

// Every form and the squaring against the reference; a message names the failing operands.
void expect_all_forms(felt x, felt y) {
  const felt r = ref::mul(x, y);
  ASSERT_EQ(gf_canon(gf_mul_v3(x, y)), r) << "v3 " << std::hex << x << " * " << y;
  ASSERT_EQ(gf_canon(gf_mul_v4(x, y)), r) << "v4 " << std::hex << x << " * " << y;
  ASSERT_EQ(gf_canon(gf_mul_v5(x, y)), r) << "v5 " << std::hex << x << " * " << y;
  each_generation([&](auto gen) {
    ASSERT_EQ(gf_canon(gf_sqr<decltype(gen)::value>(x)), ref::mul(x, x))
        << "sqr " << decltype(gen)::value << " " << std::hex << x;
  });
}

std::vector<felt> edge_operands() {
  std::vector<felt> v = {0, 1, 2, 7919, 0xFFFFFFFFull, 1ull << 32, (1ull << 32) + 1, 1ull << 48,
                         1ull << 63, MUL_BENCH_FACTOR, MUL_CHECK_FACTOR2};
  for (felt k = 0; k < 6; ++k) {
    v.push_back(P + k);                      // non-canonical
    v.push_back(P - 1 - k);
    v.push_back(~0ull - k);                  // 2^64 - 1 - k
    v.push_back(0xFFFFFFFF00000000ull - k);  // just below p - 1
    v.push_back((k + 2) * 0xFFFFFFFFull);    // multiples of eps
    v.push_back(((k + 2) << 32) - 1);
  }
  return v;
}

TEST(MulVariants, EdgeOperandsAgreeWithReference) {
  const std::vector<felt> v = edge_operands();
  for (felt x : v)
    for (felt y : v) expect_all_forms(x, y);
}

TEST(MulVariants, KnownProducts) {
  // 2^48 * 2^48 = 2^96 = -1: the borrow correction of v3/v4 and g = -1 in v5.
  for (auto mul : {gf_mul_v3, gf_mul_v4, gf_mul_v5}) {
    EXPECT_EQ(gf_canon(mul(1ull << 48, 1ull << 48)), 0xFFFFFFFF00000000ull);
    EXPECT_EQ(gf_canon(mul(~0ull, ~0ull)), 0xFFFFFFFC00000004ull);
    EXPECT_EQ(gf_canon(mul(MUL_BENCH_FACTOR, MUL_CHECK_FACTOR2)), 0xab9086216df00487ull);
  }
}

// Random operands, half of them drawn near the places where the reductions branch.
TEST(MulVariants, RandomOperandsAgreeWithReference) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto operand = [&]() -> felt {
    const felt r = rng();
    switch (r % 6) {
      case 0: return P + (r >> 40) % 0xFFFFFFFFull;
      case 1: return P - 1 - (r >> 48);
      case 2: return ((r >> 8) & 0xFFFFFFFF00000000ull) | ((r >> 3) & 7);
      default: return rng();
    }
  };
  for (int i = 0; i < 2000000; ++i) expect_all_forms(operand(), operand());
}

// Every check input, both variants of indices 8-15, against the reference directly.
TEST(MulVariants, AllCheckInputsAgreeWithReference) {
  for (uint64_t i = 0; i < kInputs; ++i) {
    const MulPair a = mulcheck_input(i, false);
    expect_all_forms(a.x, a.y);
    if (i >= 8 && i < 16) {
      const MulPair b = mulcheck_input(i, true);
      expect_all_forms(b.x, b.y);
    }
  }
}

class MulKernels : public ::testing::Test {
 protected:
  void SetUp() override {
    use_host_backend(120);
    Status why;
    dev_ = backend().open(0, &why);
    ASSERT_TRUE(dev_) << why.line();
    ASSERT_TRUE(counter_.allocate(dev_.get(), 1).ok());
  }

  unsigned long long check(MulForm form, unsigned int n) {
    EXPECT_TRUE(dev_->fill(counter_.get(), 0, 8).ok());
    const Status s = form == MulForm::v1
                         ? dev_->launch(SqrcheckLaunch{{16384, 256}, counter_.get(), n})
                         : dev_->launch(MulcheckLaunch{{16384, 256}, form, counter_.get(), n});
    EXPECT_TRUE(s.ok()) << s.line();
    EXPECT_TRUE(dev_->synchronize().ok());
    unsigned long long count = ~0ull;
    EXPECT_TRUE(dev_->copy_out(&count, counter_.get(), 8).ok());
    return count;
  }

  std::unique_ptr<Device> dev_;
  DeviceBuffer<unsigned long long> counter_;
};

TEST_F(MulKernels, ChecksFindNoMismatchOverAllInputs) {
  EXPECT_EQ(check(MulForm::v3, kInputs), 0u);
  EXPECT_EQ(check(MulForm::v4, kInputs), 0u);
  EXPECT_EQ(check(MulForm::v5, kInputs), 0u);
  EXPECT_EQ(check(MulForm::v1, kInputs), 0u);  // the squaring check
}

TEST_F(MulKernels, BenchWithoutIterationsWritesTheStartingValues) {
  DeviceBuffer<uint64_t> out;
  ASSERT_TRUE(out.allocate(dev_.get(), 2 * 256).ok());
  const uint64_t a[8] = {1, 3, 5, 7, 11, 13, 17, 19}, b[8] = {1, 4, 7, 10, 15, 18, 23, 26};
  for (MulForm f : {MulForm::v1, MulForm::v3, MulForm::v4, MulForm::v5}) {
    ASSERT_TRUE(dev_->launch(MulbenchLaunch{{2, 256}, f, out.get(), 0}).ok());
    for (uint64_t t = 0; t < 512; ++t) {
      uint64_t x = 0;
      for (int k = 0; k < 8; ++k) x ^= a[k] * t + b[k];
      ASSERT_EQ(out.get()[t], x) << "thread " << t;
    }
  }
  for (int mode : {0, 1}) {
    ASSERT_TRUE(dev_->launch(SqrbenchLaunch{{2, 256}, out.get(), 0, mode}).ok());
    for (uint64_t t = 0; t < 512; ++t) {
      uint64_t x = (t + 1) | 1;
      for (int k = 1; k < 8; ++k) x ^= a[k] * t + b[k];
      ASSERT_EQ(out.get()[t], x) << "thread " << t;
    }
  }
}

// A few steps from small starting values stay canonical, so the XOR can be rebuilt from the
// reference: each step multiplies by the bench factor (or squares).
TEST_F(MulKernels, BenchChainsFollowTheReference) {
  DeviceBuffer<uint64_t> out;
  ASSERT_TRUE(out.allocate(dev_.get(), 4).ok());
  const uint64_t a[8] = {1, 3, 5, 7, 11, 13, 17, 19}, b[8] = {1, 4, 7, 10, 15, 18, 23, 26};
  for (MulForm f : {MulForm::v1, MulForm::v3, MulForm::v4, MulForm::v5}) {
    ASSERT_TRUE(dev_->launch(MulbenchLaunch{{1, 4}, f, out.get(), 3}).ok());
    for (uint64_t t = 0; t < 4; ++t) {
      uint64_t x = 0;
      for (int k = 0; k < 8; ++k) {
        uint64_t z = a[k] * t + b[k];
        for (int i = 0; i < 3; ++i) z = ref::mul(z, MUL_BENCH_FACTOR);
        x ^= z;
      }
      EXPECT_EQ(out.get()[t], x) << "form " << static_cast<int>(f) << " thread " << t;
    }
  }
  for (int mode : {0, 1}) {
    ASSERT_TRUE(dev_->launch(SqrbenchLaunch{{1, 4}, out.get(), 3, mode}).ok());
    for (uint64_t t = 0; t < 4; ++t) {
      uint64_t x = 0;
      for (int k = 0; k < 8; ++k) {
        uint64_t z = k == 0 ? (t + 1) | 1 : a[k] * t + b[k];
        for (int i = 0; i < 3; ++i) z = ref::mul(z, z);
        x ^= z;
      }
      EXPECT_EQ(out.get()[t], x) << "mode " << mode << " thread " << t;
    }
  }
}

TEST_F(MulKernels, LaunchesOutsideTheKernelLimitsFail) {
  DeviceBuffer<uint64_t> out;
  ASSERT_TRUE(out.allocate(dev_.get(), 512).ok());
  const Status wide = dev_->launch(MulbenchLaunch{{1, 512}, MulForm::v5, out.get(), 1});
  EXPECT_EQ(wide.line(), "mulbench_v5_kernel launch: too many resources requested for launch");
  const Status empty = dev_->launch(SqrcheckLaunch{{0, 256}, counter_.get(), 1});
  EXPECT_EQ(empty.line(), "sqrcheck_kernel launch: invalid configuration argument");
}

// ---- the mode end to end, through the host emulation ----

RunResult mulbench(const std::string& bin, const std::vector<std::string>& words) {
  std::vector<std::string> args = {"--cpu", "mulbench"};
  args.insert(args.end(), words.begin(), words.end());
  return run_program(bin, args, "", 240);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(pos));  // an unterminated last line shows up in a failure
      break;
    }
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

TEST(MulbenchMode, DebugPrintsTheFiveProducts) {
  const RunResult r = mulbench(TARN_BINARY, {"dbg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "x=0000000000000001 y=0000000000000001 | ref=0000000000000001 v3=0000000000000001 "
            "v4=0000000000000001 ok\n"
            "x=0000000000000002 y=0000000000000003 | ref=0000000000000006 v3=0000000000000006 "
            "v4=0000000000000006 ok\n"
            "x=0000000100000000 y=0000000100000000 | ref=00000000ffffffff v3=00000000ffffffff "
            "v4=00000000ffffffff ok\n"
            "x=ffffffff00000000 y=ffffffff00000000 | ref=0000000000000001 v3=0000000000000001 "
            "v4=0000000000000001 ok\n"
            "x=9e3779b97f4a7c15 y=c2b2ae3d27d4eb4f | ref=ab9086216df00487 v3=ab9086216df00487 "
            "v4=ab9086216df00487 ok\n");
}

TEST(MulbenchMode, RefusesNegativeAndOversizedCounts) {
  for (const char* word : {"-1", "-4294967295", "1048577", "4294967296", "99999999999999999999"}) {
    const RunResult r = mulbench(TARN_BINARY, {word});
    EXPECT_EQ(r.status, 1) << word;
    EXPECT_EQ(r.out, "") << word;
    EXPECT_NE(r.err.find("mulbench: the iteration count must be a number from 0 to 1048576 (got " +
                         std::string(word) + ")\n"),
              std::string::npos)
        << r.err;
  }
}

// The bounds themselves: 2^20 is accepted, one more is not; no digits at all read as 0.
TEST(MulbenchMode, IterationWordBounds) {
  struct Case {
    const char* word;
    bool ok;
    unsigned int iters;
  };
  const Case cases[] = {{"1048576", true, 1048576}, {"1048577", false, 0}, {"0", true, 0},
                        {"abc", true, 0},          {"-0", true, 0},          {"+7", true, 7},
                        {" 12x", true, 12},        {"-1", false, 0},         {"18446744073709551617", false, 0}};
  for (const Case& c : cases) {
    unsigned int iters = 99;
    EXPECT_EQ(tarn::parse_mulbench_iters(c.word, &iters), c.ok) << c.word;
    if (c.ok) {
      EXPECT_EQ(iters, c.iters) << c.word;
    }
  }
}

const char kCheckV3Exact[] =
    "MULCHECK  v3: 0 mismatches vs reference over 4194304 random+boundary inputs (EXACT)";

const std::regex kBenchLine(
    R"(MULBENCH  (v[1345]): (\d+\.\d{3}) G gf_mul/s  -> ceiling (\d+\.\d) MH/s at 1472 mul/hash)");

TEST(MulbenchMode, SevenLinesWithExactChecks) {
  const RunResult r = mulbench(TARN_BINARY, {"2"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> l = lines_of(r.out);
  ASSERT_EQ(l.size(), 7u) << r.out;
  const char* forms[4] = {"v1", "v3", "v4", "v5"};
  for (int k = 0; k < 4; ++k) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l[2 * k], m, kBenchLine)) << l[2 * k];
    EXPECT_EQ(m[1], forms[k]);
    const double g = std::stod(m[2]), ceiling = std::stod(m[3]);
    EXPECT_GT(g, 0.0) << l[2 * k];
    EXPECT_NEAR(ceiling, g * 1e3 / 1472, 0.1) << l[2 * k];
  }
  EXPECT_EQ(l[1], kCheckV3Exact);
  EXPECT_EQ(l[3], "MULCHECK  v4: 0 mismatches over 4194304 inputs (EXACT)");
  EXPECT_EQ(l[5], "MULCHECK  v5: 0 mismatches over 4194304 inputs (EXACT)");
}

TEST(MulbenchMode, SquaringCheckThenBothRates) {
  const RunResult r = mulbench(TARN_BINARY, {"sqr", "5"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> l = lines_of(r.out);
  ASSERT_EQ(l.size(), 3u) << r.out;
  EXPECT_EQ(l[0], "SQRCHECK: 0 mismatches vs gf_mul(x,x) over 4194304 inputs (EXACT)");
  EXPECT_TRUE(std::regex_match(l[1], std::regex(R"(SQRBENCH mul\(x,x\) : \d+\.\d{3} G/s)")))
      << l[1];
  EXPECT_TRUE(std::regex_match(l[2], std::regex(R"(SQRBENCH gf_sqr   : \d+\.\d{3} G/s)"))) << l[2];
}

// A build whose v5 is wrong on operands above p (only the boundary inputs 0-7 among the check
// inputs, unless a scrambled one lands there too) must say so, and the windows of a zero count
// still last their full time.
TEST(MulbenchMode, BrokenVariantFailsItsCheck) {
  unsigned long long above_p = 0;
  for (uint64_t i = 0; i < kInputs; ++i) above_p += mulcheck_input(i, true).x >= P;
  ASSERT_GE(above_p, 8u);

  const auto t0 = std::chrono::steady_clock::now();
  const RunResult r = mulbench(TARN_BROKEN_BINARY, {"0"});
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> l = lines_of(r.out);
  ASSERT_EQ(l.size(), 7u) << r.out;
  for (int k = 0; k < 4; ++k) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l[2 * k], m, kBenchLine)) << l[2 * k];
    EXPECT_EQ(m[2], "0.000");
    EXPECT_EQ(m[3], "0.0");
  }
  EXPECT_GE(secs, 20.0);
  EXPECT_EQ(l[1], kCheckV3Exact);
  EXPECT_EQ(l[3], "MULCHECK  v4: 0 mismatches over 4194304 inputs (EXACT)");
  EXPECT_EQ(l[5], "MULCHECK  v5: " + std::to_string(above_p) +
                      " mismatches over 4194304 inputs (FAIL)");
}

}  // namespace
