// The hung-GPU watchdog: every GPU stamps the start and the end of each launch, and a thread of
// its own ends the process when one runs past its limit. A hung kernel cannot be cancelled and
// the thread waiting on it never returns, so nothing short of leaving the process helps.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarn {

class StatsBoard;

// A GPU's limit is at least this many times its median launch, so a slow card or a large launch
// is not taken for a hung one.
constexpr double kLaunchMedianFactor = 20.0;
// The median is taken over this many of the GPU's latest good launches.
constexpr size_t kLaunchMedianSamples = 63;
// The status a hung GPU ends the process with.
constexpr int kHungGpuStatus = 4;

struct LaunchOverrun {
  int gpu = -1;  // -1: none
  double limit_s = 0.0;
};

class LaunchWatchdog {
 public:
  // limit_s: the user's --launch-timeout; now_ns: a steady clock (a wall-clock step must not
  // look like a hang).
  LaunchWatchdog(double limit_s, std::function<std::int64_t()> now_ns);

  void started(int gpu);
  // The launch on gpu returned; ok: it completed and its time counts towards the median. The
  // first time the median raises this GPU's limit, a warning line to print (newline included).
  std::string completed(int gpu, bool ok);

  // The effective limit of gpu: the user's, or kLaunchMedianFactor times its median launch.
  double limit_s(int gpu) const;
  // The first GPU whose launch in progress has run past its limit.
  LaunchOverrun overrun() const;
  double base_limit_s() const { return limit_s_; }

 private:
  struct Slot {
    bool running = false;
    std::int64_t started_ns = 0;
    std::vector<double> recent;  // seconds, a ring of the latest good launches
    size_t next = 0;
    bool warned = false;
  };
  double limit_locked(const Slot& s) const;

  const double limit_s_;
  const std::function<std::int64_t()> now_ns_;
  mutable std::mutex mu_;
  std::map<int, Slot> slots_;
};

// Runs beside the workers and checks the watchdog several times per limit; on an overrun it calls
// on_hang, which must not return. Stopped and joined by the destructor.
class WatchdogThread {
 public:
  WatchdogThread(const LaunchWatchdog* watchdog, std::function<void(const LaunchOverrun&)> on_hang);
  ~WatchdogThread();
  WatchdogThread(const WatchdogThread&) = delete;
  WatchdogThread& operator=(const WatchdogThread&) = delete;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

// "[gpuN] launch did not complete in S s: the GPU is hung; ...", without a newline.
std::string hung_gpu_line(const LaunchOverrun& o);

// The production on_hang: counts the trip on board (when there is one) so a last scrape sees it,
// prints the line on standard error, flushes both streams and leaves with kHungGpuStatus at once;
// the hung thread cannot be joined, so no destructor or exit handler may wait for it.
[[noreturn]] void exit_for_hung_gpu(const LaunchOverrun& o, StatsBoard* board);

// The steady clock in nanoseconds, for the watchdog.
std::int64_t steady_now_ns();

// A mode's watchdog and the thread that acts on it; the thread is stopped first when it goes.
struct WatchedLaunches {
  std::unique_ptr<LaunchWatchdog> watchdog;
  std::unique_ptr<WatchdogThread> thread;
  LaunchWatchdog* get() const { return watchdog.get(); }
};
// Watches every launch against limit_s on the steady clock and ends the process through
// exit_for_hung_gpu(o, board) on an overrun; nothing is watched when limit_s is 0.
WatchedLaunches watch_launches(double limit_s, StatsBoard* board);

}  // namespace tarn
