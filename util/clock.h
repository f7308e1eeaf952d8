// The system clock in nanoseconds, the time base of progress lines and rates.
#pragma once

#include <chrono>
#include <cstdint>

namespace tarn {

inline std::int64_t system_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline double seconds_between(std::int64_t from_ns, std::int64_t to_ns) {
  return static_cast<double>(to_ns - from_ns) / 1e9;
}

}  // namespace tarn
