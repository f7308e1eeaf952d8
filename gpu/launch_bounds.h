// The GPU generation's choices in one place: which nonce layout a compute capability uses and
// the launch bounds of every kernel. The __launch_bounds__ of the device-code module and the
// host emulation's launch checks both read these, so they cannot drift apart.
#pragma once

// Compute capability (major x 100 + minor x 10) from which the direction layout is used; a
// preprocessor value because device builds below it compile some kernels empty.
#define TARN_DIR_LAYOUT_CC 1200

#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= TARN_DIR_LAYOUT_CC
#define TARN_DIR_LAYOUT true
#else
#define TARN_DIR_LAYOUT false
#endif

namespace tarn {

constexpr bool direction_layout(int cc) { return cc >= TARN_DIR_LAYOUT_CC; }

// The hardware limit of any block.
constexpr unsigned int kMaxBlockThreads = 1024;

// mine_kernel: 512 threads and one resident block from 12.0 on (a 128-register budget),
// 256 threads and two blocks below.
constexpr unsigned int mine_max_tpb(bool dir) { return dir ? 512u : 256u; }
constexpr unsigned int mine_min_blocks(bool dir) { return dir ? 1u : 2u; }

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
