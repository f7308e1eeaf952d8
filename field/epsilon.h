// The field's epsilon (2^32 - 1) as the reductions read it: from constant memory on the GPU.
#pragma once

#include <cstdint>

#include "field/device_epsilon.h"
#include "field/hd.h"

namespace tarn {

TARN_HD uint32_t tarn_epsilon() {
#if defined(__CUDA_ARCH__)
  return ::addend_epsilon32;
#else
  return 0xFFFFFFFFu;
#endif
}

}  // namespace tarn
