#include "pool/share_filter.h"

#include "pool/messages.h"

namespace tarn {

ShareVerdict ShareFilter::judge(const std::string& launch_difficulty,
                                const std::string& current_difficulty, std::int64_t now_ns) const {
  if (difficulty_u64(launch_difficulty) < difficulty_u64(current_difficulty))
    return ShareVerdict::stale;
  const double since = static_cast<double>(now_ns - last_submit_ns) / 1e9;
  if (difficulty_f64(current_difficulty) < kNoThrottleDifficulty && since < submit_gap)
    return ShareVerdict::throttled;
  return ShareVerdict::send;
}

}  // namespace tarn
