// What the HTTP API answers, apart from the server that carries it: the request in, the reply
// out, built from a copy of the workers' figures.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "monitor/stats_board.h"
#include "util/clock.h"

namespace tarn {

struct ApiContext {
  const StatsBoard* board = nullptr;
  std::string version;
  std::string mode;
  std::string url;  // the pool URL given on the command line
  std::string token;  // required as "Authorization: Bearer TOKEN" when not empty
  std::chrono::steady_clock::time_point started;
  // The workers' clock, against which the ages of the last job and share are read.
  std::function<std::int64_t()> now_ns = system_now_ns;
};

struct ApiReply {
  int status = 200;
  std::string content_type;
  std::string body;
  bool challenge = false;  // 401: ask for a bearer token
};

// method, path and the Authorization header (null when absent).
ApiReply api_answer(const ApiContext& ctx, const std::string& method, const std::string& path,
                    const char* authorization);

// Seconds from then_ns to now_ns, never below 0 (the clock may be stepped back); absent when then_ns
// is 0 (nothing published yet).
std::optional<double> seconds_since(std::int64_t then_ns, std::int64_t now_ns);
// A URL, or a comma-separated list of them, without the user:password@ of any entry, so the API
// never shows credentials.
std::string url_without_userinfo(const std::string& urls);

std::string summary_json(const ApiContext& ctx, const std::vector<GpuStats>& gpus,
                         double uptime_s);
// The Prometheus text exposition format (version 0.0.4).
std::string metrics_text(const ApiContext& ctx, const std::vector<GpuStats>& gpus,
                         double uptime_s);

}  // namespace tarn
