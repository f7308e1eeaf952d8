// The hung-GPU watchdog on a fake clock: the limit, its floor of 20 times the median launch, the
// thread that acts on an overrun, and the trip count a last scrape sees.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "monitor/stats_board.h"
#include "pool/launch_watchdog.h"

namespace {

constexpr std::int64_t kMs = 1000000;

TEST(LaunchWatchdog, ALaunchPastItsLimitIsAnOverrun) {
  struct Case {
    const char* what;
    std::vector<std::int64_t> good_ms;  // launches that completed before the one in progress
    std::int64_t running_ms;            // how long the launch in progress has run
    bool overrun;
    double limit_s;
  };
  const Case cases[] = {
      {"no history: the user's limit", {}, 29999, false, 30.0},
      {"no history, at the limit", {}, 30000, true, 30.0},
      {"fast launches keep the user's limit", {100, 200, 150}, 30000, true, 30.0},
      {"a slow median raises it to 20 x", {2000, 2500, 3000}, 49999, false, 50.0},
      {"and past that it is an overrun", {2000, 2500, 3000}, 50000, true, 50.0},
      {"one slow outlier moves the median no more than one sample",
       {100, 100, 100, 100, 60000}, 30000, true, 30.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::int64_t now = 0;
    tarn::LaunchWatchdog w(30.0, [&now] { return now; });
    for (const std::int64_t ms : c.good_ms) {
      w.started(1);
      now += ms * kMs;
      w.completed(1, true);
    }
    // A failed launch, however long, is not a sample.
    w.started(1);
    now += 1000000 * kMs;
    w.completed(1, false);
    EXPECT_EQ(w.overrun().gpu, -1);  // nothing is running

    w.started(1);
    now += c.running_ms * kMs;
    const tarn::LaunchOverrun o = w.overrun();
    EXPECT_EQ(o.gpu, c.overrun ? 1 : -1);
    EXPECT_DOUBLE_EQ(w.limit_s(1), c.limit_s);
    if (c.overrun) {
      EXPECT_DOUBLE_EQ(o.limit_s, c.limit_s);
      // Another GPU, idle or within its limit, is never the one named.
      w.started(0);
      EXPECT_EQ(w.overrun().gpu, 1);
    }
  }
}

TEST(LaunchWatchdog, TheRaisedLimitIsWarnedOnce) {
  std::int64_t now = 0;
  tarn::LaunchWatchdog w(30.0, [&now] { return now; });
  std::vector<std::string> warnings;
  for (int i = 0; i < 5; ++i) {
    w.started(2);
    now += 3000 * kMs;
    const std::string line = w.completed(2, true);
    if (!line.empty()) warnings.push_back(line);
  }
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0],
            "[gpu2] WARNING: launches take 3 s (median), so the launch timeout is 60 s (20 x the "
            "median) instead of --launch-timeout 30 s\n");
}

TEST(LaunchWatchdog, TheThreadActsOnAnOverrunAndTheTripStaysOnTheBoard) {
  std::atomic<std::int64_t> now{0};
  tarn::LaunchWatchdog w(1.0, [&now] { return now.load(); });
  tarn::StatsBoard board({3});
  std::atomic<int> hung_gpu{-1};
  {
    tarn::WatchdogThread thread(&w, [&](const tarn::LaunchOverrun& o) {
      if (hung_gpu.exchange(o.gpu) < 0) board.count_watchdog_trip(o.gpu);
    });
    w.started(3);
    now += 999 * kMs;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(hung_gpu.load(), -1);
    now += 1 * kMs;
    for (int i = 0; i < 200 && hung_gpu.load() < 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(hung_gpu.load(), 3);
  EXPECT_EQ(tarn::hung_gpu_line(tarn::LaunchOverrun{3, 1.0}),
            "[gpu3] launch did not complete in 1 s: the GPU is hung; exiting with status 4 so "
            "the service manager restarts the miner");
  // The hung worker's own figures, published late, do not hide the trip.
  tarn::GpuStats late;
  late.gpu = 3;
  board.publish(late);
  EXPECT_EQ(board.snapshot()[0].watchdog_trips, 1);
}

}  // namespace
