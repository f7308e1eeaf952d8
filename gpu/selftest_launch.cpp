#include "gpu/selftest_launch.h"

#include <cuda_runtime_api.h>

#include <string>

#include "gpu/cuda_launch_selftest.h"
#include "gpu/host_kernels.h"
#include "search/sparse_body.h"
#include "search/verify_body.h"

namespace tarn {
namespace {

// The launch bounds the GPU module declares for these kernels.
constexpr unsigned int kMaxBlockThreads = 1024;
constexpr unsigned int kSparseMaxTpb = 512;
constexpr unsigned int kOracleMaxTpb = 256;
constexpr unsigned int kVerifyMaxTpb = 256;

Status cuda_status(const char* kernel, int e) {
  if (e == 0) return Status{};
  return status_error((std::string(kernel) + " launch").c_str(),
                      cudaGetErrorString(static_cast<cudaError_t>(e)));
}

// The host emulation refuses what the GPU would refuse, with the runtime's words.
Status check_grid(const char* kernel, unsigned int blocks, unsigned int tpb, unsigned int max_tpb) {
  const std::string step = std::string(kernel) + " launch";
  if (blocks == 0 || tpb == 0 || tpb > kMaxBlockThreads)
    return status_error(step.c_str(), "invalid configuration argument");
  if (tpb > max_tpb) return status_error(step.c_str(), "too many resources requested for launch");
  return Status{};
}

template <bool DIR>
void verify_grid(unsigned int blocks, unsigned int tpb, const VerifyArgs& args) {
  host::run_grid(blocks, [&](unsigned int block) {
    MineShared perm3_first;
    verify_block_setup<DIR>(args, &perm3_first);
    for (unsigned int t = 0; t < tpb; ++t) verify_thread(args, perm3_first, block, t, tpb);
  });
}

}  // namespace

Status launch_minesparsepath(Device* dev, unsigned int blocks, unsigned int tpb,
                             const unsigned long* midstate, const unsigned char* start_low,
                             const unsigned char* high, const unsigned char* target,
                             const unsigned char* zero_target, unsigned int per_thread,
                             unsigned long* indices, unsigned char* nonces, unsigned char* sparse,
                             unsigned char* direct, unsigned char* decisions, unsigned char* ties,
                             FoundResult* seed) {
  const char* name = "minesparsepath_kernel";
  if (!dev->is_host())
    return cuda_status(name, cuda_launch_minesparsepath(blocks, tpb, midstate, start_low, high,
                                                        target, zero_target, per_thread, indices,
                                                        nonces, sparse, direct, decisions, ties,
                                                        seed));
  Status s = check_grid(name, blocks, tpb, kSparseMaxTpb);
  if (!s.ok() || dev->info().cc() < 1200) return s;
  const SparseArgs args{midstate, start_low, high,      target, per_thread, indices,
                        nonces,   sparse,    direct,    decisions, ties,    seed};
  host::run_grid(blocks, [&](unsigned int block) {
    MineShared shared;
    sparse_block_setup(args, block, &shared);
    for (unsigned int t = 0; t < tpb; ++t) sparse_thread(args, shared, block, t, tpb);
  });
  return s;
}

Status launch_minesparse_full_oracle(Device* dev, unsigned int blocks, unsigned int tpb,
                                     const unsigned char* header, const unsigned char* nonces,
                                     unsigned long count, unsigned char* out) {
  const char* name = "minesparse_full_oracle_kernel";
  if (!dev->is_host())
    return cuda_status(name, cuda_launch_minesparse_full_oracle(blocks, tpb, header, nonces,
                                                                count, out));
  Status s = check_grid(name, blocks, tpb, kOracleMaxTpb);
  if (!s.ok()) return s;
  host::run_grid(blocks, [&](unsigned int block) {
    for (unsigned int t = 0; t < tpb; ++t)
      full_oracle_thread(header, nonces, count, out, static_cast<uint64_t>(block) * tpb + t);
  });
  return s;
}

Status launch_mineverify(Device* dev, unsigned int blocks, unsigned int tpb,
                         const unsigned long* midstate, const unsigned char* low, unsigned int n,
                         unsigned char* hashes, const unsigned char* target,
                         unsigned char* decisions, unsigned char* ties) {
  const char* name = "mineverify_kernel";
  if (!dev->is_host())
    return cuda_status(name, cuda_launch_mineverify(blocks, tpb, midstate, low, n, hashes, target,
                                                    decisions, ties));
  Status s = check_grid(name, blocks, tpb, kVerifyMaxTpb);
  if (!s.ok()) return s;
  const VerifyArgs args{midstate, low, n, hashes, target, decisions, ties};
  if (dev->info().cc() >= 1200) {
    verify_grid<true>(blocks, tpb, args);
  } else {
    verify_grid<false>(blocks, tpb, args);
  }
  return s;
}

}  // namespace tarn
