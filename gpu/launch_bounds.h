// The launch bounds of the kernels whose geometry does not depend on the generation; the mining
// kernel's are in field/arch_policy.h with the other per-generation choices. The
// __launch_bounds__ of the device-code module and the host emulation's launch checks both read
// these, so they cannot drift apart.
#pragma once

#include "field/arch_policy.h"

namespace tarn {

// The hardware limit of any block.
constexpr unsigned int kMaxBlockThreads = 1024;

// Blocks per multiprocessor that keep 8192 threads in flight at tpb threads per block.
constexpr unsigned int blocks_per_sm(unsigned int tpb) { return (tpb + 8191u) / tpb; }

// The self-test kernels: the sparse path runs the direction-layout geometry; the verify kernel
// keeps two resident blocks like the counter-layout mining kernel.
constexpr unsigned int kSparseMaxTpb = 512;
constexpr unsigned int kOracleMaxTpb = 256;
constexpr unsigned int kVerifyMaxTpb = 256;
constexpr unsigned int kVerifyMinBlocks = 2;

// The multiplication benchmark and check kernels.
constexpr unsigned int kMulMaxTpb = 256;

}  // namespace tarn
