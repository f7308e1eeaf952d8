// One reading of a GPU's sensors. A value the driver did not give is absent, never zero.
#pragma once

#include <optional>

namespace tarn {

struct Telemetry {
  std::optional<unsigned int> temperature_c;
  std::optional<double> power_w;
  std::optional<unsigned int> fan_percent;
  std::optional<unsigned int> sm_clock_mhz;
  std::optional<unsigned int> utilization_percent;

  bool any() const {
    return temperature_c || power_w || fan_percent || sm_clock_mhz || utilization_percent;
  }
};

}  // namespace tarn
