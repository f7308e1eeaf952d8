// "mulbench": sustained rate of each field-multiplication form and of the squaring, the checks
// of the alternative forms against gf_mul, and the debug products.
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "field/mul_bodies.h"
#include "gpu/device.h"
#include "modes/device_setup.h"
#include "modes/modes.h"
#include "modes/mulbench_args.h"
#include "util/number.h"
#include "util/printable.h"

using namespace tarn;

namespace {

constexpr unsigned int kTpb = MUL_CHECK_TPB;
constexpr unsigned int kCheckInputs = MUL_CHECK_INPUTS;  // one input per thread
constexpr Grid kCheckGrid{MUL_CHECK_BLOCKS, MUL_CHECK_TPB};
constexpr unsigned int kDefaultIters = 2048;
constexpr unsigned int kSqrIters = 2048;
constexpr unsigned int kWarmupIters = 64;
constexpr double kMulWindow = 5.0;
constexpr double kSqrWindow = 4.0;
constexpr double kMulPerHash = 1472.0;
// One launch does 8 x 256 x 32 x SMs x iters multiplications; beyond 2^20 iterations a single
// launch runs for minutes even on a large GPU, and beyond 2^32 the count would be cut.

const char* const kMode = "mulbench";

struct Bench {
  Device* dev;
  unsigned int blocks;
  uint64_t* out;
  unsigned long long* counter;
};

void print_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void print_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
  std::fflush(stdout);  // each line as soon as its step ends, also into a pipe
}

using Launch = std::function<Status(unsigned int iters)>;

// A warm-up launch, then whole launches until the window is full; the rate is in operations
// (8 chains per thread per iteration) per second.
Status time_kernel(const Bench& b, const Launch& launch, unsigned int iters, double window,
                   double* rate) {
  Status s = launch(kWarmupIters);
  if (s.ok()) s = b.dev->synchronize();
  if (!s.ok()) return s;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point t0 = Clock::now();
  long long launches = 0;
  double elapsed = 0.0;
  do {
    s = launch(iters);
    if (s.ok()) s = b.dev->synchronize();
    if (!s.ok()) return s;
    ++launches;
    elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count() / 1e9;
  } while (elapsed < window);
  const double per_launch = static_cast<double>(b.blocks) * kTpb * static_cast<double>(iters) * 8.0;
  *rate = static_cast<double>(launches) * per_launch / elapsed;
  return s;
}

Status run_check(const Bench& b, const std::function<Status()>& launch,
                 unsigned long long* mismatches) {
  Status s = b.dev->fill(b.counter, 0, sizeof(unsigned long long));
  if (s.ok()) s = launch();
  if (s.ok()) s = b.dev->synchronize();
  if (s.ok()) s = b.dev->copy_out(mismatches, b.counter, sizeof(unsigned long long));
  return s;
}

const char* verdict(unsigned long long mismatches) { return mismatches == 0 ? "EXACT" : "FAIL"; }

Status bench_line(const Bench& b, MulForm form, const char* name, unsigned int iters) {
  double rate = 0.0;
  Status s = time_kernel(
      b,
      [&](unsigned int it) { return b.dev->launch(MulbenchLaunch{{b.blocks, kTpb}, form, b.out, it}); },
      iters, kMulWindow, &rate);
  if (s.ok())
    print_line("MULBENCH  %s: %.3f G gf_mul/s  -> ceiling %.1f MH/s at 1472 mul/hash\n", name,
               rate / 1e9, rate / kMulPerHash / 1e6);
  return s;
}

Status check_mul(const Bench& b, MulForm form, unsigned long long* mismatches) {
  return run_check(
      b,
      [&] { return b.dev->launch(MulcheckLaunch{kCheckGrid, form, b.counter, kCheckInputs}); },
      mismatches);
}

