#include "monitor/nvml.h"

#include <dlfcn.h>

#include <cstdlib>

namespace tarn {
namespace {

// From NVML's public C API.
constexpr int kNvmlSuccess = 0;
constexpr int kNvmlTemperatureGpu = 0;  // nvmlTemperatureSensors_t NVML_TEMPERATURE_GPU
constexpr int kNvmlClockSm = 1;         // nvmlClockType_t NVML_CLOCK_SM
struct NvmlUtilization {                // nvmlUtilization_t
  unsigned int gpu;
  unsigned int memory;
};

template <class F>
void resolve(void* lib, const char* name, F* out) {
  *out = reinterpret_cast<F>(dlsym(lib, name));
}

}  // namespace

Nvml::~Nvml() {
  if (init_done_ && shutdown_) shutdown_();
  if (lib_) dlclose(lib_);
}

bool Nvml::load(std::string* why) {
  const char* override_path = std::getenv("TARN_NVML_LIBRARY");
  const char* path = override_path && *override_path ? override_path : "libnvidia-ml.so.1";
  lib_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib_) {
    const char* e = dlerror();
    *why = std::string("cannot load ") + path + (e ? std::string(": ") + e : std::string());
    return false;
  }
  resolve(lib_, "nvmlInit_v2", &init_);
  resolve(lib_, "nvmlShutdown", &shutdown_);
  resolve(lib_, "nvmlDeviceGetHandleByIndex_v2", &by_index_);
  resolve(lib_, "nvmlDeviceGetHandleByPciBusId_v2", &by_bus_id_);
  resolve(lib_, "nvmlDeviceGetTemperature", &temperature_);
  resolve(lib_, "nvmlDeviceGetPowerUsage", &power_);
  resolve(lib_, "nvmlDeviceGetFanSpeed", &fan_);
  resolve(lib_, "nvmlDeviceGetClockInfo", &clock_);
  resolve(lib_, "nvmlDeviceGetUtilizationRates", &utilization_);
  resolve(lib_, "nvmlErrorString", &error_string_);
  if (!init_ || !by_index_) {
    *why = std::string(path) + " lacks nvmlInit_v2 or nvmlDeviceGetHandleByIndex_v2";
    return false;
  }
  const int r = init_();
  if (r != kNvmlSuccess) {
    const char* text = error_string_ ? error_string_(r) : nullptr;
    *why = "nvmlInit_v2 failed: " + (text ? std::string(text) : "error " + std::to_string(r));
    return false;
  }
  init_done_ = true;
  return true;
}

void* Nvml::device(int index, const std::string& pci_bus_id) const {
  if (!init_done_ || index < 0) return nullptr;
  void* handle = nullptr;
  if (!pci_bus_id.empty() && by_bus_id_) {
    if (by_bus_id_(pci_bus_id.c_str(), &handle) == kNvmlSuccess) return handle;
    return nullptr;  // a known bus id that NVML does not find: not some other GPU by index
  }
  if (by_index_(static_cast<unsigned int>(index), &handle) == kNvmlSuccess) return handle;
  return nullptr;
}

Telemetry Nvml::read(void* device) const {
  Telemetry t;
  if (!init_done_ || !device) return t;
  unsigned int v = 0;
  if (temperature_ && temperature_(device, kNvmlTemperatureGpu, &v) == kNvmlSuccess)
    t.temperature_c = v;
  if (power_ && power_(device, &v) == kNvmlSuccess) t.power_w = v / 1000.0;  // milliwatts
  if (fan_ && fan_(device, &v) == kNvmlSuccess) t.fan_percent = v;
  if (clock_ && clock_(device, kNvmlClockSm, &v) == kNvmlSuccess) t.sm_clock_mhz = v;
  NvmlUtilization u{};
  if (utilization_ && utilization_(device, &u) == kNvmlSuccess) t.utilization_percent = u.gpu;
  return t;
}

}  // namespace tarn
