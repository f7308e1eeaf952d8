// GET /metrics: the Prometheus text exposition format. Counters come from the workers' lifetime
// counters, which never go down, reconnects included.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>

#include "monitor/api_view.h"

namespace tarn {
namespace {

std::string label_value(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// A URL as a label: without credentials, and with control and non-ASCII bytes percent-encoded, as
// a URL writes them, so a stray byte cannot make the exposition invalid UTF-8.
std::string url_label(const std::string& url) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : url_without_userinfo(url)) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7f) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return label_value(out);
}

std::string number(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

class Writer {
 public:
  explicit Writer(const std::vector<GpuStats>& gpus) : gpus_(gpus) {}

  // One family with one sample per GPU; a GPU for which value() is absent has no sample, and a
  // family without samples is left out whole.
  void per_gpu(const char* name, const char* type, const char* help,
               const std::function<std::optional<double>(const GpuStats&)>& value,
               const std::string& extra_label = std::string()) {
    std::string samples;
    for (const GpuStats& g : gpus_) {
      const std::optional<double> v = value(g);
      if (!v) continue;
      samples += std::string(name) + "{gpu=\"" + std::to_string(g.gpu) + "\"" + extra_label +
                 "} " + number(*v) + "\n";
    }
    if (samples.empty()) return;
    header(name, type, help);
    out += samples;
  }

  void header(const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }

  std::string out;

 private:
  const std::vector<GpuStats>& gpus_;
};

std::optional<double> opt(const std::optional<unsigned int>& v, double scale = 1.0) {
  if (!v) return std::nullopt;
  return *v * scale;
}

}  // namespace

