// The two implementations of the device layer.
#pragma once

#include "gpu/device.h"

namespace tarn {

// The CUDA runtime; in a build without the CUDA part, a backend without devices that says why.
Backend* cuda_backend();
// Host emulation reporting a virtual device of compute capability cc (e.g. 86 = 8.6, 120 = 12.0).
Backend* host_backend(int cc);

// Every backend chosen from now on is passed through wrap first. For test programs that inject
// device faults; the shipped program never calls it, so no option can reach it.
void decorate_backend(Backend* (*wrap)(Backend* chosen));

}  // namespace tarn
