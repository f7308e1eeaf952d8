// Marks code compiled for both the GPU and the host; empty under a plain C++ compiler.
#pragma once

#if defined(__CUDACC__)
#define TARN_HD __host__ __device__ __forceinline__
#else
#define TARN_HD inline
#endif

// Round loops stay rolled on the GPU: the body is large and unrolling only costs registers.
#if defined(__CUDA_ARCH__)
#define TARN_NO_UNROLL _Pragma("unroll 1")
#define TARN_UNROLL _Pragma("unroll")
#else
#define TARN_NO_UNROLL
#define TARN_UNROLL
#endif
