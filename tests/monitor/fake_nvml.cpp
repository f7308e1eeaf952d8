// A stand-in for libnvidia-ml.so.1 with the entry points the miner loads, two GPUs at PCI bus ids
// 0000:00:00.0 and 0000:01:00.0, readings the tests set, and any entry point made to fail.
#include <cstdio>
#include <cstring>

namespace {

struct FakeGpu {
  unsigned int temperature, power_mw, fan, sm_clock, utilization;
};
FakeGpu g_gpus[2];
char g_failing[64];
int g_inits = 0;

constexpr int kSuccess = 0;
constexpr int kInvalidArgument = 2;
constexpr int kNotSupported = 3;
constexpr int kUninitialized = 1;

int gate(const char* name) {
  if (std::strcmp(g_failing, name) == 0) return kNotSupported;
  if (g_inits == 0 && std::strcmp(name, "nvmlInit_v2") != 0) return kUninitialized;
  return kSuccess;
}

FakeGpu* gpu_of(void* device) {
  for (FakeGpu& g : g_gpus)
    if (device == &g) return &g;
  return nullptr;
}

}  // namespace

extern "C" {

// Test controls.
void fake_nvml_reset() {
  for (unsigned int i = 0; i < 2; ++i) g_gpus[i] = FakeGpu{60 + i, 150000 + i, 30 + i, 1800 + i, 90 + i};
  g_failing[0] = '\0';
}
void fake_nvml_set_temperature(unsigned int gpu, unsigned int celsius) {
  g_gpus[gpu].temperature = celsius;
}
void fake_nvml_fail(const char* name) {
  std::snprintf(g_failing, sizeof g_failing, "%s", name);
}

int nvmlInit_v2() {
  const int r = gate("nvmlInit_v2");
  if (r == kSuccess) ++g_inits;
  return r;
}
int nvmlShutdown() {
  if (g_inits > 0) --g_inits;
  return kSuccess;
}
const char* nvmlErrorString(int r) { return r == kNotSupported ? "Not Supported" : "Unknown Error"; }

int nvmlDeviceGetHandleByIndex_v2(unsigned int index, void** device) {
  if (int r = gate("nvmlDeviceGetHandleByIndex_v2")) return r;
  if (index >= 2) return kInvalidArgument;
  *device = &g_gpus[index];
  return kSuccess;
}
int nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, void** device) {
  if (int r = gate("nvmlDeviceGetHandleByPciBusId_v2")) return r;
  for (unsigned int i = 0; i < 2; ++i) {
    char id[32];
    std::snprintf(id, sizeof id, "0000:%02x:00.0", i);
    if (std::strcmp(id, bus_id) == 0) {
      *device = &g_gpus[i];
      return kSuccess;
    }
  }
  return kInvalidArgument;
}

int nvmlDeviceGetTemperature(void* device, int sensor, unsigned int* out) {
  if (int r = gate("nvmlDeviceGetTemperature")) return r;
  FakeGpu* g = gpu_of(device);
  if (!g || sensor != 0) return kInvalidArgument;
  *out = g->temperature;
  return kSuccess;
}
int nvmlDeviceGetPowerUsage(void* device, unsigned int* out) {
  if (int r = gate("nvmlDeviceGetPowerUsage")) return r;
  FakeGpu* g = gpu_of(device);
  if (!g) return kInvalidArgument;
  *out = g->power_mw;
  return kSuccess;
}
int nvmlDeviceGetFanSpeed(void* device, unsigned int* out) {
  if (int r = gate("nvmlDeviceGetFanSpeed")) return r;
  FakeGpu* g = gpu_of(device);
  if (!g) return kInvalidArgument;
  *out = g->fan;
  return kSuccess;
}
int nvmlDeviceGetClockInfo(void* device, int type, unsigned int* out) {
  if (int r = gate("nvmlDeviceGetClockInfo")) return r;
  FakeGpu* g = gpu_of(device);
  if (!g || type != 1) return kInvalidArgument;  // only the SM clock is asked for
  *out = g->sm_clock;
  return kSuccess;
}
int nvmlDeviceGetUtilizationRates(void* device, unsigned int* out) {
  if (int r = gate("nvmlDeviceGetUtilizationRates")) return r;
  FakeGpu* g = gpu_of(device);
  if (!g) return kInvalidArgument;
  out[0] = g->utilization;  // nvmlUtilization_t: gpu, then memory
  out[1] = 0;
  return kSuccess;
}

}  // extern "C"
