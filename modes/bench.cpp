// "bench": mine_kernel throughput on every selected device at once, one host thread each.
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gpu/device_session.h"
#include "modes/device_setup.h"
#include "modes/modes.h"
#include "pool/launch_watchdog.h"
#include "search/nonce_layout.h"
#include "util/clock.h"
#include "util/device_list.h"
#include "util/word.h"

using namespace tarn;

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// One GPU's result: its line, its rate, and whether a timed launch failed (the warm-up's
// refusals are part of the line only).
struct BenchSlot {
  double mhs = 0.0;
  std::string line;
  bool failed = false;
};

std::string launch_failed_line(int gpu, int blocks, int tpb, unsigned int per_thread,
                               const Status& s) {
  return format("BENCH gpu%d: launch failed (blocks=%d tpb=%d per_thread=%u): %s", gpu, blocks,
                tpb, per_thread, s.text.c_str());
}

void bench_device(int gpu, double secs, unsigned int per_thread, int tpb, LaunchWatchdog* watchdog,
                  BenchSlot* slot) {
  double* mhs = &slot->mhs;
  std::string* line = &slot->line;
  *mhs = 0.0;
  Status s;
  std::unique_ptr<Device> dev = backend().open(gpu, &s);
  if (!dev) {
    *line = format("BENCH gpu%d: %s", gpu, s.line().c_str());
    return;
  }
  const DeviceInfo& info = dev->info();
  if (tpb <= 0) tpb = static_cast<int>(info.mine_tpb());
  const bool dir = info.direction_layout();
  if (dir && (per_thread == 0 || static_cast<uint64_t>(tpb) * per_thread > DIR_MAX_SPAN)) {
    *line = format("BENCH gpu%d: NONCE_DIR_SPARSE requires per_thread%%NPAR=0 and "
                   "tpb*per_thread <= %u (got %d*%u)",
                   gpu, DIR_MAX_SPAN, tpb, per_thread);
    return;
  }

  // The bench header, a zero prefix and a target no hash is below: every launch runs its range.
  unsigned char header[32], prefix[32] = {}, target[64] = {};
  for (int i = 0; i < 32; ++i) header[i] = static_cast<unsigned char>(1 + 7 * i);
  std::array<unsigned char, 32> start{};
  start[8] = 0x12;
  DeviceSession session(dev.get());
  s = session.allocate();
  if (s.ok()) s = session.upload_job(JobUpload{header, prefix, target});
  if (!s.ok()) {
    *line = format("BENCH gpu%d: %s", gpu, s.line().c_str());
    return;
  }

  const int blocks = static_cast<int>(blocks_per_sm(static_cast<unsigned int>(tpb))) * info.sm_count;
  uint64_t n = static_cast<uint64_t>(blocks) * static_cast<uint64_t>(tpb) * per_thread;
  if (!dir && n > (1ull << 32)) n = 1ull << 32;  // the start counter is 0

  const Grid grid{static_cast<unsigned int>(blocks), static_cast<unsigned int>(tpb)};
  LaunchOutcome outcome;
  auto launch = [&] {
    if (watchdog) watchdog->started(gpu);
    const Status r = session.mine(grid, start, n, per_thread, system_now_ns, &outcome);
    const std::string warning = watchdog ? watchdog->completed(gpu, r.ok()) : std::string();
    if (!warning.empty()) std::fputs(warning.c_str(), stderr);
    return r;
  };
  s = launch();
  if (!s.ok()) {
    *line = launch_failed_line(gpu, blocks, tpb, per_thread, s);
    return;
  }

  uint64_t total = 0;
  int launches = 0;
  double elapsed = 0.0;
  const auto t0 = std::chrono::system_clock::now();
  if (secs > 0) {
    do {
      s = launch();
      if (!s.ok()) {
        // A failure after a good warm-up is a fault of the device, not of the settings.
        *line = launch_failed_line(gpu, blocks, tpb, per_thread, s);
        slot->failed = true;
        return;
      }
      total += n;
      ++launches;
      elapsed = std::chrono::duration<double>(std::chrono::system_clock::now() - t0).count();
    } while (secs > elapsed);
  }
  // With no timed launch (secs <= 0) the rate is reported as 0.00 rather than 0/0.
  *mhs = elapsed > 0 ? static_cast<double>(total) / elapsed / 1e6 : 0.0;
  *line = format("BENCH gpu%d (%s): %.2f MH/s  (%llu nonces in %.2fs, %d launches, blocks=%d "
                 "tpb=%d per_thread=%u)",
                 gpu, info.name.c_str(), *mhs, static_cast<unsigned long long>(total), elapsed,
                 launches, blocks, tpb, per_thread);
}

}  // namespace

int run_bench(int argc, char** argv, const std::string& devices, double launch_timeout) {
  // The words are read as they always were; each one that is not a plain number in range gets a
  // warning naming the value used.
  std::string fault;
  auto warn = [&](int i, const char* name, const std::string& used) {
    if (!fault.empty())
      std::fprintf(stderr, "%s\n", word_warning("bench", name, argv[i], fault, used).c_str());
  };
  double secs = 5.0;
  if (argc > 2) {
    secs = read_real_word(argv[2], &fault);
    warn(2, "secs", used_value(secs));
  }
  unsigned int per_thread = 64u;
  if (argc > 3) {
    per_thread = static_cast<unsigned int>(read_int_word(argv[3], 0, UINT32_MAX, &fault));
    warn(3, "per_thread", std::to_string(per_thread));
  }
  int tpb = 0;  // 0 or below: the device's own block size
  if (argc > 4) {
    tpb = static_cast<int>(read_int_word(argv[4], 0, 1024, &fault));
    warn(4, "tpb", tpb > 0 ? std::to_string(tpb) : "the automatic block size");
  }
  int ngpu = argc > 5 ? static_cast<int>(std::strtol(argv[5], nullptr, 10)) : 1;

  Status why;
  const int count = backend().device_count(&why);
  if (count < 1) {
    std::printf("BENCH: no CUDA devices found\n");
    std::fprintf(stderr, "bench: %s\n", no_device_line(why).c_str());
    return 1;
  }
  if (argc > 5 && devices.empty()) {
    const std::string warning = ngpu_warning("bench", argv[5], count);
    if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
  }
  std::vector<int> gpus;
  std::string bad_devices;
  if (!choose_devices(devices, ngpu, count, &gpus, &bad_devices)) {
    std::fprintf(stderr, "bench: %s\n", bad_devices.c_str());
    return 1;
  }
  ngpu = static_cast<int>(gpus.size());

  std::vector<BenchSlot> slots(ngpu);
  const WatchedLaunches watchdog = watch_launches(launch_timeout, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < ngpu; ++i)
    threads.emplace_back(bench_device, gpus[i], secs, per_thread, tpb, watchdog.get(), &slots[i]);
  for (auto& t : threads) t.join();

  double total = 0.0;
  bool failed = false;
  for (const BenchSlot& slot : slots) {
    std::printf("%s\n", slot.line.c_str());
    total += slot.mhs;
    failed = failed || slot.failed;
  }
  if (ngpu != 1) std::printf("BENCH TOTAL (%d GPU): %.2f MH/s\n", ngpu, total);
  return failed ? 1 : 0;
}
