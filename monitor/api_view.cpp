#include "monitor/api_view.h"

#include <algorithm>

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

std::optional<double> seconds_since(std::int64_t then_ns, std::int64_t now_ns) {
  if (then_ns == 0) return std::nullopt;
  return then_ns >= now_ns ? 0.0 : seconds_between(then_ns, now_ns);
}

std::string url_without_userinfo(const std::string& urls) {
  std::string out;
  size_t from = 0;
  for (;;) {
    const size_t comma = urls.find(',', from);
    std::string url = urls.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    const size_t scheme = url.find("://");
    if (scheme != std::string::npos) {
      const size_t host = scheme + 3;
      const size_t authority_end = std::min(url.find_first_of("/?#", host), url.size());
      const size_t at = url.rfind('@', authority_end == 0 ? 0 : authority_end - 1);
      if (at != std::string::npos && at >= host) url.erase(host, at + 1 - host);
    }
    out += url;
    if (comma == std::string::npos) return out;
    out += ',';
    from = comma + 1;
  }
}

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
