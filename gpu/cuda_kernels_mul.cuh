// Multiplication benchmark, check and debug kernels, and their launchers. Part of the one
// device-code module (gpu/cuda_kernels.cu), which includes it last.
#pragma once

#include "field/mul_bodies.h"
#include "gpu/cuda_launch.h"
#include "gpu/launch_bounds.h"

namespace {

__device__ __forceinline__ uint64_t mul_global_thread() {
  return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

}  // namespace

// The launch has exactly one thread per entry of out, so there is no bounds test.
__global__ void __launch_bounds__(tarn::kMulMaxTpb) mulbench_kernel(uint64_t* out,
                                                                     unsigned int iters) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::mulbench_thread<tarn::MulV1>(t, iters);
}

__global__ void __launch_bounds__(tarn::kMulMaxTpb) mulbench_v3_kernel(uint64_t* out,
                                                                        unsigned int iters) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::mulbench_thread<tarn::MulV3>(t, iters);
}

__global__ void __launch_bounds__(tarn::kMulMaxTpb) mulbench_v4_kernel(uint64_t* out,
                                                                        unsigned int iters) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::mulbench_thread<tarn::MulV4>(t, iters);
}

__global__ void __launch_bounds__(tarn::kMulMaxTpb) mulbench_v5_kernel(uint64_t* out,
                                                                        unsigned int iters) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::mulbench_thread<tarn::MulV5>(t, iters);
}

__global__ void __launch_bounds__(tarn::kMulMaxTpb) sqrbench_kernel(uint64_t* out,
                                                                     unsigned int iters, int mode) {
  const uint64_t t = mul_global_thread();
  out[t] = tarn::sqrbench_thread<TARN_ARCH_CC>(t, iters, mode);
}

// Indices 8-15 keep the scrambled inputs for v3 and v4; v5 and the squaring get boundary ones.
__global__ void __launch_bounds__(tarn::kMulMaxTpb)
mulcheck_v3_kernel(unsigned long long* mismatches, unsigned int n) {
  tarn::mulcheck_thread<tarn::MulV3>(mismatches, n, mul_global_thread(), false);
}

__global__ void __launch_bounds__(tarn::kMulMaxTpb)
mulcheck_v4_kernel(unsigned long long* mismatches, unsigned int n) {
  tarn::mulcheck_thread<tarn::MulV4>(mismatches, n, mul_global_thread(), false);
}

__global__ void __launch_bounds__(tarn::kMulMaxTpb)
mulcheck_v5_kernel(unsigned long long* mismatches, unsigned int n) {
  tarn::mulcheck_thread<tarn::MulV5>(mismatches, n, mul_global_thread(), true);
}

__global__ void __launch_bounds__(tarn::kMulMaxTpb)
sqrcheck_kernel(unsigned long long* mismatches, unsigned int n) {
  tarn::sqrcheck_thread<TARN_ARCH_CC>(mismatches, n, mul_global_thread());
}

__global__ void muldbg_kernel() {
  if (blockIdx.x != 0 || threadIdx.x != 0) return;
  tarn::muldbg_thread();
}

namespace tarn {

int cuda_launch(const MulbenchLaunch& l) {
  const dim3 g(l.grid.blocks), b(l.grid.tpb);
  switch (l.form) {
    case MulForm::v1: mulbench_kernel<<<g, b>>>(l.out, l.iters); break;
    case MulForm::v3: mulbench_v3_kernel<<<g, b>>>(l.out, l.iters); break;
    case MulForm::v4: mulbench_v4_kernel<<<g, b>>>(l.out, l.iters); break;
    case MulForm::v5: mulbench_v5_kernel<<<g, b>>>(l.out, l.iters); break;
  }
  return cudaGetLastError();
}

int cuda_launch(const SqrbenchLaunch& l) {
  sqrbench_kernel<<<l.grid.blocks, l.grid.tpb>>>(l.out, l.iters, l.mode);
  return cudaGetLastError();
}

int cuda_launch(const MulcheckLaunch& l) {
  const dim3 g(l.grid.blocks), b(l.grid.tpb);
  switch (l.form) {
    case MulForm::v3: mulcheck_v3_kernel<<<g, b>>>(l.mismatches, l.n); break;
    case MulForm::v4: mulcheck_v4_kernel<<<g, b>>>(l.mismatches, l.n); break;
    case MulForm::v5: mulcheck_v5_kernel<<<g, b>>>(l.mismatches, l.n); break;
    case MulForm::v1: return cudaErrorInvalidValue;  // gf_mul is the reference itself
  }
  return cudaGetLastError();
}

int cuda_launch(const SqrcheckLaunch& l) {
  sqrcheck_kernel<<<l.grid.blocks, l.grid.tpb>>>(l.mismatches, l.n);
  return cudaGetLastError();
}

int cuda_launch(const MuldbgLaunch&) {
  muldbg_kernel<<<1, 1>>>();
  return cudaGetLastError();
}

}  // namespace tarn
