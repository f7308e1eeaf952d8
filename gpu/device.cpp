#include "gpu/device.h"

namespace tarn {

Status status_error(const char* step, const std::string& text) { return Status{step, text}; }

const char kNoNvidiaDriver[] = "no NVIDIA driver found";

std::string no_device_line(const Status& why) {
  if (why.text == kNoNvidiaDriver)
    return std::string(kNoNvidiaDriver) + " \u2014 use --cpu to run on the host";
  std::string line = "no usable CUDA device";
  if (!why.ok()) line += " (" + why.line() + ")";
  line += "; run with --cpu to use the host emulation";
  return line;
}

}  // namespace tarn
