// The self-test modes' bodies on a given device and streams, so tests can inject faults.
#pragma once

#include <cstdio>

#include "gpu/device.h"

namespace tarn {

int run_minesparsepath_on(Device* dev, FILE* out);
int run_minev_on(Device* dev, const char* hdr, const char* start, FILE* in, FILE* out, FILE* err);

}  // namespace tarn
