// Self-test kernels: the sparse path with every intermediate written out, the from-scratch hash
// of a nonce list, and the counter-layout mining path check. Included by cuda_kernels.cu.
#pragma once

#include "gpu/cuda_launch_selftest.h"
#include "search/sparse_body.h"
#include "search/verify_body.h"

// The sparse path exists only in the direction-layout builds; below 12.0 the kernel is empty.
__global__ void __launch_bounds__(512, 1)
minesparsepath_kernel(const unsigned long* midstate, const unsigned char* start_low,
                      const unsigned char* high, const unsigned char* target,
                      const unsigned char* zero_target, unsigned int per_thread,
                      unsigned long* indices, unsigned char* nonces, unsigned char* sparse,
                      unsigned char* direct, unsigned char* decisions, unsigned char* ties,
                      FoundResult* seed) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 1200
  __shared__ tarn::MineShared shared;
  const tarn::SparseArgs args{midstate, start_low, high,  target,    per_thread, indices,
                              nonces,   sparse,    direct, decisions, ties,       seed};
  if (threadIdx.x == 0) tarn::sparse_block_setup(args, blockIdx.x, &shared);
  __syncthreads();
  tarn::sparse_thread(args, shared, blockIdx.x, threadIdx.x, blockDim.x);
#endif
}

__global__ void __launch_bounds__(256)
minesparse_full_oracle_kernel(const unsigned char* header, const unsigned char* nonces,
                              unsigned long count, unsigned char* out) {
  const uint64_t g = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  tarn::full_oracle_thread(header, nonces, count, out, g);
}

// Two resident blocks, as the counter-layout mining kernel: without the minimum ptxas settles
// on fewer registers and spills.
__global__ void __launch_bounds__(256, 2)
mineverify_kernel(const unsigned long* midstate, const unsigned char* low, unsigned int n,
                  unsigned char* hashes, const unsigned char* target, unsigned char* decisions,
                  unsigned char* ties) {
  __shared__ tarn::MineShared perm3_first;
  const tarn::VerifyArgs args{midstate, low, n, hashes, target, decisions, ties};
  if (threadIdx.x == 0) tarn::verify_block_setup<TARN_DIR_LAYOUT>(args, &perm3_first);
  __syncthreads();
  tarn::verify_thread(args, perm3_first, blockIdx.x, threadIdx.x, blockDim.x);
}

int cuda_launch_minesparsepath(unsigned int blocks, unsigned int tpb, const unsigned long* midstate,
                               const unsigned char* start_low, const unsigned char* high,
                               const unsigned char* target, const unsigned char* zero_target,
                               unsigned int per_thread, unsigned long* indices,
                               unsigned char* nonces, unsigned char* sparse, unsigned char* direct,
                               unsigned char* decisions, unsigned char* ties, FoundResult* seed) {
  minesparsepath_kernel<<<blocks, tpb>>>(midstate, start_low, high, target, zero_target,
                                         per_thread, indices, nonces, sparse, direct, decisions,
                                         ties, seed);
  return cudaGetLastError();
}

int cuda_launch_minesparse_full_oracle(unsigned int blocks, unsigned int tpb,
                                       const unsigned char* header, const unsigned char* nonces,
                                       unsigned long count, unsigned char* out) {
  minesparse_full_oracle_kernel<<<blocks, tpb>>>(header, nonces, count, out);
  return cudaGetLastError();
}

int cuda_launch_mineverify(unsigned int blocks, unsigned int tpb, const unsigned long* midstate,
                           const unsigned char* low, unsigned int n, unsigned char* hashes,
                           const unsigned char* target, unsigned char* decisions,
                           unsigned char* ties) {
  mineverify_kernel<<<blocks, tpb>>>(midstate, low, n, hashes, target, decisions, ties);
  return cudaGetLastError();
}
