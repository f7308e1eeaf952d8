#include "monitor/stats_board.h"

#include <algorithm>
#include <cstdio>

namespace tarn {

StatsBoard::StatsBoard(const std::vector<int>& gpus) : slots_(gpus.size()), printed_(gpus.size(), false) {
  for (size_t i = 0; i < gpus.size(); ++i) slots_[i].gpu = gpus[i];
}

int StatsBoard::slot_of(int gpu) const {
  for (size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i].gpu == gpu) return static_cast<int>(i);
  return -1;
}

void StatsBoard::publish(const GpuStats& s) {
  const int i = slot_of(s.gpu);
  if (i < 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  GpuStats& slot = slots_[static_cast<size_t>(i)];
  const std::int64_t trips = slot.watchdog_trips;
  slot = s;
  slot.watchdog_trips = std::max(trips, s.watchdog_trips);
}

void StatsBoard::count_watchdog_trip(int gpu) {
  const int i = slot_of(gpu);
  if (i < 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  ++slots_[static_cast<size_t>(i)].watchdog_trips;
}

std::vector<GpuStats> StatsBoard::snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return slots_;
}

bool StatsBoard::statistics_printed(int gpu) {
  const int i = slot_of(gpu);
  if (i < 0) return false;
  std::lock_guard<std::mutex> lock(mu_);
  // Extra lines of a faster GPU do not count towards later rounds.
  printed_[static_cast<size_t>(i)] = true;
  for (bool p : printed_)
    if (!p) return false;
  printed_.assign(printed_.size(), false);
  return true;
}

std::string total_line(const std::vector<GpuStats>& all) {
  double mhs = 0.0, mhs60 = 0.0;
  std::int64_t accepted = 0, rejected = 0, stale = 0;
  for (const GpuStats& s : all) {
    mhs += s.line_mhs;
    mhs60 += s.line60_mhs;
    accepted += s.shares.accepted;
    rejected += s.shares.rejected;
    stale += s.shares.staleskip;
  }
  char line[160];
  std::snprintf(line, sizeof line,
                "[total] %.1f MH/s (60s: %.1f) | gpus=%d accepted=%lld rejected=%lld stale=%lld\n",
                mhs, mhs60, static_cast<int>(all.size()), static_cast<long long>(accepted),
                static_cast<long long>(rejected), static_cast<long long>(stale));
  return line;
}

std::string lifetime_total_line(const std::vector<GpuStats>& all) {
  std::int64_t submitted = 0, accepted = 0, rejected = 0, stale = 0, throttled = 0;
  for (const GpuStats& s : all) {
    submitted += s.shares.submitted;
    accepted += s.shares.accepted;
    rejected += s.shares.rejected;
    stale += s.shares.staleskip;
    throttled += s.shares.throttled;
  }
  char line[200];
  std::snprintf(line, sizeof line,
                "[total] stopped (lifetime: gpus=%d submitted=%lld accepted=%lld rejected=%lld "
                "staleskip=%lld throttled=%lld)\n",
                static_cast<int>(all.size()), static_cast<long long>(submitted),
                static_cast<long long>(accepted), static_cast<long long>(rejected),
                static_cast<long long>(stale), static_cast<long long>(throttled));
  return line;
}

}  // namespace tarn
