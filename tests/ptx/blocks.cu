// Each inline PTX block of the arithmetic in a kernel of its own, compiled to PTX (never run) so
// that the test's interpreter executes exactly the code nvcc emits for the block.
#include <cstdint>

#include "tests/ptx/blocks.h"

using namespace tarn;

#define TARN_PTX_KERNEL(name, nin, nout, body) \
  extern "C" __global__ void k_##name(const uint64_t* in, uint64_t* out) body

TARN_PTX_BLOCKS(TARN_PTX_KERNEL)
