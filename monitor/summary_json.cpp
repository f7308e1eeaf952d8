// GET /summary.
#include <cmath>
#include <nlohmann/json.hpp>

#include "monitor/api_view.h"

namespace tarn {
namespace {

using nlohmann::json;

json rates(double r10, double r60, double r15m) {
  return json{{"10s", r10}, {"60s", r60}, {"15m", r15m}};
}

json shares(std::int64_t submitted, std::int64_t accepted, std::int64_t rejected,
            std::int64_t stale, std::int64_t throttled) {
  return json{{"submitted", submitted}, {"accepted", accepted}, {"rejected", rejected},
              {"stale_skipped", stale}, {"throttled", throttled}};
}

// Only the readings the driver gave: an absent value is left out, not written as 0.
json telemetry(const Telemetry& t) {
  json j = json::object();
  if (t.temperature_c) j["temperature_c"] = *t.temperature_c;
  if (t.power_w) j["power_w"] = std::round(*t.power_w * 1000.0) / 1000.0;
  if (t.fan_percent) j["fan_percent"] = *t.fan_percent;
  if (t.sm_clock_mhz) j["sm_clock_mhz"] = *t.sm_clock_mhz;
  if (t.utilization_percent) j["utilization_percent"] = *t.utilization_percent;
  return j;
}

json optional_seconds(const std::optional<double>& s) {
  if (!s) return json(nullptr);
  return std::floor(*s * 1000.0) / 1000.0;
}

}  // namespace

std::string summary_json(const ApiContext& ctx, const std::vector<GpuStats>& gpus,
                         double uptime_s) {
  json list = json::array();
  double t10 = 0, t60 = 0, t15 = 0;
  std::int64_t sub = 0, acc = 0, rej = 0, stale = 0, thr = 0, faults = 0, errors = 0;
  std::uint64_t hashes = 0;
  int connected = 0;
  std::string url_in_use;
  const std::int64_t now = ctx.now_ns ? ctx.now_ns() : system_now_ns();
  for (const GpuStats& g : gpus) {
    json one = {{"gpu", g.gpu},
                {"name", g.name},
                {"pool",
                 {{"url", url_without_userinfo(g.url)},
                  {"state", g.connection},
                  {"url_index", g.url_index},
                  {"backup", g.backup},
                  {"reconnects", g.reconnects},
                  {"failovers", g.failovers},
                  {"seconds_since_job", optional_seconds(seconds_since(g.last_job_ns, now))},
                  {"seconds_since_accepted_share",
                   optional_seconds(seconds_since(g.last_accepted_ns, now))}}},
                {"hashrate", rates(g.rate_10s, g.rate_60s, g.rate_15m)},
                {"hashes", g.hashes},
                {"shares", shares(g.shares.submitted, g.shares.accepted, g.shares.rejected,
                                  g.shares.staleskip, g.shares.throttled)},
                {"device_faults", g.shares.device_faults},
                {"device_errors", g.shares.device_errors},
                {"watchdog_trips", g.watchdog_trips},
                {"job", g.have_job ? json{{"id", g.job_id}, {"difficulty", g.difficulty}}
                                   : json(nullptr)},
                {"temperature_limit",
                 {{"limit_c", g.temp_limit},
                  {"paused", g.temp_paused},
                  {"pauses", g.temp_pauses},
                  {"resumes", g.temp_resumes}}}};
    const json t = telemetry(g.telemetry);
    if (!t.empty()) one["telemetry"] = t;
    list.push_back(std::move(one));
    t10 += g.rate_10s;
    t60 += g.rate_60s;
    t15 += g.rate_15m;
    hashes += g.hashes;
    sub += g.shares.submitted;
    acc += g.shares.accepted;
    rej += g.shares.rejected;
    stale += g.shares.staleskip;
    thr += g.shares.throttled;
    faults += g.shares.device_faults;
    errors += g.shares.device_errors;
    if (g.connection == "connected") {
      ++connected;
      if (url_in_use.empty()) url_in_use = g.url;
    }
  }
  const json doc = {
      {"version", ctx.version},
      {"mode", ctx.mode},
      {"uptime_s", std::floor(uptime_s * 1000.0) / 1000.0},
      {"pool",
       {{"url", url_without_userinfo(url_in_use.empty() ? ctx.url : url_in_use)},
        {"state", connected == 0 ? "disconnected"
                  : connected == static_cast<int>(gpus.size()) ? "connected"
                                                               : "partly connected"},
        {"connected_gpus", connected}}},
      {"gpus", list},
      {"total",
       {{"gpus", gpus.size()},
        {"hashrate", rates(t10, t60, t15)},
        {"hashes", hashes},
        {"shares", shares(sub, acc, rej, stale, thr)},
        {"device_faults", faults},
        {"device_errors", errors}}}};
  // Pool texts (job ids, difficulties) may hold any bytes: invalid UTF-8 is replaced rather
  // than left to abort the dump.
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace tarn
