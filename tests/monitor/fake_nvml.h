// The fake NVML library's test controls, reached through the same handle the miner loads.
#pragma once

#include <string>

namespace monitortest {

struct FakeNvml {
  void (*reset)() = nullptr;
  void (*set_temperature)(unsigned int gpu, unsigned int celsius) = nullptr;
  void (*fail)(const char* entry_point) = nullptr;
};

// Points TARN_NVML_LIBRARY at the fake and resets it; false when it cannot be loaded.
bool use_fake_nvml(FakeNvml* out);

}  // namespace monitortest
