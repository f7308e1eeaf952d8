// What differs between the two nonce layouts when mining launches are placed back to back: the
// start block, the 2^32 cut of the counter, per-thread tuning and how a hit's nonce is rebuilt.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "search/found_result.h"

namespace tarn {

struct LaunchGeometry {
  bool dir = false;  // direction layout from compute capability 12.0 on, else counter layout
  unsigned int tpb = 0;
  unsigned int blocks = 0;
};

struct LaunchPlan {
  std::array<unsigned char, 32> start{};  // the start block
  std::uint64_t count = 0;                // indices to search
  bool cut = false;                       // shortened to end on a 2^32 boundary of the counter
};

class LaunchLayout {
 public:
  virtual ~LaunchLayout() = default;
  // The launch that continues a job at start_counter.
  virtual LaunchPlan plan(const LaunchGeometry& g, unsigned int per_thread,
                          std::uint64_t start_counter) const = 0;
  // per_thread for the next launch after one of wall_ms (the pool worker's tuning).
  virtual unsigned int tune(unsigned int per_thread, double wall_ms, const LaunchPlan& done) const = 0;
  // The low half (32 bytes) of the nonce in slot k of a launch that began at start0.
  virtual void nonce_low(const FoundResult& found, unsigned int k, std::uint64_t start0,
                         const LaunchGeometry& g, unsigned int per_thread,
                         unsigned char* low) const = 0;
  // Whether pool messages are applied again before each share of a launch.
  virtual bool pump_between_shares() const = 0;
};

std::unique_ptr<LaunchLayout> make_launch_layout(bool dir);

}  // namespace tarn
