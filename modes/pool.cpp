// "pool": one worker thread per GPU, each with its own connection to the pool.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gpu/device.h"
#include "modes/modes.h"
#include "pool/stop_signal.h"
#include "pool/supervisor.h"
#include "pool/worker.h"

int run_pool(char const* url, char const* payout, char const* worker, double submit_gap, int ngpu) {
  // Workers print whole lines from several threads; each must reach a pipe or file at once.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  tarn::Status why;
  const int available = tarn::backend().device_count(&why);
  if (available < 1) {
    std::printf("no CUDA devices found\n");
    std::fprintf(stderr, "pool: %s\n", tarn::no_device_line(why).c_str());
    return 1;
  }
  const int used = tarn::pool_gpu_count(ngpu, available);
  std::printf("pool miner: %d GPU(s) of %d available, url=%s payout=%s submit_gap=%.2fs\n", used,
              available, url, payout, submit_gap);

  // Before any thread exists, so every worker sees the same handlers.
  tarn::install_pool_stop_handlers();
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(used));
  for (int i = 0; i < used; ++i) {
    workers.emplace_back(run_pool_device, i, std::string(url), std::string(payout),
                         tarn::pool_worker_name(worker, i, used), submit_gap);
  }
  for (std::thread& t : workers) t.join();
  tarn::restore_pool_stop_handlers();
  return 0;
}
