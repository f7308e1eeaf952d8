#include "pool/launch_watchdog.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include "monitor/stats_board.h"
#include "pool/format_line.h"
#include "util/log_output.h"

namespace tarn {

LaunchWatchdog::LaunchWatchdog(double limit_s, std::function<std::int64_t()> now_ns)
    : limit_s_(limit_s), now_ns_(std::move(now_ns)) {}

void LaunchWatchdog::started(int gpu) {
  const std::int64_t now = now_ns_();
  std::lock_guard<std::mutex> lock(mu_);
  Slot& s = slots_[gpu];
  s.running = true;
  s.started_ns = now;
}

std::string LaunchWatchdog::completed(int gpu, bool ok) {
  const std::int64_t now = now_ns_();
  std::lock_guard<std::mutex> lock(mu_);
  Slot& s = slots_[gpu];
  if (!s.running) return std::string();
  s.running = false;
  if (!ok) return std::string();
  const double took = static_cast<double>(now - s.started_ns) / 1e9;
  if (s.recent.size() < kLaunchMedianSamples) {
    s.recent.push_back(took);
  } else {
    s.recent[s.next] = took;
    s.next = (s.next + 1) % kLaunchMedianSamples;
  }
  const double limit = limit_locked(s);
  if (s.warned || limit <= limit_s_) return std::string();
  s.warned = true;
  return format_line(
      "[gpu%d] WARNING: launches take %.3g s (median), so the launch timeout is %.0f s "
      "(%.0f x the median) instead of --launch-timeout %.0f s\n",
      gpu, limit / kLaunchMedianFactor, limit, kLaunchMedianFactor, limit_s_);
}

double LaunchWatchdog::limit_locked(const Slot& s) const {
  if (s.recent.empty()) return limit_s_;
  std::vector<double> v = s.recent;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return std::max(limit_s_, kLaunchMedianFactor * *mid);
}

double LaunchWatchdog::limit_s(int gpu) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = slots_.find(gpu);
  return it == slots_.end() ? limit_s_ : limit_locked(it->second);
}

LaunchOverrun LaunchWatchdog::overrun() const {
  const std::int64_t now = now_ns_();
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [gpu, s] : slots_) {
    if (!s.running) continue;
    const double limit = limit_locked(s);
    if (static_cast<double>(now - s.started_ns) / 1e9 >= limit) return LaunchOverrun{gpu, limit};
  }
  return LaunchOverrun{};
}

WatchdogThread::WatchdogThread(const LaunchWatchdog* watchdog,
                               std::function<void(const LaunchOverrun&)> on_hang) {
  // Several looks per limit, so a hang is caught within a tenth of the limit past it, and at
  // most one a second: a look costs a lock and a clock read.
  const double period_s = std::clamp(watchdog->base_limit_s() / 10.0, 0.05, 1.0);
  thread_ = std::thread([this, watchdog, period_s, on_hang = std::move(on_hang)] {
    std::unique_lock<std::mutex> lock(mu_);
    while (!cv_.wait_for(lock, std::chrono::duration<double>(period_s), [this] { return stop_; })) {
      const LaunchOverrun o = watchdog->overrun();
      if (o.gpu >= 0) on_hang(o);
    }
  });
}

WatchdogThread::~WatchdogThread() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

std::string hung_gpu_line(const LaunchOverrun& o) {
  return format_line("[gpu%d] launch did not complete in %.0f s: the GPU is hung; exiting with "
                     "status %d so the service manager restarts the miner",
                     o.gpu, o.limit_s, kHungGpuStatus);
}

void exit_for_hung_gpu(const LaunchOverrun& o, StatsBoard* board) {
  if (board) board->count_watchdog_trip(o.gpu);
  // A thread blocked in a write to a stalled pipe holds the stream's lock; waiting for it would
  // keep a hung miner alive, so standard output is flushed only when it is free, and the line
  // goes out in one write of its own.
  if (ftrylockfile(stdout) == 0) {
    std::fflush(stdout);
    funlockfile(stdout);
  }
  const std::string line = hung_gpu_line(o) + "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
  // With --log-file or --timestamps the lines (this one too) still sit in the log's pipes: give
  // its writer a moment to pass them on, never longer, since a stalled destination must not keep
  // a hung miner alive.
  auto flushed = std::make_shared<std::promise<void>>();
  std::future<void> done = flushed->get_future();
  std::thread([flushed] {
    flush_logs();
    flushed->set_value();
  }).detach();
  done.wait_for(std::chrono::seconds(2));
  _exit(kHungGpuStatus);
}

std::int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

WatchedLaunches watch_launches(double limit_s, StatsBoard* board) {
  WatchedLaunches w;
  if (limit_s <= 0) return w;
  w.watchdog = std::make_unique<LaunchWatchdog>(limit_s, steady_now_ns);
  w.thread = std::make_unique<WatchdogThread>(
      w.watchdog.get(), [board](const LaunchOverrun& o) { exit_for_hung_gpu(o, board); });
  return w;
}

}  // namespace tarn
