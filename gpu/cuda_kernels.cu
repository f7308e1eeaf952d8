// The device-code module: the constant tables and every kernel, built once per architecture.
#include <cuda_runtime.h>

// The constant symbols come first: the arithmetic headers refer to them by name.
#include "gpu/device_constants.cuh"

#include "gpu/cuda_launch.h"
#include "hash/sponge.h"
#include "search/mine_body.h"

// 12.0 and up: direction layout, canonical midstate, up to 512 threads per block.
// Below: counter layout, Montgomery midstate, up to 256 threads per block.
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 1200
#define TARN_DIR_LAYOUT true
#define TARN_MINE_MAX_TPB 512
#define TARN_MINE_MIN_BLOCKS 1
#else
#define TARN_DIR_LAYOUT false
#define TARN_MINE_MAX_TPB 256
#define TARN_MINE_MIN_BLOCKS 2
#endif

__global__ void hash_full_kernel(const unsigned char* header, const unsigned char* nonce,
                                 unsigned char* out) {
  if (blockIdx.x != 0 || threadIdx.x != 0) return;
  tarn::hash_full(header, nonce, out);
}

__global__ void midstate_kernel(const unsigned char* header, const unsigned char* nonce,
                                unsigned long* out) {
  if (blockIdx.x != 0 || threadIdx.x != 0) return;
  tarn::felt m[12];
  tarn::midstate_canonical(header, nonce, m);
  for (int i = 0; i < 12; ++i) out[i] = TARN_DIR_LAYOUT ? m[i] : tarn::to_montgomery(m[i]);
}

__global__ void __launch_bounds__(TARN_MINE_MAX_TPB, TARN_MINE_MIN_BLOCKS)
mine_kernel(const unsigned long* midstate, const unsigned char* start,
            const unsigned char* target, unsigned long long count, unsigned int per_thread,
            FoundResult* result) {
  __shared__ tarn::MineShared shared;
  const tarn::MineArgs args{midstate, start, target, count, per_thread, result};
  if (threadIdx.x == 0) tarn::mine_block_setup<TARN_DIR_LAYOUT>(args, blockIdx.x, &shared);
  __syncthreads();
  tarn::mine_thread<TARN_DIR_LAYOUT>(args, shared, blockIdx.x, threadIdx.x, blockDim.x);
}

int cuda_launch_hash_full(const unsigned char* header, const unsigned char* nonce,
                          unsigned char* out) {
  hash_full_kernel<<<1, 1>>>(header, nonce, out);
  return cudaGetLastError();
}

int cuda_launch_midstate(const unsigned char* header, const unsigned char* nonce,
                         unsigned long* out) {
  midstate_kernel<<<1, 1>>>(header, nonce, out);
  return cudaGetLastError();
}

int cuda_launch_mine(unsigned int blocks, unsigned int tpb, const unsigned long* midstate,
                     const unsigned char* start, const unsigned char* target,
                     unsigned long long count, unsigned int per_thread, FoundResult* result) {
  mine_kernel<<<blocks, tpb>>>(midstate, start, target, count, per_thread, result);
  return cudaGetLastError();
}

// Kernels of the self-tests and of the multiplication benchmark.
#include "gpu/cuda_kernels_selftest.cuh"
#include "gpu/cuda_kernels_mul.cuh"
