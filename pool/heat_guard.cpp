#include "pool/heat_guard.h"

#include "monitor/telemetry_line.h"
#include "util/clock.h"

namespace tarn {
namespace {

constexpr double kSensorSeconds = 1.0;
constexpr double kTelemetryLineSeconds = 60.0;
constexpr unsigned int kHysteresis = 5;

}  // namespace

bool heat_check(HeatGuard* g, std::int64_t now_ns, const std::function<Telemetry()>& read_sensors,
                const std::string& tag, const PrintLine& print) {
  if (!read_sensors) return false;
  if (g->read && seconds_between(g->last_read_ns, now_ns) < kSensorSeconds) return g->paused;
  // The first telemetry line comes a minute after the first reading.
  if (!g->read) g->last_line_ns = now_ns;
  g->read = true;
  g->last_read_ns = now_ns;
  g->telemetry = read_sensors();

  if (seconds_between(g->last_line_ns, now_ns) >= kTelemetryLineSeconds) {
    g->last_line_ns = now_ns;
    if (g->telemetry.any()) print(telemetry_line(tag, g->telemetry));
  }

  // Without a reading the state stays as it is: a GPU paused for heat is not resumed blind.
  if (g->limit <= 0 || !g->telemetry.temperature_c) return g->paused;
  const unsigned int t = *g->telemetry.temperature_c;
  const unsigned int limit = static_cast<unsigned int>(g->limit);
  if (!g->paused && t >= limit) {
    g->paused = true;
    ++g->pauses;
    print(format_line("%s temperature %uC reached the limit of %dC: launches paused\n",
                      tag.c_str(), t, g->limit));
  } else if (g->paused && t + kHysteresis <= limit) {
    g->paused = false;
    ++g->resumes;
    print(format_line("%s temperature %uC: launches resumed\n", tag.c_str(), t));
  }
  return g->paused;
}

void publish_heat(const HeatGuard& g, GpuStats* out) {
  out->telemetry = g.telemetry;
  out->temp_limit = g.limit;
  out->temp_paused = g.paused;
  out->temp_pauses = g.pauses;
  out->temp_resumes = g.resumes;
}

}  // namespace tarn
