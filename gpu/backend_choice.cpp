// Which backend serves the process: the one place that knows both, so the host part of the
// device layer builds without the CUDA part.
#include "gpu/backends.h"

namespace tarn {
namespace {
Backend* g_backend = nullptr;
}

Backend& backend() {
  if (!g_backend) g_backend = cuda_backend();
  return *g_backend;
}

void use_host_backend(int cc) { g_backend = host_backend(cc); }

}  // namespace tarn
