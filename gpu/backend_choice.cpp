// Which backend serves the process: the one place that knows both, so the host part of the
// device layer builds without the CUDA part.
#include "gpu/backends.h"

namespace tarn {
namespace {
Backend* g_backend = nullptr;
Backend* (*g_wrap)(Backend*) = nullptr;

Backend* chosen(Backend* b) { return g_wrap ? g_wrap(b) : b; }
}  // namespace

Backend& backend() {
  if (!g_backend) g_backend = chosen(cuda_backend());
  return *g_backend;
}

void use_host_backend(int cc) { g_backend = chosen(host_backend(cc)); }

void decorate_backend(Backend* (*wrap)(Backend* chosen)) { g_wrap = wrap; }

}  // namespace tarn
