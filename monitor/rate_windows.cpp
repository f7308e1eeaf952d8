#include "monitor/rate_windows.h"

#include <algorithm>

namespace tarn {

constexpr double RateWindows::kWindows[3];

void RateWindows::start(std::int64_t now_ns) {
  start_ns_ = now_ns;
  started_ = true;
}

void RateWindows::add(std::int64_t now_ns, std::uint64_t hashes) {
  if (!started_) start(now_ns);
  if (!slots_.empty() && now_ns >= slots_.back().ns && now_ns - slots_.back().ns < kSlotNs) {
    slots_.back().hashes += hashes;
  } else {
    slots_.push_back(Slot{now_ns, hashes});
  }
  // Keep one slot's margin beyond the longest window.
  const std::int64_t keep_ns = static_cast<std::int64_t>(kWindows[2] * 1e9) + kSlotNs;
  while (!slots_.empty() && now_ns - slots_.front().ns > keep_ns) slots_.pop_front();
}

double RateWindows::rate(double window_s, std::int64_t now_ns) const {
  if (!started_ || window_s <= 0.0) return 0.0;
  const double lived_s = static_cast<double>(now_ns - start_ns_) / 1e9;
  const double span_s = std::min(window_s, lived_s);
  if (span_s <= 0.0) return 0.0;
  const std::int64_t from_ns = now_ns - static_cast<std::int64_t>(window_s * 1e9);
  std::uint64_t hashes = 0;
  for (auto it = slots_.rbegin(); it != slots_.rend() && it->ns > from_ns; ++it) hashes += it->hashes;
  return static_cast<double>(hashes) / span_s;
}

}  // namespace tarn
