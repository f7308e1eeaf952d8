// A worker reading its sensors through NVML (the fake library): published readings, the
// telemetry line, and the temperature limit pausing and resuming its launches.
#include <gtest/gtest.h>

#include <string>

#include "../pool/worker_harness.h"
#include "fake_nvml.h"
#include "monitor/nvml.h"
#include "monitor/stats_board.h"
#include "pool/worker.h"

namespace {

using pooltest::Harness;
using pooltest::ScriptedSocket;

constexpr std::int64_t kSecond = 1000000000;

TEST(TemperatureLimit, PausesAtTheLimitAndResumesFiveBelow) {
  monitortest::FakeNvml fake;
  ASSERT_TRUE(monitortest::use_fake_nvml(&fake));
  tarn::Nvml nvml;
  std::string why;
  ASSERT_TRUE(nvml.load(&why)) << why;
  void* sensor = nvml.device(0, "0000:00:00.0");
  ASSERT_NE(sensor, nullptr);

  Harness h;
  tarn::StatsBoard board({0});
  tarn::WorkerEnv env = h.env();
  env.board = &board;
  env.telemetry = [&] { return nvml.read(sensor); };
  tarn::WorkerSettings settings = h.settings();
  settings.temp_limit = 80;
  ScriptedSocket& s = h.add_socket();
  tarn::PoolWorker w(settings, env);
  ASSERT_TRUE(w.start());

  // Every launch and every idle poll takes a second and a half, so the sensors are read at each.
  size_t launches_when_paused = 0, launches_at_81 = 0, launches_at_76 = 0;
  tarn::GpuStats while_paused;
  int hot_polls = 0;
  s.on_poll = [&](ScriptedSocket& sock) {
    h.now_ns += 1500000000;
    if (sock.polls == 2) sock.arrive(pooltest::new_job("j1", "\"18446744073709551615\""));
    if (launches_when_paused == 0 && h.count_lines("launches paused") == 1)
      launches_when_paused = h.device->launches.size();
    if (launches_when_paused == 0) return;
    ++hot_polls;
    if (hot_polls == 60) {  // 90 s paused: a telemetry line has come
      fake.set_temperature(0, 81);
      launches_at_81 = h.device->launches.size();
      while_paused = board.snapshot()[0];
    }
    if (hot_polls == 62) fake.set_temperature(0, 76);
    if (hot_polls == 64) {
      launches_at_76 = h.device->launches.size();
      fake.set_temperature(0, 75);
    }
  };
  h.device->after_launch = [&](FoundResult*) {
    h.now_ns += 1500000000;
    const size_t n = h.device->launches.size();
    if (n == 3) fake.set_temperature(0, 80);
    if (n == 6) h.stop = true;
  };
  w.run();

  EXPECT_EQ(launches_when_paused, 3u);
  EXPECT_EQ(launches_at_81, 3u) << "no launch while hot, nor at 81 C (above 80 - 5)";
  EXPECT_EQ(launches_at_76, 3u) << "76 C is still above 80 - 5";
  EXPECT_EQ(h.device->launches.size(), 6u);
  EXPECT_EQ(h.count_lines("[gpu0] temperature 80C reached the limit of 80C: launches paused\n"), 1);
  EXPECT_EQ(h.count_lines("[gpu0] temperature 75C: launches resumed\n"), 1);
  EXPECT_GE(h.count_lines("[gpu0] telemetry: temp=80C power=150.0W fan=30% sm_clock=1800MHz util=90%\n"), 1);

  EXPECT_TRUE(while_paused.temp_paused);
  EXPECT_EQ(while_paused.temp_pauses, 1);
  EXPECT_EQ(while_paused.temp_resumes, 0);
  EXPECT_EQ(while_paused.telemetry.temperature_c, 80u);
  const tarn::GpuStats after = board.snapshot()[0];
  EXPECT_FALSE(after.temp_paused);
  EXPECT_EQ(after.temp_pauses, 1);
  EXPECT_EQ(after.temp_resumes, 1);
  EXPECT_EQ(after.temp_limit, 80);
  EXPECT_EQ(after.connection, "stopped");
  fake.reset();
}

TEST(TemperatureLimit, ASensorThatStopsAnsweringNeitherPausesNorResumesBlind) {
  monitortest::FakeNvml fake;
  ASSERT_TRUE(monitortest::use_fake_nvml(&fake));
  tarn::Nvml nvml;
  std::string why;
  ASSERT_TRUE(nvml.load(&why)) << why;
  void* sensor = nvml.device(0, "");

  Harness h;
  tarn::WorkerEnv env = h.env();
  env.telemetry = [&] { return nvml.read(sensor); };
  tarn::WorkerSettings settings = h.settings();
  settings.temp_limit = 70;
  ScriptedSocket& s = h.add_socket();
  tarn::PoolWorker w(settings, env);
  ASSERT_TRUE(w.start());
  fake.fail("nvmlDeviceGetTemperature");  // no reading at all: mining goes on
  int polls_paused = 0;
  s.on_poll = [&](ScriptedSocket& sock) {
    h.now_ns += 2 * kSecond;
    if (sock.polls == 2) sock.arrive(pooltest::new_job("j1", "\"18446744073709551615\""));
    if (h.device->launches.size() == 1 && h.count_lines("launches paused") == 1) {
      if (++polls_paused == 5) fake.fail("nvmlDeviceGetTemperature");  // gone while paused
      if (polls_paused == 10) h.stop = true;
    }
  };
  h.device->after_launch = [&](FoundResult*) {
    h.now_ns += 2 * kSecond;
    if (h.device->launches.size() == 1) {
      fake.fail("");
      fake.set_temperature(0, 90);
    }
  };
  w.run();

  EXPECT_EQ(h.device->launches.size(), 1u);  // the first ran without a reading
  EXPECT_EQ(h.count_lines("launches paused"), 1);
  EXPECT_EQ(h.count_lines("launches resumed"), 0);
  fake.reset();
}

}  // namespace
