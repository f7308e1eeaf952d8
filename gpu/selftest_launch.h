// Launches of the self-test kernels on either backend: the CUDA module on a GPU, the same kernel
// bodies on CPU threads under the host emulation. Each returns the launch error only;
// completion is the device's synchronize().
#pragma once

#include "gpu/device.h"

struct FoundResult;

namespace tarn {

// Below compute capability 12.0 the kernel does nothing, as the GPU build of those generations.
Status launch_minesparsepath(Device* dev, unsigned int blocks, unsigned int tpb,
                             const unsigned long* midstate, const unsigned char* start_low,
                             const unsigned char* high, const unsigned char* target,
                             const unsigned char* zero_target, unsigned int per_thread,
                             unsigned long* indices, unsigned char* nonces, unsigned char* sparse,
                             unsigned char* direct, unsigned char* decisions, unsigned char* ties,
                             FoundResult* seed);

Status launch_minesparse_full_oracle(Device* dev, unsigned int blocks, unsigned int tpb,
                                     const unsigned char* header, const unsigned char* nonces,
                                     unsigned long count, unsigned char* out);

Status launch_mineverify(Device* dev, unsigned int blocks, unsigned int tpb,
                         const unsigned long* midstate, const unsigned char* low, unsigned int n,
                         unsigned char* hashes, const unsigned char* target,
                         unsigned char* decisions, unsigned char* ties);

}  // namespace tarn
