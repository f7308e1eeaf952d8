// "mine": a timed search on device 0 for one header and difficulty.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "gpu/device_session.h"
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
#include "util/clock.h"

using namespace tarn;

namespace {

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

  DeviceSession session(dev);
  Status s = session.allocate();
  if (s.ok()) s = session.upload_job(JobUpload{req.header, prefix, target});
  auto failed = [&](const Status& why) {
    std::fprintf(err, "mine: %s\n", why.line().c_str());
    return 1;
  };
  if (!s.ok()) return failed(s);

  const std::unique_ptr<LaunchLayout> layout = make_launch_layout(cfg.dir);
  const auto t0 = std::chrono::system_clock::now();
  uint64_t done = 0;
  for (;;) {
    const LaunchPlan plan = layout->plan(cfg, cfg.per_thread, done);
    const uint64_t n = plan.count;
    LaunchOutcome outcome;
    s = session.mine(Grid{cfg.blocks, cfg.tpb}, plan.start, n, cfg.per_thread, system_now_ns,
                     &outcome);
    if (!s.ok()) return failed(s);
    const FoundResult& found = outcome.found;
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
