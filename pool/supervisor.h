// How the pool mode spreads itself over the devices.
#pragma once

#include <string>

namespace tarn {

// The number of GPUs wanted, raised to at least 1 and capped at the number available.
int pool_gpu_count(int wanted, int available);

// The worker argument itself on one GPU; otherwise "<worker>-gpu<i>".
std::string pool_worker_name(const std::string& worker, int gpu, int gpus_used);

}  // namespace tarn
