// "mine": a timed search on device 0 for one header and difficulty.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "hash/hash_ref.h"
#include "modes/device_setup.h"
#include "modes/hex.h"
#include "modes/launch_config.h"
#include "modes/modes.h"
#include "search/found_result.h"
#include "search/nonce_layout.h"
#include "search/target.h"

using namespace tarn;

namespace {

struct MineBuffers {
  DeviceBuffer<unsigned char> header, prefix, start, target;
  DeviceBuffer<unsigned long> midstate;
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

void put_be64(uint64_t v, unsigned char* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
}

}  // namespace

int run_mine(char const* hdr, char const* difficulty, double secs) {
  unsigned char header[32];
  if (!parse_hex_exact(hdr, 32, header)) {
    std::fprintf(stderr, "mine: header must be exactly 64 hexadecimal digits\n");
    return 1;
  }
  uint64_t diff = 0;
  if (!parse_u64(difficulty, &diff) || diff == 0) {
    std::fprintf(stderr, "mine: difficulty must be a whole number from 1 to 18446744073709551615\n");
    return 1;
  }
  unsigned char target[64], prefix[32], start[32] = {};
  target_from_difficulty(diff, target);
  solo_nonce_prefix(prefix);

  std::unique_ptr<Device> dev = open_mode_device("mine");
  if (!dev) return 1;
  MineBuffers b;
  Status s = b.allocate(dev.get());
  if (s.ok()) s = dev->copy_in(b.header.get(), header, 32);
  if (s.ok()) s = dev->copy_in(b.prefix.get(), prefix, 32);
  if (s.ok()) s = dev->copy_in(b.start.get(), start, 32);
  if (s.ok()) s = dev->copy_in(b.target.get(), target, 64);
  if (s.ok()) s = dev->launch_midstate(b.header.get(), b.prefix.get(), b.midstate.get());
  if (s.ok()) s = dev->synchronize();
  if (!s.ok()) return report_failure("mine", s);

  const MineConfig cfg = solo_config(dev->info());
  const auto t0 = std::chrono::system_clock::now();
  uint64_t done = 0;
  FoundResult found{};
  for (;;) {
    uint64_t n = cfg.per_launch();
    std::memset(start, 0, sizeof start);
    if (cfg.dir) {
      put_be64(done / cfg.span(), start + 24);
    } else {
      // done is a multiple of 2^18 here, so this is done itself, big-endian.
      put_be64(done, start + 24);
      const uint64_t room = (1ull << 32) - (done & 0xFFFFFFFFull);
      if (n > room) n = room;  // the 32-bit counter must not wrap inside a launch
    }
    s = dev->fill(b.found.get(), 0, sizeof(FoundResult));
    if (s.ok()) s = dev->copy_in(b.start.get(), start, 32);
    if (s.ok())
      s = dev->launch_mine(cfg.blocks, cfg.tpb, b.midstate.get(), b.start.get(), b.target.get(), n,
                           cfg.per_thread, b.found.get());
    if (s.ok()) s = dev->synchronize();
    if (s.ok()) s = dev->copy_out(&found, b.found.get(), sizeof found);
    if (!s.ok()) return report_failure("mine", s);
    const uint64_t total = done + n;
    const double elapsed = seconds_since(t0);
    if (found.count != 0) {
      const uint64_t low_idx = done + found.index[0];
      unsigned char nonce[64];
      std::memcpy(nonce, prefix, 32);
      if (cfg.dir) {
        tarn_nonce_dir_result_low(found.base[0], found.index[0], cfg.tpb, cfg.per_thread, nonce + 32);
      } else {
        tarn_counter_low(low_idx, nonce + 32);
      }
      // The device's word is checked before it is printed.
      unsigned char hash[64];
      ref::hash_full(header, nonce, hash);
      if (found.index[0] >= n || !ref::below_target(hash, target)) {
        std::fprintf(stderr,
                     "mine: device fault: reported nonce %s hashes to %s..., not below the target\n",
                     to_hex(nonce, 64).c_str(), to_hex(hash, 16).c_str());
        return 1;
      }
      std::printf("FOUND after %.2fs, %.0f MH searched, low_idx=%llu\n", elapsed,
                  static_cast<double>(total) / 1e6, static_cast<unsigned long long>(low_idx));
      std::printf("  header  %s\n", hdr);
      std::printf("  nonce   %s\n", to_hex(nonce, 64).c_str());
      std::printf("  target  %s...\n", to_hex(target, 12).c_str());
      return 0;
    }
    if (elapsed > secs) {
      std::printf("no solution in %.1fs (%.0f MH searched at diff %llu)\n", elapsed,
                  static_cast<double>(total) / 1e6, static_cast<unsigned long long>(diff));
      return 2;
    }
    done = total;
  }
}
