// The kernels run on CPU threads: the same bodies the GPU module runs, block by block.
#pragma once

#include <functional>

#include "gpu/device.h"

namespace tarn {
namespace host {

// Cores this process may run on (respects taskset and cgroup CPU sets).
unsigned int host_cores();

// Runs fn(block) for every block of the grid, spread over the host's cores.
void run_grid(unsigned int blocks, const std::function<void(unsigned int)>& fn);

// Runs one kernel to completion as a GPU of compute capability cc would, refusing the grids
// that GPU would refuse with the runtime's words.
Status launch(const KernelLaunch& kernel, int cc);

// The multiplication kernels (a file of their own, so a test build can swap in a faulty v5); the
// squarings in the forms of generation cc.
void mulbench(const MulbenchLaunch& l);
void sqrbench(const SqrbenchLaunch& l, int cc);
void mulcheck(const MulcheckLaunch& l);
void sqrcheck(const SqrcheckLaunch& l, int cc);
void muldbg();

}  // namespace host
}  // namespace tarn
