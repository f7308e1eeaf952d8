// Monitoring of the pool mode: the HTTP API and the GPUs' sensors, started before the workers
// and stopped after them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitor/stats_board.h"
#include "monitor/telemetry.h"

namespace tarn {

struct MonitorOptions {
  std::string api;        // ADDR:PORT; empty: no API
  std::string api_token;  // required by the API when set
  int temp_limit = 0;     // degrees Celsius; 0: none
  bool host_emulation = false;  // --cpu: there are no sensors to read
};

class PoolMonitor {
 public:
  PoolMonitor();
  ~PoolMonitor();

  // Loads NVML (saying once on standard error when there is none) and starts the API. False,
  // with one line's reason in *why, only when the API cannot serve where asked.
  // bus_id(gpu) gives a GPU's PCI bus id, or empty when unknown.
  bool start(const MonitorOptions& options, const StatsBoard* board, const std::string& version,
             const std::string& url, const std::vector<int>& gpus,
             const std::function<std::string(int)>& bus_id, std::string* why);
  // The sensor reader of one GPU; null when there are none.
  std::function<Telemetry()> telemetry_for(int gpu) const;
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarn
