#include "gpu/host_kernels.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "hash/sponge.h"
#include "search/mine_body.h"
#include "search/sparse_body.h"
#include "search/verify_body.h"

namespace tarn {
namespace host {
namespace {

// The kernel's launch bound; 0 for the single-thread kernels, which take no grid.
struct MaxTpb {
  int cc;
  unsigned int operator()(const MineLaunch&) const { return policy_for(cc).mine_tpb; }
  unsigned int operator()(const SparsePathLaunch&) const { return kSparseMaxTpb; }
  unsigned int operator()(const FullOracleLaunch&) const { return kOracleMaxTpb; }
  unsigned int operator()(const MineVerifyLaunch&) const { return kVerifyMaxTpb; }
  unsigned int operator()(const MulbenchLaunch&) const { return kMulMaxTpb; }
  unsigned int operator()(const SqrbenchLaunch&) const { return kMulMaxTpb; }
  unsigned int operator()(const MulcheckLaunch&) const { return kMulMaxTpb; }
  unsigned int operator()(const SqrcheckLaunch&) const { return kMulMaxTpb; }
  unsigned int operator()(const HashFullLaunch&) const { return 0; }
  unsigned int operator()(const MidstateLaunch&) const { return 0; }
  unsigned int operator()(const MuldbgLaunch&) const { return 0; }
};

struct GridOf {
  template <class L>
  Grid operator()(const L& l) const { return l.grid; }
  Grid operator()(const HashFullLaunch&) const { return Grid{}; }
  Grid operator()(const MidstateLaunch&) const { return Grid{}; }
  Grid operator()(const MuldbgLaunch&) const { return Grid{}; }
};

// Runs a kernel whose grid has been checked, as a build for generation CC would (one instance
// per range of field/arch_policy.h).
template <int CC>
struct Run {
  static constexpr bool kDir = direction_layout(CC);

  void operator()(const HashFullLaunch& l) const { hash_full<CC>(l.header, l.nonce, l.out); }
  void operator()(const MidstateLaunch& l) const {
    felt m[12];
    midstate_canonical<CC>(l.header, l.prefix, m);
    for (int i = 0; i < 12; ++i) l.out[i] = kDir ? m[i] : to_montgomery(m[i]);
  }
  void operator()(const MineLaunch& l) const {
    const MineArgs args{l.midstate, l.start, l.target, l.count, l.per_thread, l.result};
    run_grid(l.grid.blocks, [&](unsigned int block) {
      MineShared shared;
      mine_block_setup<CC>(args, block, &shared);
      for (unsigned int t = 0; t < l.grid.tpb; ++t)
        mine_thread<CC>(args, shared, block, t, l.grid.tpb);
    });
  }
  void operator()(const SparsePathLaunch& l) const {
    if constexpr (kDir) {  // the builds below 12.0 compile this kernel empty
      const SparseArgs args{l.midstate, l.start_low, l.high,   l.target,    l.per_thread, l.indices,
                            l.nonces,   l.sparse,    l.direct, l.decisions, l.ties,       l.seed};
      run_grid(l.grid.blocks, [&](unsigned int block) {
        MineShared shared;
        sparse_block_setup<CC>(args, block, &shared);
        for (unsigned int t = 0; t < l.grid.tpb; ++t)
          sparse_thread<CC>(args, shared, block, t, l.grid.tpb);
      });
    }
  }
  void operator()(const FullOracleLaunch& l) const {
    run_grid(l.grid.blocks, [&](unsigned int block) {
      for (unsigned int t = 0; t < l.grid.tpb; ++t)
        full_oracle_thread<CC>(l.header, l.nonces, l.count, l.out,
                               static_cast<uint64_t>(block) * l.grid.tpb + t);
    });
  }
  void operator()(const MineVerifyLaunch& l) const {
    const VerifyArgs args{l.midstate, l.low, l.n, l.hashes, l.target, l.decisions, l.ties};
    run_grid(l.grid.blocks, [&](unsigned int block) {
      MineShared perm3_first;
      verify_block_setup<CC>(args, &perm3_first);
      for (unsigned int t = 0; t < l.grid.tpb; ++t)
        verify_thread<CC>(args, perm3_first, block, t, l.grid.tpb);
    });
  }
  void operator()(const MulbenchLaunch& l) const { mulbench(l); }
  void operator()(const SqrbenchLaunch& l) const { sqrbench(l, CC); }
  void operator()(const MulcheckLaunch& l) const { mulcheck(l); }
  void operator()(const SqrcheckLaunch& l) const { sqrcheck(l, CC); }
  void operator()(const MuldbgLaunch&) const { muldbg(); }
};

}  // namespace

unsigned int host_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

void run_grid(unsigned int blocks, const std::function<void(unsigned int)>& fn) {
  const unsigned int cores = host_cores();
  const unsigned int workers = std::min(blocks, cores);
  if (workers <= 1) {
    for (unsigned int b = 0; b < blocks; ++b) fn(b);
    return;
  }
  std::atomic<unsigned int> next{0};
  auto work = [&] {
    for (unsigned int b = next.fetch_add(1); b < blocks; b = next.fetch_add(1)) fn(b);
  };
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (unsigned int i = 1; i < workers; ++i) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
}

Status launch(const KernelLaunch& kernel, int cc) {
  const std::string step = std::string(kernel_name(kernel)) + " launch";
  const unsigned int max_tpb = std::visit(MaxTpb{cc}, kernel);
  if (max_tpb != 0) {
    const Grid g = std::visit(GridOf{}, kernel);
    if (g.blocks == 0 || g.tpb == 0 || g.tpb > kMaxBlockThreads)
      return status_error(step.c_str(), "invalid configuration argument");
    if (g.tpb > max_tpb) return status_error(step.c_str(), "too many resources requested for launch");
  }
  if (const auto* m = std::get_if<MulcheckLaunch>(&kernel); m && m->form == MulForm::v1)
    return status_error(step.c_str(), "invalid argument");  // gf_mul is the reference itself
  with_policy(cc, [&](auto gen) { std::visit(Run<decltype(gen)::value>{}, kernel); });
  return Status{};
}

}  // namespace host
}  // namespace tarn
