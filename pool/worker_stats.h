// A worker's launch figures: the statistics line every 5 s or more, and the rates it publishes.
#pragma once

#include <cstdint>
#include <string>

#include "monitor/rate_windows.h"
#include "monitor/stats_board.h"

namespace tarn {

// Kept for the worker's life, across reconnects.
struct LaunchStats {
  std::int64_t start_ns = 0;
  std::uint64_t total = 0;  // indices launched
  RateWindows rates;
  // The 60-second figure changes only when a window of 60 s or more closes; 0 until then.
  std::int64_t window_start_ns = 0;
  std::uint64_t window_total = 0;
  double rate60 = 0.0;
  // Since the last statistics line.
  std::int64_t last_line_ns = 0;
  std::uint64_t launches = 0;
  double gpu_ms = 0.0;
  double wall_ms = 0.0;
  double line_mhs = 0.0;  // the lifetime rate the last line showed
  // When the last valid job and the last accepted share came; the worker's start until then.
  std::int64_t last_job_ns = 0;
  std::int64_t last_accepted_ns = 0;
};

void start_stats(LaunchStats* s, std::int64_t now_ns);
// A good launch of count indices that ended at now_ns.
void count_launch(LaunchStats* s, std::int64_t now_ns, std::uint64_t count, double gpu_ms,
                  double wall_ms);
// The statistics line once 5 s have passed since the last one (or the start), else empty.
std::string statistics_line(LaunchStats* s, std::int64_t now_ns, const std::string& tag,
                            const std::string& difficulty, const ShareCounters& c,
                            unsigned int per_thread);
// The figures of the monitor: the sliding windows, the last line's two rates, when the last job
// and accepted share came (the watchdog counts its trips on the board itself).
void publish_rates(const LaunchStats& s, std::int64_t now_ns, GpuStats* out);

}  // namespace tarn
