#include "gpu/device.h"

#include "gpu/backends.h"

namespace tarn {
namespace {
Backend* g_backend = nullptr;
}

Status status_error(const char* step, const std::string& text) {
  return Status{step, text};
}

Backend& backend() {
  if (!g_backend) g_backend = cuda_backend();
  return *g_backend;
}

void use_host_backend(int cc) { g_backend = host_backend(cc); }

void use_cuda_backend() { g_backend = cuda_backend(); }

std::string no_device_line(const Status& why) {
  std::string line = "no usable CUDA device";
  if (!why.ok()) line += " (" + why.line() + ")";
  line += "; run with --cpu to use the host emulation";
  return line;
}

}  // namespace tarn
