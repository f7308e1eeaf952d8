// Opening the device of a single-GPU mode, with its one-line failure report.
#pragma once

#include <memory>

#include "gpu/device.h"

namespace tarn {

// Device 0 of the current backend, or null after printing "<mode>: ..." on standard error.
std::unique_ptr<Device> open_mode_device(const char* mode);

// Prints "<mode>: <status>" on standard error; returns 1 for use as an exit status.
int report_failure(const char* mode, const Status& s);

}  // namespace tarn
