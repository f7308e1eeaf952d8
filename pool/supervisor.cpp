#include "pool/supervisor.h"

#include <algorithm>

namespace tarn {

int pool_gpu_count(int wanted, int available) { return std::min(std::max(wanted, 1), available); }

std::string pool_worker_name(const std::string& worker, int gpu, int gpus_used) {
  if (gpus_used == 1) return worker;
  return worker + "-gpu" + std::to_string(gpu);
}

}  // namespace tarn
