#include "monitor/telemetry_line.h"

#include <cstdio>

namespace tarn {
namespace {

std::string value(const std::optional<unsigned int>& v, const char* unit) {
  return v ? std::to_string(*v) + unit : std::string("n/a");
}

}  // namespace

std::string telemetry_line(const std::string& tag, const Telemetry& t) {
  char power[32] = "n/a";
  if (t.power_w) std::snprintf(power, sizeof power, "%.1fW", *t.power_w);
  return tag + " telemetry: temp=" + value(t.temperature_c, "C") + " power=" + power +
         " fan=" + value(t.fan_percent, "%") + " sm_clock=" + value(t.sm_clock_mhz, "MHz") +
         " util=" + value(t.utilization_percent, "%") + "\n";
}

}  // namespace tarn
