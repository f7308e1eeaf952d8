// The kernels run on CPU threads: the same bodies the GPU module runs, block by block.
#pragma once

#include <functional>

struct FoundResult;

namespace tarn {
namespace host {

// Cores this process may run on (respects taskset and cgroup CPU sets).
unsigned int host_cores();

// Runs fn(block) for every block of the grid, spread over the host's cores.
void run_grid(unsigned int blocks, const std::function<void(unsigned int)>& fn);

void hash_full_kernel(const unsigned char* header, const unsigned char* nonce, unsigned char* out);
// dir: the virtual device's layout (12.0 and up); below it the midstate is in Montgomery form.
void midstate_kernel(bool dir, const unsigned char* header, const unsigned char* nonce,
                     unsigned long* out);
void mine_kernel(bool dir, unsigned int blocks, unsigned int tpb, const unsigned long* midstate,
                 const unsigned char* start, const unsigned char* target, unsigned long long count,
                 unsigned int per_thread, FoundResult* result);

}  // namespace host
}  // namespace tarn
