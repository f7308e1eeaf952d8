// Rate windows on a fake clock, the rounds of statistics lines and the total lines.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "monitor/rate_windows.h"
#include "monitor/stats_board.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kT0 = 1700000000 * kSecond;

TEST(RateWindows, CountsOnlyLaunchesInsideEachWindowOverTheTimeLived) {
  struct Case {
    const char* what;
    std::vector<std::pair<double, std::uint64_t>> launches;  // completion second, hashes
    double at;                                               // seconds after start
    double r10, r60, r15m;
  };
  const Case cases[] = {
      {"nothing yet", {}, 5, 0, 0, 0},
      {"young: divided by the 4 s lived", {{2, 400}, {4, 400}}, 4, 200, 200, 200},
      {"steady 1000/s for 20 min", {}, 0, 0, 0, 0},  // filled below
      {"an old burst leaves the short windows", {{5, 9000}}, 100, 0, 0, 90},
      {"just inside and just outside 10 s", {{89.8, 100}, {90.2, 200}}, 100, 20, 300.0 / 60, 3},
      {"beyond 15 min nothing counts", {{10, 5000}}, 1000, 0, 0, 0},
  };
  for (const Case& c : cases) {
    tarn::RateWindows r;
    r.start(kT0);
    std::vector<std::pair<double, std::uint64_t>> launches = c.launches;
    double at = c.at;
    double r10 = c.r10, r60 = c.r60, r15m = c.r15m;
    if (std::string(c.what) == "steady 1000/s for 20 min") {
      // Launches 50 ms apart share 100 ms slots: every hash must survive the merging.
      for (int i = 1; i <= 1200 * 20; ++i) launches.push_back({i * 0.05, 50});
      at = 1200;
      r10 = r60 = r15m = 1000;
    }
    for (const auto& l : launches) r.add(kT0 + static_cast<std::int64_t>(l.first * 1e9), l.second);
    const std::int64_t now = kT0 + static_cast<std::int64_t>(at * 1e9);
    // A merged slot may move a launch across a window's edge by less than 100 ms.
    EXPECT_NEAR(r.rate(10, now), r10, 1e-6 + r10 * 0.01) << c.what;
    EXPECT_NEAR(r.rate(60, now), r60, 1e-6 + r60 * 0.01) << c.what;
    EXPECT_NEAR(r.rate(900, now), r15m, 1e-6 + r15m * 0.01) << c.what;
  }
}

TEST(RateWindows, AClockThatStepsBackNeitherDividesByZeroNorGoesNegative) {
  tarn::RateWindows r;
  r.start(kT0);
  r.add(kT0 + 5 * kSecond, 1000);
  EXPECT_EQ(r.rate(10, kT0 - kSecond), 0.0);
  EXPECT_EQ(r.rate(10, kT0), 0.0);
  EXPECT_GE(r.rate(10, kT0 + 2 * kSecond), 0.0);
}

TEST(StatsBoard, TheTotalComesOnceEveryGpuPrintedInTheRound) {
  tarn::StatsBoard board({0, 2});  // GPU numbers need not be contiguous
  // gpu0 prints twice before gpu2 prints once: one round, closed by gpu2.
  EXPECT_FALSE(board.statistics_printed(0));
  EXPECT_FALSE(board.statistics_printed(0));
  EXPECT_TRUE(board.statistics_printed(2));
  // The extra line of gpu0 does not close the next round on its own.
  EXPECT_FALSE(board.statistics_printed(0));
  EXPECT_TRUE(board.statistics_printed(2));
  EXPECT_FALSE(board.statistics_printed(2));
  EXPECT_FALSE(board.statistics_printed(7));  // not on the board
  EXPECT_TRUE(board.statistics_printed(0));

  tarn::GpuStats a, b, stranger;
  a.gpu = 0;
  a.line_mhs = 800.04;
  a.line60_mhs = 790.0;
  a.shares.accepted = 10;
  a.shares.rejected = 1;
  a.shares.staleskip = 2;
  a.shares.submitted = 13;
  a.shares.throttled = 4;
  b = a;
  b.gpu = 2;
  b.line_mhs = 1.0;
  b.shares.accepted = 5;
  stranger = a;
  stranger.gpu = 9;
  board.publish(a);
  board.publish(b);
  board.publish(stranger);
  const std::vector<tarn::GpuStats> all = board.snapshot();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(tarn::total_line(all), "[total] 801.0 MH/s (60s: 1580.0) | gpus=2 accepted=15 rejected=2 stale=4\n");
  EXPECT_EQ(tarn::lifetime_total_line(all),
            "[total] stopped (lifetime: gpus=2 submitted=26 accepted=15 rejected=2 staleskip=4 "
            "throttled=8)\n");
}

}  // namespace
