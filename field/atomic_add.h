// The one atomic the kernels use: on the GPU, and across the host emulation's threads.
#pragma once

#include "field/hd.h"

namespace tarn {

// Adds v to *p and returns the value before (unsigned int or unsigned long long).
template <class T>
TARN_HD T atomic_add(T* p, T v) {
#if defined(__CUDA_ARCH__)
  return atomicAdd(p, v);
#else
  return __atomic_fetch_add(p, v, __ATOMIC_RELAXED);
#endif
}

}  // namespace tarn
