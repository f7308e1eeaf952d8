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

}  // namespace tarn
