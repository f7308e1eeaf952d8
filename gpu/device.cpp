#include "gpu/device.h"

namespace tarn {

Status status_error(const char* step, const std::string& text) { return Status{step, text}; }

std::string no_device_line(const Status& why) {
  std::string line = "no usable CUDA device";
  if (!why.ok()) line += " (" + why.line() + ")";
  line += "; run with --cpu to use the host emulation";
  return line;
}

}  // namespace tarn
