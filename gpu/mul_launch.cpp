#include "gpu/mul_launch.h"

#include <cuda_runtime_api.h>

#include <string>

#include "field/mul_bodies.h"
#include "gpu/cuda_launch_mul.h"
#include "gpu/host_kernels.h"

namespace tarn {
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

Status cuda_status(const char* kernel, int e) {
  if (e == cudaSuccess) return Status{};
  return status_error((std::string(kernel) + " launch").c_str(),
                      cudaGetErrorString(static_cast<cudaError_t>(e)));
}

// The GPU's launch limits, so a bad configuration fails under the emulation as it would there.
Status host_grid(const char* kernel, unsigned int blocks, unsigned int tpb) {
  const std::string step = std::string(kernel) + " launch";
  if (blocks == 0 || tpb == 0 || tpb > 1024)
    return status_error(step.c_str(), "invalid configuration argument");
  if (tpb > MUL_MAX_TPB)
    return status_error(step.c_str(), "too many resources requested for launch");
  return Status{};
}

template <class M>
void host_mulbench(unsigned int blocks, unsigned int tpb, unsigned long* out, unsigned int iters) {
  host::run_grid(blocks, [&](unsigned int b) {
    for (unsigned int i = 0; i < tpb; ++i) {
      const uint64_t t = static_cast<uint64_t>(b) * tpb + i;
      out[t] = mulbench_thread<M>(t, iters);
    }
  });
}

template <class M>
void host_mulcheck(unsigned int blocks, unsigned int tpb, unsigned long long* mismatches,
                   unsigned int n, bool near8) {
  host::run_grid(blocks, [&](unsigned int b) {
    for (unsigned int i = 0; i < tpb; ++i)
      mulcheck_thread<M>(mismatches, n, static_cast<uint64_t>(b) * tpb + i, near8);
  });
}

const char* bench_name(MulForm form) {
  switch (form) {
    case MulForm::v1: return "mulbench_kernel";
    case MulForm::v3: return "mulbench_v3_kernel";
    case MulForm::v4: return "mulbench_v4_kernel";
    case MulForm::v5: return "mulbench_v5_kernel";
  }
  return "mulbench_kernel";
}

const char* check_name(MulForm form) {
  switch (form) {
    case MulForm::v3: return "mulcheck_v3_kernel";
    case MulForm::v4: return "mulcheck_v4_kernel";
    case MulForm::v5: return "mulcheck_v5_kernel";
    case MulForm::v1: break;
  }
  return "mulcheck_kernel";
}

int form_number(MulForm form) {
  switch (form) {
    case MulForm::v1: return 1;
    case MulForm::v3: return 3;
    case MulForm::v4: return 4;
    case MulForm::v5: return 5;
  }
  return 0;
}

}  // namespace

Status launch_mulbench(Device* dev, MulForm form, unsigned int blocks, unsigned int tpb,
                       unsigned long* out, unsigned int iters) {
  const char* name = bench_name(form);
  if (!dev->is_host())
    return cuda_status(name, cuda_launch_mulbench(form_number(form), blocks, tpb, out, iters));
  Status s = host_grid(name, blocks, tpb);
  if (!s.ok()) return s;
  switch (form) {
    case MulForm::v1: host_mulbench<MulV1>(blocks, tpb, out, iters); break;
    case MulForm::v3: host_mulbench<MulV3>(blocks, tpb, out, iters); break;
    case MulForm::v4: host_mulbench<MulV4>(blocks, tpb, out, iters); break;
    case MulForm::v5: host_mulbench<MulV5>(blocks, tpb, out, iters); break;
  }
  return s;
}

Status launch_sqrbench(Device* dev, unsigned int blocks, unsigned int tpb, unsigned long* out,
                       unsigned int iters, int mode) {
  if (!dev->is_host())
    return cuda_status("sqrbench_kernel", cuda_launch_sqrbench(blocks, tpb, out, iters, mode));
  Status s = host_grid("sqrbench_kernel", blocks, tpb);
  if (!s.ok()) return s;
  host::run_grid(blocks, [&](unsigned int b) {
    for (unsigned int i = 0; i < tpb; ++i) {
      const uint64_t t = static_cast<uint64_t>(b) * tpb + i;
      out[t] = sqrbench_thread(t, iters, mode);
    }
  });
  return s;
}

Status launch_mulcheck(Device* dev, MulForm form, unsigned int blocks, unsigned int tpb,
                       unsigned long long* mismatches, unsigned int n) {
  const char* name = check_name(form);
  if (form == MulForm::v1)
    return status_error((std::string(name) + " launch").c_str(), "invalid argument");
  if (!dev->is_host())
    return cuda_status(name, cuda_launch_mulcheck(form_number(form), blocks, tpb, mismatches, n));
  Status s = host_grid(name, blocks, tpb);
  if (!s.ok()) return s;
  // Indices 8-15 take boundary inputs only in the v5 check.
  switch (form) {
    case MulForm::v3: host_mulcheck<MulV3>(blocks, tpb, mismatches, n, false); break;
    case MulForm::v4: host_mulcheck<MulV4>(blocks, tpb, mismatches, n, false); break;
    case MulForm::v5: host_mulcheck<CheckedV5>(blocks, tpb, mismatches, n, true); break;
    case MulForm::v1: break;
  }
  return s;
}

Status launch_sqrcheck(Device* dev, unsigned int blocks, unsigned int tpb,
                       unsigned long long* mismatches, unsigned int n) {
  if (!dev->is_host())
    return cuda_status("sqrcheck_kernel", cuda_launch_sqrcheck(blocks, tpb, mismatches, n));
  Status s = host_grid("sqrcheck_kernel", blocks, tpb);
  if (!s.ok()) return s;
  host::run_grid(blocks, [&](unsigned int b) {
    for (unsigned int i = 0; i < tpb; ++i)
      sqrcheck_thread(mismatches, n, static_cast<uint64_t>(b) * tpb + i);
  });
  return s;
}

Status launch_muldbg(Device* dev) {
  if (!dev->is_host()) return cuda_status("muldbg_kernel", cuda_launch_muldbg());
  muldbg_thread();
  return Status{};
}

}  // namespace tarn
