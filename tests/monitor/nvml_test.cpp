// NVML loaded at run time, against the fake library: readings, absence and failing entry points.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fake_nvml.h"
#include "monitor/nvml.h"

namespace {

using monitortest::FakeNvml;

TEST(Nvml, ReadsEverySensorAndLeavesOutOnlyTheOnesThatFail) {
  FakeNvml fake;
  ASSERT_TRUE(monitortest::use_fake_nvml(&fake));
  struct Case {
    const char* failing;
    bool temp, power, fan, clock, util;
  };
  const Case cases[] = {
      {"", true, true, true, true, true},
      {"nvmlDeviceGetTemperature", false, true, true, true, true},
      {"nvmlDeviceGetPowerUsage", true, false, true, true, true},
      {"nvmlDeviceGetFanSpeed", true, true, false, true, true},  // a GPU without a fan
      {"nvmlDeviceGetClockInfo", true, true, true, false, true},
      {"nvmlDeviceGetUtilizationRates", true, true, true, true, false},
  };
  tarn::Nvml nvml;
  std::string why;
  ASSERT_TRUE(nvml.load(&why)) << why;
  void* gpu1 = nvml.device(1, "");
  ASSERT_NE(gpu1, nullptr);
  for (const Case& c : cases) {
    fake.fail(c.failing);
    const tarn::Telemetry t = nvml.read(gpu1);
    EXPECT_EQ(t.temperature_c.has_value(), c.temp) << c.failing;
    EXPECT_EQ(t.power_w.has_value(), c.power) << c.failing;
    EXPECT_EQ(t.fan_percent.has_value(), c.fan) << c.failing;
    EXPECT_EQ(t.sm_clock_mhz.has_value(), c.clock) << c.failing;
    EXPECT_EQ(t.utilization_percent.has_value(), c.util) << c.failing;
    if (c.temp) {
      EXPECT_EQ(*t.temperature_c, 61u);
    }
    if (c.power) {
      EXPECT_DOUBLE_EQ(*t.power_w, 150.001);  // milliwatts to watts
    }
    if (c.fan) {
      EXPECT_EQ(*t.fan_percent, 31u);
    }
    if (c.clock) {
      EXPECT_EQ(*t.sm_clock_mhz, 1801u);
    }
    if (c.util) {
      EXPECT_EQ(*t.utilization_percent, 91u);
    }
  }
  fake.reset();
}

TEST(Nvml, FindsAGpuByItsBusIdNeverByAnotherIndex) {
  FakeNvml fake;
  ASSERT_TRUE(monitortest::use_fake_nvml(&fake));
  tarn::Nvml nvml;
  std::string why;
  ASSERT_TRUE(nvml.load(&why)) << why;
  // CUDA's device 0 may be NVML's device 1: the bus id decides.
  void* d = nvml.device(0, "0000:01:00.0");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(*nvml.read(d).temperature_c, 61u);
  EXPECT_EQ(nvml.device(0, "0000:07:00.0"), nullptr);
  EXPECT_EQ(nvml.device(5, ""), nullptr);
  EXPECT_FALSE(nvml.read(nullptr).any());
}

TEST(Nvml, WithoutALoadableLibraryOrAWorkingInitThereAreNoReadings) {
  FakeNvml fake;
  ASSERT_TRUE(monitortest::use_fake_nvml(&fake));
  fake.fail("nvmlInit_v2");
  {
    tarn::Nvml nvml;
    std::string why;
    EXPECT_FALSE(nvml.load(&why));
    EXPECT_NE(why.find("nvmlInit_v2 failed: Not Supported"), std::string::npos) << why;
    EXPECT_EQ(nvml.device(0, ""), nullptr);
  }
  fake.reset();
  setenv("TARN_NVML_LIBRARY", "/nonexistent/libnvidia-ml.so.1", 1);
  tarn::Nvml nvml;
  std::string why;
  EXPECT_FALSE(nvml.load(&why));
  EXPECT_NE(why.find("cannot load /nonexistent/libnvidia-ml.so.1"), std::string::npos) << why;
  EXPECT_FALSE(nvml.read(nvml.device(0, "")).any());
}

}  // namespace
