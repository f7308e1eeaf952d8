// The multiplication kernels on CPU threads.
#include "field/mul_bodies.h"
#include "gpu/host_kernels.h"

namespace tarn {
namespace host {
namespace {

#if defined(TARN_BROKEN_V5)
// Test builds only: v5 off by one when x lies above p, which among the check inputs only the
// boundary operands reach; proves that the check and its report can fail.
struct CheckedV5 {
  static felt mul(felt x, felt y) { return gf_mul_v5(x, y) ^ (x >= GF_P ? 1u : 0u); }
};
#else
using CheckedV5 = MulV5;
#endif

// Calls fn(t) for every thread t of the grid.
template <class Fn>
void each_thread(const Grid& g, Fn fn) {
  run_grid(g.blocks, [&](unsigned int b) {
    for (unsigned int i = 0; i < g.tpb; ++i) fn(static_cast<uint64_t>(b) * g.tpb + i);
  });
}

template <class M>
void bench_form(const MulbenchLaunch& l) {
  each_thread(l.grid, [&](uint64_t t) { l.out[t] = mulbench_thread<M>(t, l.iters); });
}

template <class M>
void check_form(const MulcheckLaunch& l, bool near8) {
  each_thread(l.grid, [&](uint64_t t) { mulcheck_thread<M>(l.mismatches, l.n, t, near8); });
}

}  // namespace

void mulbench(const MulbenchLaunch& l) {
  switch (l.form) {
    case MulForm::v1: bench_form<MulV1>(l); break;
    case MulForm::v3: bench_form<MulV3>(l); break;
    case MulForm::v4: bench_form<MulV4>(l); break;
    case MulForm::v5: bench_form<MulV5>(l); break;
  }
}

void sqrbench(const SqrbenchLaunch& l, int cc) {
  with_policy(cc, [&](auto gen) {
    each_thread(l.grid, [&](uint64_t t) {
      l.out[t] = sqrbench_thread<decltype(gen)::value>(t, l.iters, l.mode);
    });
  });
}

// Indices 8-15 take boundary inputs only in the v5 check.
void mulcheck(const MulcheckLaunch& l) {
  switch (l.form) {
    case MulForm::v3: check_form<MulV3>(l, false); break;
    case MulForm::v4: check_form<MulV4>(l, false); break;
    case MulForm::v5: check_form<CheckedV5>(l, true); break;
    case MulForm::v1: break;
  }
}

void sqrcheck(const SqrcheckLaunch& l, int cc) {
  with_policy(cc, [&](auto gen) {
    each_thread(l.grid, [&](uint64_t t) {
      sqrcheck_thread<decltype(gen)::value>(l.mismatches, l.n, t);
    });
  });
}

void muldbg() { muldbg_thread(); }

}  // namespace host
}  // namespace tarn