Status mul_lines(const Bench& b, unsigned int iters) {
  unsigned long long n = 0;
  Status s = bench_line(b, MulForm::v1, "v1", iters);
  if (s.ok()) s = check_mul(b, MulForm::v3, &n);
  if (s.ok())
    print_line("MULCHECK  v3: %llu mismatches vs reference over %u random+boundary inputs (%s)\n",
               n, kCheckInputs, verdict(n));
  if (s.ok()) s = bench_line(b, MulForm::v3, "v3", iters);
  if (s.ok()) s = check_mul(b, MulForm::v4, &n);
  if (s.ok())
    print_line("MULCHECK  v4: %llu mismatches over %u inputs (%s)\n", n, kCheckInputs, verdict(n));
  if (s.ok()) s = bench_line(b, MulForm::v4, "v4", iters);
  if (s.ok()) s = check_mul(b, MulForm::v5, &n);
  if (s.ok())
    print_line("MULCHECK  v5: %llu mismatches over %u inputs (%s)\n", n, kCheckInputs, verdict(n));
  if (s.ok()) s = bench_line(b, MulForm::v5, "v5", iters);
  return s;
}

Status sqr_lines(const Bench& b) {
  unsigned long long n = 0;
  Status s = run_check(
      b, [&] { return b.dev->launch(SqrcheckLaunch{kCheckGrid, b.counter, kCheckInputs}); }, &n);
  if (s.ok())
    print_line("SQRCHECK: %llu mismatches vs gf_mul(x,x) over %u inputs (%s)\n", n, kCheckInputs,
               verdict(n));
  // Both labels are nine characters wide.
  const char* const labels[2] = {"mul(x,x) ", "gf_sqr   "};
  for (int mode = 0; mode < 2 && s.ok(); ++mode) {
    double rate = 0.0;
    s = time_kernel(
        b,
        [&](unsigned int it) { return b.dev->launch(SqrbenchLaunch{{b.blocks, kTpb}, b.out, it, mode}); },
        kSqrIters, kSqrWindow, &rate);
    if (s.ok()) print_line("SQRBENCH %s: %.3f G/s\n", labels[mode], rate / 1e9);
  }
  return s;
}

}  // namespace

namespace tarn {

bool parse_mulbench_iters(const char* word, unsigned int* iters) {
  const char* p = word;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  const char* digits = p;
  while (*p >= '0' && *p <= '9') ++p;
  uint64_t v = 0;
  if (p == digits) {
    *iters = 0;  // no number at all counts as 0
    return true;
  }
  if (!parse_u64(std::string_view(digits, static_cast<size_t>(p - digits)), &v)) return false;
  if ((negative && v != 0) || v > kMaxMulbenchIters) return false;
  *iters = static_cast<unsigned int>(v);
  return true;
}

}  // namespace tarn

int run_mulbench(int argc, char** argv) {
  const char* word = argc > 2 ? argv[2] : nullptr;
  const bool dbg = word && std::strcmp(word, "dbg") == 0;
  const bool sqr = word && std::strcmp(word, "sqr") == 0;
  unsigned int iters = kDefaultIters;
  if (word && !dbg && !sqr && !parse_mulbench_iters(word, &iters)) {
    std::fprintf(stderr, "mulbench: the iteration count must be a number from 0 to %u (got %s)\n",
                 kMaxMulbenchIters, word);
    return 1;
  }
  uint64_t plain = 0;
  if (word && !dbg && !sqr && !parse_u64(word, &plain))
    std::fprintf(stderr, "mulbench: iters '%s' is not a whole number; using %u\n",
                 printable(word).c_str(), iters);

  std::unique_ptr<Device> dev = open_mode_device(kMode);
  if (!dev) return 1;

  if (dbg) {
    Status s = dev->launch(MuldbgLaunch{});
    if (s.ok()) s = dev->synchronize();  // the kernel's printf output appears here
    return s.ok() ? 0 : report_failure(kMode, s);
  }

  Bench b{dev.get(), blocks_per_sm(kTpb) * static_cast<unsigned int>(dev->info().sm_count), nullptr,
          nullptr};
  DeviceBuffer<uint64_t> out;
  DeviceBuffer<unsigned long long> counter;
  Status s = out.allocate(dev.get(), static_cast<size_t>(b.blocks) * kTpb);
  if (s.ok()) s = counter.allocate(dev.get(), 1);
  if (!s.ok()) return report_failure(kMode, s);
  b.out = out.get();
  b.counter = counter.get();

  s = sqr ? sqr_lines(b) : mul_lines(b, iters);
  return s.ok() ? 0 : report_failure(kMode, s);
}
