// Self-test kernels: the sparse path with every intermediate written out, the from-scratch hash
// of a nonce list, and the counter-layout mining path check. Included by cuda_kernels.cu.
#pragma once

#include "gpu/cuda_launch.h"
#include "gpu/launch_bounds.h"
#include "search/sparse_body.h"
#include "search/verify_body.h"

// The sparse path exists only in the direction-layout builds; below 12.0 the kernel is empty.
template <int CC>
__device__ void sparse_path_block(const tarn::SparseArgs& args) {
  if constexpr (tarn::direction_layout(CC)) {
    __shared__ tarn::MineShared shared;
    if (threadIdx.x == 0) tarn::sparse_block_setup<CC>(args, blockIdx.x, &shared);
    __syncthreads();
    tarn::sparse_thread<CC>(args, shared, blockIdx.x, threadIdx.x, blockDim.x);
  }
}

__global__ void __launch_bounds__(tarn::kSparseMaxTpb, 1)
minesparsepath_kernel(const uint64_t* midstate, const unsigned char* start_low,
                      const unsigned char* high, const unsigned char* target,
                      const unsigned char* zero_target, unsigned int per_thread,
                      uint64_t* indices, unsigned char* nonces, unsigned char* sparse,
                      unsigned char* direct, unsigned char* decisions, unsigned char* ties,
                      FoundResult* seed) {
  sparse_path_block<TARN_ARCH_CC>({midstate, start_low, high, target, per_thread, indices,
                                   nonces, sparse, direct, decisions, ties, seed});
}

__global__ void __launch_bounds__(tarn::kOracleMaxTpb)
minesparse_full_oracle_kernel(const unsigned char* header, const unsigned char* nonces,
                              uint64_t count, unsigned char* out) {
  const uint64_t g = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  tarn::full_oracle_thread<TARN_ARCH_CC>(header, nonces, count, out, g);
}

// Two resident blocks, as the counter-layout mining kernel: without the minimum ptxas settles
// on fewer registers and spills.
__global__ void __launch_bounds__(tarn::kVerifyMaxTpb, tarn::kVerifyMinBlocks)
mineverify_kernel(const uint64_t* midstate, const unsigned char* low, unsigned int n,
                  unsigned char* hashes, const unsigned char* target, unsigned char* decisions,
                  unsigned char* ties) {
  __shared__ tarn::MineShared perm3_first;
  const tarn::VerifyArgs args{midstate, low, n, hashes, target, decisions, ties};
  if (threadIdx.x == 0) tarn::verify_block_setup<TARN_ARCH_CC>(args, &perm3_first);
  __syncthreads();
  tarn::verify_thread<TARN_ARCH_CC>(args, perm3_first, blockIdx.x, threadIdx.x, blockDim.x);
}

namespace tarn {

int cuda_launch(const SparsePathLaunch& l) {
  minesparsepath_kernel<<<l.grid.blocks, l.grid.tpb>>>(
      l.midstate, l.start_low, l.high, l.target, l.zero_target, l.per_thread, l.indices, l.nonces,
      l.sparse, l.direct, l.decisions, l.ties, l.seed);
  return cudaGetLastError();
}

int cuda_launch(const FullOracleLaunch& l) {
  minesparse_full_oracle_kernel<<<l.grid.blocks, l.grid.tpb>>>(l.header, l.nonces, l.count, l.out);
  return cudaGetLastError();
}

int cuda_launch(const MineVerifyLaunch& l) {
  mineverify_kernel<<<l.grid.blocks, l.grid.tpb>>>(l.midstate, l.low, l.n, l.hashes, l.target,
                                                   l.decisions, l.ties);
  return cudaGetLastError();
}

}  // namespace tarn
