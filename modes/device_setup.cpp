#include "modes/device_setup.h"

#include <cstdio>

namespace tarn {

std::unique_ptr<Device> open_mode_device(const char* mode) {
  Status why;
  if (backend().device_count(&why) < 1) {
    std::fprintf(stderr, "%s: %s\n", mode, no_device_line(why).c_str());
    return nullptr;
  }
  std::unique_ptr<Device> dev = backend().open(0, &why);
  if (!dev) std::fprintf(stderr, "%s: cannot open device 0: %s\n", mode, why.line().c_str());
  return dev;
}

int report_failure(const char* mode, const Status& s) {
  std::fprintf(stderr, "%s: %s\n", mode, s.line().c_str());
  return 1;
}

}  // namespace tarn
