// "mine": a timed search on device 0 for one header and difficulty.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "hash/hash_ref.h"
#include "modes/device_setup.h"
#include "util/bytes.h"
#include "util/number.h"
#include "modes/launch_config.h"
#include "modes/modes.h"
#include "modes/solo_mine.h"
#include "search/found_result.h"
#include "search/launch_layout.h"
#include "search/target.h"

using namespace tarn;

namespace {

struct MineBuffers {
  DeviceBuffer<unsigned char> header, prefix, start, target;
  DeviceBuffer<uint64_t> midstate;
  DeviceBuffer<FoundResult> found;
  Status allocate(Device* dev) {
    Status s = header.allocate(dev, 32);
    if (s.ok()) s = prefix.allocate(dev, 32);
    if (s.ok()) s = start.allocate(dev, 32);
    if (s.ok()) s = target.allocate(dev, 64);
    if (s.ok()) s = midstate.allocate(dev, 12);
    if (s.ok()) s = found.allocate(dev, 1);
    return s;
  }
};

double seconds_since(std::chrono::system_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::system_clock::now() - t0).count();
}

}  // namespace

namespace tarn {

bool read_mine_request(const char* hdr, const char* difficulty, double secs, MineRequest* req,
                       FILE* err) {
  if (!parse_hex_exact(hdr, 32, req->header)) {
    std::fprintf(err, "mine: header must be exactly 64 hexadecimal digits\n");
    return false;
  }
  if (!parse_u64(difficulty, &req->difficulty) || req->difficulty == 0) {
    std::fprintf(err, "mine: difficulty must be a whole number from 1 to 18446744073709551615\n");
    return false;
  }
  req->header_text = hdr;
  req->secs = secs;
  return true;
}

int run_mine_on(Device* dev, const MineConfig& cfg, const MineRequest& req, FILE* out, FILE* err) {
  unsigned char target[64], prefix[32];
  target_from_difficulty(req.difficulty, target);
  solo_nonce_prefix(prefix);
  const unsigned char zero_start[32] = {};

  MineBuffers b;
  Status s = b.allocate(dev);
  if (s.ok()) s = dev->copy_in(b.header.get(), req.header, 32);
  if (s.ok()) s = dev->copy_in(b.prefix.get(), prefix, 32);
  if (s.ok()) s = dev->copy_in(b.start.get(), zero_start, 32);
  if (s.ok()) s = dev->copy_in(b.target.get(), target, 64);
  if (s.ok()) s = dev->launch(MidstateLaunch{b.header.get(), b.prefix.get(), b.midstate.get()});
  if (s.ok()) s = dev->synchronize();
  auto failed = [&](const Status& why) {
    std::fprintf(err, "mine: %s\n", why.message.c_str());
    return 1;
  };
  if (!s.ok()) return failed(s);

  const std::unique_ptr<LaunchLayout> layout = make_launch_layout(cfg.dir);
  const auto t0 = std::chrono::system_clock::now();
  uint64_t done = 0;
  FoundResult found{};
  for (;;) {
    const LaunchPlan plan = layout->plan(cfg, cfg.per_thread, done);
    const uint64_t n = plan.count;
    s = dev->fill(b.found.get(), 0, sizeof(FoundResult));
    if (s.ok()) s = dev->copy_in(b.start.get(), plan.start.data(), 32);
    if (s.ok())
      s = dev->launch(MineLaunch{{cfg.blocks, cfg.tpb}, b.midstate.get(), b.start.get(),
                                 b.target.get(), n, cfg.per_thread, b.found.get()});
    if (s.ok()) s = dev->synchronize();
    if (s.ok()) s = dev->copy_out(&found, b.found.get(), sizeof found);
    if (!s.ok()) return failed(s);
    const uint64_t total = done + n;
    const double elapsed = seconds_since(t0);
    if (found.count != 0) {
      const uint64_t low_idx = done + found.index[0];
      unsigned char nonce[64];
      std::memcpy(nonce, prefix, 32);
      layout->nonce_low(found, 0, done, cfg, cfg.per_thread, nonce + 32);
      // The device's word is checked before it is printed.
      unsigned char hash[64];
      ref::hash_full(req.header, nonce, hash);
      if (found.index[0] >= n || !ref::below_target(hash, target)) {
        std::fprintf(err,
                     "mine: device fault: reported nonce %s hashes to %s..., not below the target\n",
                     to_hex(nonce, 64).c_str(), to_hex(hash, 16).c_str());
        return 1;
      }
      std::fprintf(out, "FOUND after %.2fs, %.0f MH searched, low_idx=%llu\n", elapsed,
                   static_cast<double>(total) / 1e6, static_cast<unsigned long long>(low_idx));
      std::fprintf(out, "  header  %s\n", req.header_text);
      std::fprintf(out, "  nonce   %s\n", to_hex(nonce, 64).c_str());
      std::fprintf(out, "  target  %s...\n", to_hex(target, 12).c_str());
      return 0;
    }
    if (elapsed > req.secs) {
      std::fprintf(out, "no solution in %.1fs (%.0f MH searched at diff %llu)\n", elapsed,
                   static_cast<double>(total) / 1e6,
                   static_cast<unsigned long long>(req.difficulty));
      return 2;
    }
    done = total;
  }
}

}  // namespace tarn

int run_mine(char const* hdr, char const* difficulty, double secs) {
  MineRequest req;
  if (!read_mine_request(hdr, difficulty, secs, &req, stderr)) return 1;
  std::unique_ptr<Device> dev = open_mode_device("mine");
  if (!dev) return 1;
  return run_mine_on(dev.get(), solo_config(dev->info()), req, stdout, stderr);
}
