// Whether a verified hit goes to the pool: not when the difficulty rose since its launch began
// (stale), not when the last submit was too recent below the no-throttle difficulty.
#pragma once

#include <cstdint>
#include <string>

namespace tarn {

enum class ShareVerdict { send, stale, throttled };

// From this difficulty on, shares are never throttled.
constexpr double kNoThrottleDifficulty = 1e8;

struct ShareFilter {
  double submit_gap = 0.2;         // seconds between two submits below kNoThrottleDifficulty
  std::int64_t last_submit_ns = 0;

  // launch_difficulty: the text the launch ran under; current_difficulty: the job's text now.
  ShareVerdict judge(const std::string& launch_difficulty, const std::string& current_difficulty,
                     std::int64_t now_ns) const;
  void sent(std::int64_t now_ns) { last_submit_ns = now_ns; }
};

}  // namespace tarn
