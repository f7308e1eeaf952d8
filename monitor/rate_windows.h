// Hash rates over sliding windows (10 s, 60 s, 15 min), counted from completed launches.
#pragma once

#include <cstdint>
#include <deque>

namespace tarn {

class RateWindows {
 public:
  static constexpr double kWindows[3] = {10.0, 60.0, 900.0};

  // Rates are averaged from here until a window has passed: a young worker is not rated as if
  // it had been idle before it started.
  void start(std::int64_t now_ns);
  // A launch of `hashes` indices that completed at now_ns.
  void add(std::int64_t now_ns, std::uint64_t hashes);
  // Hashes per second over the last window_s seconds before now_ns; 0 before any time passed.
  double rate(double window_s, std::int64_t now_ns) const;

 private:
  struct Slot {
    std::int64_t ns;  // completion time of the slot's first launch
    std::uint64_t hashes;
  };
  // Launches within one slot are merged, so 15 minutes of fast launches stay a few thousand
  // entries at most.
  static constexpr std::int64_t kSlotNs = 100'000'000;
  std::deque<Slot> slots_;
  std::int64_t start_ns_ = 0;
  bool started_ = false;
};

}  // namespace tarn
