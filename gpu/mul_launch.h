// Launches of the multiplication benchmark, check and debug kernels on either backend: the CUDA
// module on a GPU, the same per-thread bodies on CPU threads under the host emulation.
#pragma once

#include "gpu/device.h"

namespace tarn {

enum class MulForm { v1, v3, v4, v5 };  // v1 is gf_mul

// blocks x tpb threads, one entry of out each: 8 chains x iters multiplications with form.
Status launch_mulbench(Device* dev, MulForm form, unsigned int blocks, unsigned int tpb,
                       unsigned long* out, unsigned int iters);
// The same with squarings: gf_mul(z, z) when mode is 0, gf_sqr(z) otherwise.
Status launch_sqrbench(Device* dev, unsigned int blocks, unsigned int tpb, unsigned long* out,
                       unsigned int iters, int mode);
// Adds to *mismatches (device memory) the inputs 0 .. n-1 where form (v3, v4 or v5) disagrees
// with gf_mul.
Status launch_mulcheck(Device* dev, MulForm form, unsigned int blocks, unsigned int tpb,
                       unsigned long long* mismatches, unsigned int n);
// The same for gf_sqr(x) against gf_mul(x, x).
Status launch_sqrcheck(Device* dev, unsigned int blocks, unsigned int tpb,
                       unsigned long long* mismatches, unsigned int n);
// One thread prints five products; on a GPU the lines appear at the next synchronize.
Status launch_muldbg(Device* dev);

}  // namespace tarn
