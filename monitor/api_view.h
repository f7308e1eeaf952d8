// What the HTTP API answers, apart from the server that carries it: the request in, the reply
// out, built from a copy of the workers' figures.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "monitor/stats_board.h"

namespace tarn {

struct ApiContext {
  const StatsBoard* board = nullptr;
  std::string version;
  std::string mode;
  std::string url;  // the pool URL given on the command line
  std::string token;  // required as "Authorization: Bearer TOKEN" when not empty
  std::chrono::steady_clock::time_point started;
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

std::string summary_json(const ApiContext& ctx, const std::vector<GpuStats>& gpus,
                         double uptime_s);
// The Prometheus text exposition format (version 0.0.4).
std::string metrics_text(const ApiContext& ctx, const std::vector<GpuStats>& gpus,
                         double uptime_s);

}  // namespace tarn
