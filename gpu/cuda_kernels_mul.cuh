// Multiplication benchmark, check and debug kernels, and their launchers. Part of the one
// device-code module (gpu/cuda_kernels.cu), which includes it last.
#pragma once

#include "field/mul_bodies.h"
#include "gpu/cuda_launch_mul.h"

namespace {

__device__ __forceinline__ uint64_t mul_global_thread() {
  return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

}  // namespace

// The launch has exactly one thread per entry of out, so there is no bounds test.
__global__ void __launch_bounds__(tarn::MUL_MAX_TPB) mulbench_kernel(unsigned long* out,
                                                                     unsigned int iters) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::mulbench_thread<tarn::MulV1>(t, iters);
}

__global__ void __launch_bounds__(tarn::MUL_MAX_TPB) mulbench_v3_kernel(unsigned long* out,
                                                                        unsigned int iters) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::mulbench_thread<tarn::MulV3>(t, iters);
}

__global__ void __launch_bounds__(tarn::MUL_MAX_TPB) mulbench_v4_kernel(unsigned long* out,
                                                                        unsigned int iters) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::mulbench_thread<tarn::MulV4>(t, iters);
}

__global__ void __launch_bounds__(tarn::MUL_MAX_TPB) mulbench_v5_kernel(unsigned long* out,
                                                                        unsigned int iters) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::mulbench_thread<tarn::MulV5>(t, iters);
}

__global__ void __launch_bounds__(tarn::MUL_MAX_TPB) sqrbench_kernel(unsigned long* out,
                                                                     unsigned int iters, int mode) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::sqrbench_thread(t, iters, mode);
}

// Indices 8-15 keep the scrambled inputs for v3 and v4; v5 and the squaring get boundary ones.
__global__ void __launch_bounds__(tarn::MUL_MAX_TPB)
mulcheck_v3_kernel(unsigned long long* mismatches, unsigned int n) {
  tarn::mulcheck_thread<tarn::MulV3>(mismatches, n, mul_global_thread(), false);
}

__global__ void __launch_bounds__(tarn::MUL_MAX_TPB)
mulcheck_v4_kernel(unsigned long long* mismatches, unsigned int n) {
  tarn::mulcheck_thread<tarn::MulV4>(mismatches, n, mul_global_thread(), false);
}

__global__ void __launch_bounds__(tarn::MUL_MAX_TPB)
mulcheck_v5_kernel(unsigned long long* mismatches, unsigned int n) {
  tarn::mulcheck_thread<tarn::MulV5>(mismatches, n, mul_global_thread(), true);
}

__global__ void __launch_bounds__(tarn::MUL_MAX_TPB)
sqrcheck_kernel(unsigned long long* mismatches, unsigned int n) {
  tarn::sqrcheck_thread(mismatches, n, mul_global_thread());
}

__global__ void muldbg_kernel() {
  if (blockIdx.x != 0 || threadIdx.x != 0) return;
  tarn::muldbg_thread();
}

int cuda_launch_mulbench(int form, unsigned int blocks, unsigned int tpb, unsigned long* out,
                         unsigned int iters) {
  switch (form) {
    case 1: mulbench_kernel<<<blocks, tpb>>>(out, iters); break;
    case 3: mulbench_v3_kernel<<<blocks, tpb>>>(out, iters); break;
    case 4: mulbench_v4_kernel<<<blocks, tpb>>>(out, iters); break;
    case 5: mulbench_v5_kernel<<<blocks, tpb>>>(out, iters); break;
    default: return cudaErrorInvalidValue;
  }
  return cudaGetLastError();
}

int cuda_launch_sqrbench(unsigned int blocks, unsigned int tpb, unsigned long* out,
                         unsigned int iters, int mode) {
  sqrbench_kernel<<<blocks, tpb>>>(out, iters, mode);
  return cudaGetLastError();
}

int cuda_launch_mulcheck(int form, unsigned int blocks, unsigned int tpb,
                         unsigned long long* mismatches, unsigned int n) {
  switch (form) {
    case 3: mulcheck_v3_kernel<<<blocks, tpb>>>(mismatches, n); break;
    case 4: mulcheck_v4_kernel<<<blocks, tpb>>>(mismatches, n); break;
    case 5: mulcheck_v5_kernel<<<blocks, tpb>>>(mismatches, n); break;
    default: return cudaErrorInvalidValue;
  }
  return cudaGetLastError();
}

int cuda_launch_sqrcheck(unsigned int blocks, unsigned int tpb, unsigned long long* mismatches,
                         unsigned int n) {
  sqrcheck_kernel<<<blocks, tpb>>>(mismatches, n);
  return cudaGetLastError();
}

int cuda_launch_muldbg() {
  muldbg_kernel<<<1, 1>>>();
  return cudaGetLastError();
}
