#include "monitor/pool_monitor.h"

#include <chrono>
#include <cstdio>
#include <map>

#include "monitor/api_server.h"
#include "monitor/nvml.h"

namespace tarn {

struct PoolMonitor::Impl {
  Nvml nvml;
  std::map<int, void*> devices;
  ApiContext ctx;
  ApiServer api;
};

PoolMonitor::PoolMonitor() : impl_(std::make_unique<Impl>()) {}
PoolMonitor::~PoolMonitor() { stop(); }

bool PoolMonitor::start(const MonitorOptions& options, const StatsBoard* board,
                        const std::string& version, const std::string& url,
                        const std::vector<int>& gpus,
                        const std::function<std::string(int)>& bus_id, std::string* why) {
  std::string no_sensors;
  if (options.host_emulation) {
    no_sensors = "the host emulation (--cpu) has none";
  } else if (impl_->nvml.load(&no_sensors)) {
    for (int gpu : gpus) {
      void* d = impl_->nvml.device(gpu, bus_id ? bus_id(gpu) : std::string());
      if (d) impl_->devices[gpu] = d;
    }
    if (impl_->devices.empty()) no_sensors = "NVML knows none of the GPUs in use";
  }
  if (impl_->devices.empty()) {
    std::fprintf(stderr, "telemetry: no GPU temperature, power, fan, clock or utilization "
                         "readings: %s\n", no_sensors.c_str());
    if (options.temp_limit > 0)
      std::fprintf(stderr, "telemetry: --temp-limit %d cannot be applied without temperature "
                           "readings\n", options.temp_limit);
  }

  if (options.api.empty()) return true;
  impl_->ctx.board = board;
  impl_->ctx.version = version;
  impl_->ctx.mode = "pool";
  impl_->ctx.url = url;
  impl_->ctx.token = options.api_token;
  impl_->ctx.started = std::chrono::steady_clock::now();
  if (!impl_->api.start(options.api, impl_->ctx, why)) return false;
  std::printf("api: serving /summary and /metrics on port %d\n", impl_->api.port());
  return true;
}

std::function<Telemetry()> PoolMonitor::telemetry_for(int gpu) const {
  const auto it = impl_->devices.find(gpu);
  if (it == impl_->devices.end()) return nullptr;
  const Nvml* nvml = &impl_->nvml;
  void* device = it->second;
  return [nvml, device] { return nvml->read(device); };
}

void PoolMonitor::stop() {
  if (impl_) impl_->api.stop();
}

}  // namespace tarn
