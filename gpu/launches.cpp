#include "gpu/launches.h"

namespace tarn {
namespace {

struct Names {
  const char* operator()(const HashFullLaunch&) const { return "hash_full_kernel"; }
  const char* operator()(const MidstateLaunch&) const { return "midstate_kernel"; }
  const char* operator()(const MineLaunch&) const { return "mine_kernel"; }
  const char* operator()(const SparsePathLaunch&) const { return "minesparsepath_kernel"; }
  const char* operator()(const FullOracleLaunch&) const { return "minesparse_full_oracle_kernel"; }
  const char* operator()(const MineVerifyLaunch&) const { return "mineverify_kernel"; }
  const char* operator()(const MulbenchLaunch& l) const {
    switch (l.form) {
      case MulForm::v3: return "mulbench_v3_kernel";
      case MulForm::v4: return "mulbench_v4_kernel";
      case MulForm::v5: return "mulbench_v5_kernel";
      case MulForm::v1: break;
    }
    return "mulbench_kernel";
  }
  const char* operator()(const SqrbenchLaunch&) const { return "sqrbench_kernel"; }
  const char* operator()(const MulcheckLaunch& l) const {
    switch (l.form) {
      case MulForm::v3: return "mulcheck_v3_kernel";
      case MulForm::v4: return "mulcheck_v4_kernel";
      case MulForm::v5: return "mulcheck_v5_kernel";
      case MulForm::v1: break;
    }
    return "mulcheck_kernel";
  }
  const char* operator()(const SqrcheckLaunch&) const { return "sqrcheck_kernel"; }
  const char* operator()(const MuldbgLaunch&) const { return "muldbg_kernel"; }
};

}  // namespace

const char* kernel_name(const KernelLaunch& k) { return std::visit(Names{}, k); }

}  // namespace tarn
