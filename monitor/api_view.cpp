#include "monitor/api_view.h"

namespace tarn {
namespace {

// Compares without stopping at the first difference, so the time taken does not tell how much
// of a guessed token was right.
bool same_secret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const std::string& longer = a.size() >= b.size() ? a : b;
  for (size_t i = 0; i < longer.size(); ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0;
}

ApiReply text(int status, const std::string& body) {
  return ApiReply{status, "text/plain; charset=utf-8", body + "\n", false};
}

}  // namespace

ApiReply api_answer(const ApiContext& ctx, const std::string& method, const std::string& path,
                    const char* authorization) {
  if (!ctx.token.empty() &&
      (!authorization || !same_secret(authorization, "Bearer " + ctx.token))) {
    ApiReply r = text(401, "unauthorized");
    r.challenge = true;
    return r;
  }
  if (method != "GET") return text(405, "method not allowed");
  const bool summary = path == "/summary";
  if (!summary && path != "/metrics") return text(404, "not found");

  const std::vector<GpuStats> gpus = ctx.board ? ctx.board->snapshot() : std::vector<GpuStats>();
  const double uptime =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - ctx.started).count();
  if (summary) return ApiReply{200, "application/json", summary_json(ctx, gpus, uptime), false};
  return ApiReply{200, "text/plain; version=0.0.4; charset=utf-8", metrics_text(ctx, gpus, uptime),
                  false};
}

}  // namespace tarn
