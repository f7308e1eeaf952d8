// A worker's sensors: the telemetry line once a minute, and the temperature limit that pauses
// its launches at the limit and resumes them 5 degrees below it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "monitor/stats_board.h"
#include "monitor/telemetry.h"
#include "pool/format_line.h"

namespace tarn {

struct HeatGuard {
  int limit = 0;        // degrees Celsius; 0: off
  Telemetry telemetry;  // the last reading
  bool read = false;    // sensors read at least once
  std::int64_t last_read_ns = 0;
  std::int64_t last_line_ns = 0;
  bool paused = false;
  std::int64_t pauses = 0;
  std::int64_t resumes = 0;
};

// Reads the sensors when a second has passed since the last reading, prints the telemetry line
// once a minute and applies the limit. True while launches are paused for heat; without sensors
// (read_sensors null) never.
bool heat_check(HeatGuard* g, std::int64_t now_ns, const std::function<Telemetry()>& read_sensors,
                const std::string& tag, const PrintLine& print);
// The readings and the limit's state, for the monitor.
void publish_heat(const HeatGuard& g, GpuStats* out);

}  // namespace tarn