std::string metrics_text(const ApiContext& ctx, const std::vector<GpuStats>& gpus,
                         double uptime_s) {
  Writer w(gpus);
  w.header("tarn_build_info", "gauge", "Version and mode of the running miner.");
  w.out += "tarn_build_info{version=\"" + label_value(ctx.version) + "\",mode=\"" +
           label_value(ctx.mode) + "\"} 1\n";
  w.header("tarn_uptime_seconds", "gauge", "Seconds since the miner started.");
  w.out += "tarn_uptime_seconds " + number(uptime_s) + "\n";

  w.header("tarn_hashrate_hashes_per_second", "gauge",
           "Hashes per second over a sliding window, from completed launches.");
  for (const GpuStats& g : gpus) {
    const std::string gpu = std::to_string(g.gpu);
    const std::pair<const char*, double> windows[] = {
        {"10s", g.rate_10s}, {"60s", g.rate_60s}, {"15m", g.rate_15m}};
    for (const auto& win : windows)
      w.out += "tarn_hashrate_hashes_per_second{gpu=\"" + gpu + "\",window=\"" + win.first +
               "\"} " + number(win.second) + "\n";
  }
  w.per_gpu("tarn_hashes_total", "counter", "Nonces searched.",
            [](const GpuStats& g) { return static_cast<double>(g.hashes); });

  w.header("tarn_shares_total", "counter",
           "Shares by outcome: accepted or rejected by the pool, stale or throttled (not sent).");
  for (const GpuStats& g : gpus) {
    const std::string gpu = std::to_string(g.gpu);
    const std::pair<const char*, std::int64_t> results[] = {{"accepted", g.shares.accepted},
                                                            {"rejected", g.shares.rejected},
                                                            {"stale", g.shares.staleskip},
                                                            {"throttled", g.shares.throttled}};
    for (const auto& r : results)
      w.out += "tarn_shares_total{gpu=\"" + gpu + "\",result=\"" + r.first + "\"} " +
               std::to_string(r.second) + "\n";
  }
  w.per_gpu("tarn_shares_submitted_total", "counter", "Shares sent to the pool.",
            [](const GpuStats& g) { return static_cast<double>(g.shares.submitted); });
  w.per_gpu("tarn_device_faults_total", "counter",
            "Hits the host re-check refused (never sent).",
            [](const GpuStats& g) { return static_cast<double>(g.shares.device_faults); });
  w.per_gpu("tarn_device_errors_total", "counter",
            "Failed device calls, each followed by a re-initialisation.",
            [](const GpuStats& g) { return static_cast<double>(g.shares.device_errors); });
  w.per_gpu("tarn_watchdog_trips_total", "counter",
            "Launches that ran past --launch-timeout.",
            [](const GpuStats& g) { return static_cast<double>(g.watchdog_trips); });
  w.per_gpu("tarn_pool_connected", "gauge", "1 while the GPU's pool connection is open.",
            [](const GpuStats& g) { return g.connection == "connected" ? 1.0 : 0.0; });
  w.header("tarn_pool_info", "gauge",
           "The pool URL each GPU uses or is trying, with its index in the list (0: the primary).");
  for (const GpuStats& g : gpus) {
    if (g.url.empty()) continue;  // not published yet
    w.out += "tarn_pool_info{gpu=\"" + std::to_string(g.gpu) + "\",url=\"" + url_label(g.url) +
             "\",index=\"" + std::to_string(g.url_index) + "\"} 1\n";
  }
  w.per_gpu("tarn_pool_backup", "gauge",
            "1 from a failover to a backup URL until the GPU is back on the primary.",
            [](const GpuStats& g) { return g.backup ? 1.0 : 0.0; });
  w.per_gpu("tarn_pool_reconnects_total", "counter",
            "Pool connections opened after the first.",
            [](const GpuStats& g) { return static_cast<double>(g.reconnects); });
  w.per_gpu("tarn_pool_failovers_total", "counter",
            "Moves between pool URLs: to a backup, or back to the primary.",
            [](const GpuStats& g) { return static_cast<double>(g.failovers); });
  const std::int64_t now = ctx.now_ns ? ctx.now_ns() : system_now_ns();
  w.per_gpu("tarn_pool_seconds_since_job", "gauge",
            "Seconds since the last valid job arrived; since the worker started if none has.",
            [now](const GpuStats& g) { return seconds_since(g.last_job_ns, now); });
  w.per_gpu("tarn_pool_seconds_since_accepted_share", "gauge",
            "Seconds since the pool last accepted a share; since the worker started if never.",
            [now](const GpuStats& g) { return seconds_since(g.last_accepted_ns, now); });
  w.per_gpu("tarn_job_difficulty", "gauge", "Difficulty of the current job.",
            [](const GpuStats& g) -> std::optional<double> {
              if (!g.have_job) return std::nullopt;
              return std::strtod(g.difficulty.c_str(), nullptr);
            });

  w.per_gpu("tarn_gpu_temperature_celsius", "gauge", "GPU temperature.",
            [](const GpuStats& g) { return opt(g.telemetry.temperature_c); });
  w.per_gpu("tarn_gpu_power_watts", "gauge", "GPU power draw.",
            [](const GpuStats& g) { return g.telemetry.power_w; });
  w.per_gpu("tarn_gpu_fan_speed_ratio", "gauge", "Fan speed as a fraction of its maximum.",
            [](const GpuStats& g) { return opt(g.telemetry.fan_percent, 0.01); });
  w.per_gpu("tarn_gpu_sm_clock_hertz", "gauge", "Streaming-multiprocessor clock.",
            [](const GpuStats& g) { return opt(g.telemetry.sm_clock_mhz, 1e6); });
  w.per_gpu("tarn_gpu_utilization_ratio", "gauge", "Fraction of time the GPU was busy.",
            [](const GpuStats& g) { return opt(g.telemetry.utilization_percent, 0.01); });

  w.per_gpu("tarn_temperature_limit_celsius", "gauge", "The configured temperature limit.",
            [](const GpuStats& g) -> std::optional<double> {
              if (g.temp_limit <= 0) return std::nullopt;  // none set: no limit of 0 degrees
              return g.temp_limit;
            });
  w.per_gpu("tarn_temperature_limit_paused", "gauge",
            "1 while launches are paused by the temperature limit.",
            [](const GpuStats& g) { return g.temp_paused ? 1.0 : 0.0; });
  w.per_gpu("tarn_temperature_limit_pauses_total", "counter",
            "Times launches were paused by the temperature limit.",
            [](const GpuStats& g) { return static_cast<double>(g.temp_pauses); });
  w.per_gpu("tarn_temperature_limit_resumes_total", "counter",
            "Times launches resumed after cooling.",
            [](const GpuStats& g) { return static_cast<double>(g.temp_resumes); });
  return w.out;
}

}  // namespace tarn
