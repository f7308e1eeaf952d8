// The device-code module: the constant tables and every kernel, built once per architecture.
#include <cuda_runtime.h>

#include "gpu/cuda_launch.h"
#include "gpu/launch_bounds.h"
#include "hash/sponge.h"
#include "search/mine_body.h"

__global__ void hash_full_kernel(const unsigned char* header, const unsigned char* nonce,
                                 unsigned char* out) {
  if (blockIdx.x != 0 || threadIdx.x != 0) return;
  tarn::hash_full<TARN_ARCH_CC>(header, nonce, out);
}

__global__ void midstate_kernel(const unsigned char* header, const unsigned char* nonce,
                                uint64_t* out) {
  if (blockIdx.x != 0 || threadIdx.x != 0) return;
  tarn::felt m[12];
  tarn::midstate_canonical<TARN_ARCH_CC>(header, nonce, m);
  constexpr bool dir = tarn::direction_layout(TARN_ARCH_CC);
  for (int i = 0; i < 12; ++i) out[i] = dir ? m[i] : tarn::to_montgomery(m[i]);
}

__global__ void __launch_bounds__(tarn::policy_for(TARN_ARCH_CC).mine_tpb,
                                  tarn::policy_for(TARN_ARCH_CC).mine_min_blocks)
mine_kernel(const uint64_t* midstate, const unsigned char* start,
            const unsigned char* target, unsigned long long count, unsigned int per_thread,
            FoundResult* result) {
  __shared__ tarn::MineShared shared;
  const tarn::MineArgs args{midstate, start, target, count, per_thread, result};
  if (threadIdx.x == 0) tarn::mine_block_setup<TARN_ARCH_CC>(args, blockIdx.x, &shared);
  __syncthreads();
  tarn::mine_thread<TARN_ARCH_CC>(args, shared, blockIdx.x, threadIdx.x, blockDim.x);
}

namespace tarn {

int cuda_launch(const HashFullLaunch& l) {
  hash_full_kernel<<<1, 1>>>(l.header, l.nonce, l.out);
  return cudaGetLastError();
}

int cuda_launch(const MidstateLaunch& l) {
  midstate_kernel<<<1, 1>>>(l.header, l.prefix, l.out);
  return cudaGetLastError();
}

int cuda_launch(const MineLaunch& l) {
  mine_kernel<<<l.grid.blocks, l.grid.tpb>>>(l.midstate, l.start, l.target, l.count, l.per_thread,
                                             l.result);
  return cudaGetLastError();
}

}  // namespace tarn

// Kernels of the self-tests and of the multiplication benchmark.
#include "gpu/cuda_kernels_selftest.cuh"
#include "gpu/cuda_kernels_mul.cuh"
