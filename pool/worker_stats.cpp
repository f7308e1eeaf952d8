#include "pool/worker_stats.h"

#include "pool/format_line.h"
#include "util/clock.h"
#include "util/printable.h"

namespace tarn {
namespace {

constexpr double kLineSeconds = 5.0;
constexpr double kWindowSeconds = 60.0;

}  // namespace

void start_stats(LaunchStats* s, std::int64_t now_ns) {
  s->start_ns = s->window_start_ns = s->last_line_ns = now_ns;
  s->rates.start(now_ns);
}

void count_launch(LaunchStats* s, std::int64_t now_ns, std::uint64_t count, double gpu_ms,
                  double wall_ms) {
  s->total += count;
  s->rates.add(now_ns, count);
  ++s->launches;
  s->gpu_ms += gpu_ms;
  s->wall_ms += wall_ms;
}

std::string statistics_line(LaunchStats* s, std::int64_t now_ns, const std::string& tag,
                            const std::string& difficulty, const ShareCounters& c,
                            unsigned int per_thread) {
  const double since = seconds_between(s->last_line_ns, now_ns);
  if (since < kLineSeconds) return std::string();
  const double elapsed = seconds_between(s->start_ns, now_ns);
  const double window = seconds_between(s->window_start_ns, now_ns);
  if (window >= kWindowSeconds) {
    s->rate60 = static_cast<double>(s->total - s->window_total) / window / 1e6;
    s->window_total = s->total;
    s->window_start_ns = now_ns;
  }
  const double launches = static_cast<double>(s->launches);
  s->line_mhs = static_cast<double>(s->total) / elapsed / 1e6;
  const std::string line = format_line(
      "%s [%.0fs] %.1f MH/s (60s: %.1f) | diff=%s submitted=%d accepted=%d rejected=%d "
      "staleskip=%d throttled=%d | pt=%u launches/s=%.1f gpu=%.1fms wall=%.1fms\n",
      tag.c_str(), elapsed, s->line_mhs, s->rate60, printable_capped(difficulty).c_str(), c.submitted, c.accepted,
      c.rejected, c.staleskip, c.throttled, per_thread, launches / since,
      s->launches ? s->gpu_ms / launches : 0.0, s->launches ? s->wall_ms / launches : 0.0);
  s->gpu_ms = 0.0;
  s->wall_ms = 0.0;
  s->launches = 0;
  s->last_line_ns = now_ns;
  return line;
}

void publish_rates(const LaunchStats& s, std::int64_t now_ns, GpuStats* out) {
  out->rate_10s = s.rates.rate(RateWindows::kWindows[0], now_ns);
  out->rate_60s = s.rates.rate(RateWindows::kWindows[1], now_ns);
  out->rate_15m = s.rates.rate(RateWindows::kWindows[2], now_ns);
  out->line_mhs = s.line_mhs;
  out->line60_mhs = s.rate60;
  out->hashes = s.total;
  out->last_job_ns = s.last_job_ns;
  out->last_accepted_ns = s.last_accepted_ns;
}

}  // namespace tarn
