// The field's epsilon as a device constant-memory symbol, which every reduction on the GPU reads.
#pragma once

#include <cstdint>

#if defined(__CUDACC__)
// Defined, not declared extern: the kernels form one translation unit built without relocatable
// device code, and that unit is the only CUDA source that includes the arithmetic headers.
__constant__ uint32_t addend_epsilon32 = 0xFFFFFFFFu;
#endif
