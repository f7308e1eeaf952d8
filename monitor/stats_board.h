// What each pool worker publishes for the API and the total lines: one record per GPU, written
// only by its worker, read as a copy. The lock is held for a copy, never across device or
// socket work.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "monitor/telemetry.h"

namespace tarn {

// A worker's share counters, kept for its whole life and published as they are.
struct ShareCounters {
  int submitted = 0;
  int accepted = 0;
  int rejected = 0;
  int staleskip = 0;
  int throttled = 0;
  int device_faults = 0;  // hits the host re-check refused; never sent
  int device_errors = 0;  // failed device calls, each followed by a re-initialisation
};

struct GpuStats {
  int gpu = 0;
  std::string name;
  std::string url;
  std::string connection = "starting";  // starting, connecting, connected, disconnected, stopped
  double rate_10s = 0.0;  // hashes per second over the sliding windows
  double rate_60s = 0.0;
  double rate_15m = 0.0;
  double line_mhs = 0.0;    // the two rates of the last statistics line, as printed
  double line60_mhs = 0.0;
  std::uint64_t hashes = 0;  // indices launched over the worker's life
  ShareCounters shares;
  bool have_job = false;
  std::string job_id;
  std::string difficulty;
  Telemetry telemetry;
  int temp_limit = 0;  // 0: none
  bool temp_paused = false;
  std::int64_t temp_pauses = 0;
  std::int64_t temp_resumes = 0;
  // The pool side, for alerts. url_index: of url in the list (0 the primary). backup: failed over
  // to a backup and not yet back on the primary.
  int url_index = 0;
  bool backup = false;
  std::int64_t reconnects = 0;  // connections opened after the first
  std::int64_t failovers = 0;   // moves between URLs: to a backup, or back to the primary
  // On the worker's clock (ns): the last valid job and the last accepted share, or the worker's
  // start while there has been none, so a worker that never gets one ages too. 0: not yet
  // published.
  std::int64_t last_job_ns = 0;
  std::int64_t last_accepted_ns = 0;
  std::int64_t watchdog_trips = 0;  // launches that ran past --launch-timeout
};

class StatsBoard {
 public:
  explicit StatsBoard(const std::vector<int>& gpus);

  // By the worker of s.gpu only; a GPU not on the board is ignored.
  void publish(const GpuStats& s);
  std::vector<GpuStats> snapshot() const;
  // By the watchdog's thread, while gpu's worker waits on a hung launch; later publishes keep it.
  void count_watchdog_trip(int gpu);
  int gpus() const { return static_cast<int>(slots_.size()); }

  // Called right after `gpu` printed a statistics line. True for the one call that completes a
  // round, in which every GPU printed at least one line: that caller prints the total line.
  bool statistics_printed(int gpu);

 private:
  int slot_of(int gpu) const;
  mutable std::mutex mu_;
  std::vector<GpuStats> slots_;
  std::vector<bool> printed_;  // a statistics line since the last total
};

// "[total] R MH/s (60s: R) | gpus=N accepted=A rejected=R stale=S": the sums of the per-GPU
// statistics figures.
std::string total_line(const std::vector<GpuStats>& all);
// The lifetime counters of every GPU together, for the pool mode's end.
std::string lifetime_total_line(const std::vector<GpuStats>& all);

}  // namespace tarn
