// The pool mode's once-a-minute sensor line of one GPU.
#pragma once

#include <string>

#include "monitor/telemetry.h"

namespace tarn {

// "[gpu0] telemetry: temp=65C power=251.3W fan=40% sm_clock=1980MHz util=99%", with "n/a" for a
// value the driver did not give.
std::string telemetry_line(const std::string& tag, const Telemetry& t);

}  // namespace tarn
