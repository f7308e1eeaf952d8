#include "gpu/host_kernels.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "hash/sponge.h"
#include "search/mine_body.h"

namespace tarn {
namespace host {

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

void hash_full_kernel(const unsigned char* header, const unsigned char* nonce, unsigned char* out) {
  hash_full(header, nonce, out);
}

void midstate_kernel(bool dir, const unsigned char* header, const unsigned char* nonce,
                     unsigned long* out) {
  felt m[12];
  midstate_canonical(header, nonce, m);
  for (int i = 0; i < 12; ++i) out[i] = dir ? m[i] : to_montgomery(m[i]);
}

template <bool DIR>
static void mine_grid(unsigned int blocks, unsigned int tpb, const MineArgs& args) {
  run_grid(blocks, [&](unsigned int block) {
    MineShared shared;
    mine_block_setup<DIR>(args, block, &shared);
    for (unsigned int t = 0; t < tpb; ++t) mine_thread<DIR>(args, shared, block, t, tpb);
  });
}

void mine_kernel(bool dir, unsigned int blocks, unsigned int tpb, const unsigned long* midstate,
                 const unsigned char* start, const unsigned char* target, unsigned long long count,
                 unsigned int per_thread, FoundResult* result) {
  const MineArgs args{midstate, start, target, count, per_thread, result};
  if (dir) {
    mine_grid<true>(blocks, tpb, args);
  } else {
    mine_grid<false>(blocks, tpb, args);
  }
}

}  // namespace host
}  // namespace tarn
