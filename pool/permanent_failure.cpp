#include "pool/permanent_failure.h"

#include "util/printable.h"

namespace tarn {
namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

double limit_of(FailureKind kind, const PermanentLimits& limits) {
  return kind == FailureKind::tls_verify ? limits.tls_verify_s : limits.refused_s;
}

}  // namespace

// The texts are the WebSocket client's own (ws/connect.cpp, ws/tls_transport.cpp).
FailureKind connect_failure_kind(const std::string& reason) {
  if (starts_with(reason, "certificate verify failed")) return FailureKind::tls_verify;
  if (reason == "connection refused" || reason == "the server refused the upgrade" ||
      reason == "closed during the handshake")
    return FailureKind::refused;
  return FailureKind::other;
}

FailureStreaks::FailureStreaks(const std::vector<std::string>& urls)
    : urls_(urls), streaks_(urls.size()) {}

void FailureStreaks::failed(int index, FailureKind kind, const std::string& reason,
                            std::int64_t now_ns) {
  if (index < 0 || static_cast<size_t>(index) >= streaks_.size()) return;
  Streak& s = streaks_[static_cast<size_t>(index)];
  if (kind != s.kind || kind == FailureKind::other) {
    s.kind = kind;
    s.first_ns = now_ns;
  }
  s.last_ns = now_ns;
  s.reason = reason;
}

void FailureStreaks::cleared(int index) {
  if (index < 0 || static_cast<size_t>(index) >= streaks_.size()) return;
  streaks_[static_cast<size_t>(index)] = Streak{};
}

std::string FailureStreaks::permanent(const PermanentLimits& limits) const {
  std::string line;
  for (size_t i = 0; i < streaks_.size(); ++i) {
    const Streak& s = streaks_[i];
    if (s.kind == FailureKind::other) return std::string();
    const double limit = limit_of(s.kind, limits);
    if (static_cast<double>(s.last_ns - s.first_ns) / 1e9 < limit) return std::string();
    line += (line.empty() ? "" : "; ") + urls_[i] + ": " + printable(s.reason) +
            " on every attempt for " + std::to_string(static_cast<long long>(limit)) + " s";
  }
  return line.empty() ? line : "permanent pool failure: " + line;
}

}  // namespace tarn
