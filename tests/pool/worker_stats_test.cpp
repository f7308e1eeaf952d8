// Statistics and heat on their own: the statistics line and its windows, the temperature limit
// and the telemetry line, and what both hand to the monitor.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "pool/heat_guard.h"
#include "pool/worker_stats.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kStart = 1700000000 * kSecond;

// A launch every 1.25 s: 10 M indices each for 30 s, then 5 M. Lines come every 5 s; the 60 s
// figure is 0.0 until the first window closes and then holds until the next one does.
TEST(WorkerStats, ALineEveryFiveSecondsWithASixtySecondWindow) {
  tarn::LaunchStats s;
  tarn::start_stats(&s, kStart);
  tarn::ShareCounters c;
  c.submitted = 1;
  c.accepted = 2;
  c.rejected = 3;
  c.staleskip = 4;
  c.throttled = 5;
  std::vector<std::string> lines;
  std::int64_t now = kStart;
  for (int i = 1; i <= 52; ++i) {
    now += kSecond * 5 / 4;
    tarn::count_launch(&s, now, i <= 24 ? 10000000 : 5000000, 900.0, 1250.0);
    const std::string line = tarn::statistics_line(&s, now, "[gpu0]", "1000", c, 64);
    if (!line.empty()) lines.push_back(line);
  }

  ASSERT_EQ(lines.size(), 13u);
  const std::string tail =
      " | diff=1000 submitted=1 accepted=2 rejected=3 staleskip=4 throttled=5 | pt=64 "
      "launches/s=0.8 gpu=900.0ms wall=1250.0ms\n";
  EXPECT_EQ(lines[0], "[gpu0] [5s] 8.0 MH/s (60s: 0.0)" + tail);
  EXPECT_EQ(lines[6], "[gpu0] [35s] 7.4 MH/s (60s: 0.0)" + tail);
  EXPECT_EQ(lines[10], "[gpu0] [55s] 6.2 MH/s (60s: 0.0)" + tail);
  EXPECT_EQ(lines[11], "[gpu0] [60s] 6.0 MH/s (60s: 6.0)" + tail);
  EXPECT_EQ(lines[12], "[gpu0] [65s] 5.8 MH/s (60s: 6.0)" + tail);

  tarn::GpuStats out;
  tarn::publish_rates(s, now, &out);
  EXPECT_EQ(out.hashes, 380000000u);
  EXPECT_NEAR(out.line_mhs, 380.0 / 65.0, 1e-9);  // as the last line showed them
  EXPECT_NEAR(out.line60_mhs, 6.0, 1e-9);
  EXPECT_GT(out.rate_10s, 0.0);
}

// Sensors are read at most once a second; launches pause at the limit and resume 5 degrees below
// it; without a reading nothing changes; the telemetry line comes a minute after the first read.
TEST(HeatGuard, PausesAtTheLimitAndResumesFiveBelow) {
  struct Step {
    double at_s;
    std::optional<unsigned int> temperature;  // what the sensor says now; none: no reading
    bool paused;
    const char* line;  // printed at this step, or null
  };
  const Step steps[] = {
      {0.0, 70, false, nullptr},
      {0.5, 85, false, nullptr},  // not read again yet
      {1.0, 85, true, "[gpu0] temperature 85C reached the limit of 80C: launches paused\n"},
      {2.0, 76, true, nullptr},   // not 5 below
      {3.0, std::nullopt, true, nullptr},  // a sensor gone while paused: no resume blind
      {4.0, 75, false, "[gpu0] temperature 75C: launches resumed\n"},
      {59.0, 79, false, nullptr},
      {60.0, 80, true, "[gpu0] telemetry: temp=80C power=n/a fan=n/a sm_clock=n/a util=n/a\n"
                       "[gpu0] temperature 80C reached the limit of 80C: launches paused\n"},
  };
  tarn::HeatGuard g;
  g.limit = 80;
  std::optional<unsigned int> sensor;
  int reads = 0;
  const std::function<tarn::Telemetry()> read = [&] {
    ++reads;
    tarn::Telemetry t;
    t.temperature_c = sensor;
    return t;
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(st.at_s);
    sensor = st.temperature;
    std::string printed;
    const bool paused = tarn::heat_check(&g, kStart + static_cast<std::int64_t>(st.at_s * 1e9), read,
                                         "[gpu0]", [&](const std::string& l) { printed += l; });
    EXPECT_EQ(paused, st.paused);
    EXPECT_EQ(printed, st.line ? st.line : "");
  }
  EXPECT_EQ(reads, 7);

  tarn::GpuStats out;
  tarn::publish_heat(g, &out);
  EXPECT_EQ(out.temp_limit, 80);
  EXPECT_TRUE(out.temp_paused);
  EXPECT_EQ(out.temp_pauses, 2);
  EXPECT_EQ(out.temp_resumes, 1);
  EXPECT_EQ(out.telemetry.temperature_c, 80u);

  // Without a limit, or without sensors, launches never wait.
  tarn::HeatGuard off;
  sensor = 120;
  EXPECT_FALSE(tarn::heat_check(&off, kStart, read, "[gpu0]", [](const std::string&) {}));
  EXPECT_FALSE(tarn::heat_check(&g, kStart + 100 * kSecond, nullptr, "[gpu0]",
                                [](const std::string&) {}));
}

}  // namespace
