#include "fake_nvml.h"

#include <dlfcn.h>

#include <cstdlib>

namespace monitortest {

bool use_fake_nvml(FakeNvml* out) {
  setenv("TARN_NVML_LIBRARY", TARN_FAKE_NVML, 1);
  // Kept open for the whole test run, so its readings survive the miner's own dlclose.
  static void* lib = dlopen(TARN_FAKE_NVML, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  out->reset = reinterpret_cast<void (*)()>(dlsym(lib, "fake_nvml_reset"));
  out->set_temperature =
      reinterpret_cast<void (*)(unsigned int, unsigned int)>(dlsym(lib, "fake_nvml_set_temperature"));
  out->fail = reinterpret_cast<void (*)(const char*)>(dlsym(lib, "fake_nvml_fail"));
  if (!out->reset || !out->set_temperature || !out->fail) return false;
  out->reset();
  return true;
}

}  // namespace monitortest
