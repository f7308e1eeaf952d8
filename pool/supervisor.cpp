#include "pool/supervisor.h"

namespace tarn {

std::string pool_worker_name(const std::string& worker, int gpu, int gpus_used) {
  if (gpus_used == 1) return worker;
  return worker + "-gpu" + std::to_string(gpu);
}

}  // namespace tarn
