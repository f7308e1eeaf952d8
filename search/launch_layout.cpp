#include "search/launch_layout.h"

#include "search/nonce_layout.h"
#include "util/bytes.h"

namespace tarn {
namespace {

std::uint64_t full_count(const LaunchGeometry& g, unsigned int per_thread) {
  return static_cast<std::uint64_t>(g.blocks) * g.tpb * per_thread;
}

// Every launch starts on a group boundary: the start block carries the group number.
class DirectionLayout final : public LaunchLayout {
 public:
  LaunchPlan plan(const LaunchGeometry& g, unsigned int per_thread,
                  std::uint64_t start_counter) const override {
    LaunchPlan p;
    const std::uint64_t span = static_cast<std::uint64_t>(g.tpb) * per_thread;
    put_be64(start_counter / span, p.start.data() + 24);
    p.count = full_count(g, per_thread);
    return p;
  }
  unsigned int tune(unsigned int per_thread, double, const LaunchPlan&) const override {
    return per_thread;
  }
  void nonce_low(const FoundResult& found, unsigned int k, std::uint64_t, const LaunchGeometry& g,
                 unsigned int per_thread, unsigned char* low) const override {
    tarn_nonce_dir_result_low(found.base[k], found.index[k], g.tpb, per_thread, low);
  }
  bool pump_between_shares() const override { return true; }
};

// The start block carries the counter itself, whose low 32 bits must not wrap inside a launch.
class CounterLayout final : public LaunchLayout {
 public:
  LaunchPlan plan(const LaunchGeometry& g, unsigned int per_thread,
                  std::uint64_t start_counter) const override {
    LaunchPlan p;
    put_be64(start_counter, p.start.data() + 24);
    p.count = full_count(g, per_thread);
    const std::uint64_t room = (1ull << 32) - (start_counter & 0xFFFFFFFFull);
    if (room < p.count) {
      p.count = room;  // the next launch starts on the boundary
      p.cut = true;
    }
    return p;
  }
  // Keep one launch between 60 and 250 ms; per_thread stays a power of two from 4 to 256. A cut
  // launch says nothing about the full one.
  unsigned int tune(unsigned int per_thread, double wall_ms, const LaunchPlan& done) const override {
    if (done.cut) return per_thread;
    if (wall_ms < 60.0 && per_thread <= 255) return per_thread * 2;
    if (wall_ms > 250.0 && per_thread > 4) return per_thread / 2;
    return per_thread;
  }
  void nonce_low(const FoundResult& found, unsigned int k, std::uint64_t start0,
                 const LaunchGeometry&, unsigned int, unsigned char* low) const override {
    tarn_counter_low(start0 + found.index[k], low);
  }
  bool pump_between_shares() const override { return false; }
};

}  // namespace

std::unique_ptr<LaunchLayout> make_launch_layout(bool dir) {
  if (dir) return std::make_unique<DirectionLayout>();
  return std::make_unique<CounterLayout>();
}

}  // namespace tarn
