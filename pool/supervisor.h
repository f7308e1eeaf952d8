// The name each pool worker gives itself.
#pragma once

#include <string>

namespace tarn {

// The worker argument itself on one GPU; otherwise "<worker>-gpu<i>".
std::string pool_worker_name(const std::string& worker, int gpu, int gpus_used);

}  // namespace tarn
