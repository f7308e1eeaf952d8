// GPU sensors through NVML, loaded at run time: no build dependency, and a machine without the
// driver's library simply has no readings.
#pragma once

#include <string>

#include "monitor/telemetry.h"

namespace tarn {

class Nvml {
 public:
  Nvml() = default;
  ~Nvml();  // shuts NVML down and unloads it
  Nvml(const Nvml&) = delete;
  Nvml& operator=(const Nvml&) = delete;

  // Loads libnvidia-ml.so.1 (or the file TARN_NVML_LIBRARY names, for tests) and initialises
  // it. False with the reason in *why.
  bool load(std::string* why);
  bool loaded() const { return init_done_; }

  // The device of a CUDA GPU: by PCI bus id when one is known (CUDA and NVML may number GPUs
  // differently), else by index. Null when NVML does not know it.
  void* device(int index, const std::string& pci_bus_id) const;

  // Every sensor that answers; the others stay absent. Safe from several threads at once.
  Telemetry read(void* device) const;

 private:
  void* lib_ = nullptr;
  bool init_done_ = false;
  // The entry points, resolved once; any of the readings may be missing from an old driver.
  int (*init_)() = nullptr;
  int (*shutdown_)() = nullptr;
  int (*by_index_)(unsigned int, void**) = nullptr;
  int (*by_bus_id_)(const char*, void**) = nullptr;
  int (*temperature_)(void*, int, unsigned int*) = nullptr;
  int (*power_)(void*, unsigned int*) = nullptr;
  int (*fan_)(void*, unsigned int*) = nullptr;
  int (*clock_)(void*, int, unsigned int*) = nullptr;
  int (*utilization_)(void*, void*) = nullptr;
  const char* (*error_string_)(int) = nullptr;
};

}  // namespace tarn
