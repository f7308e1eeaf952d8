// Pool failures that retrying will not mend: every URL failing certificate verification, or every
// URL refusing, the same way for long enough. The pool mode then stops with its own status
// instead of retrying for ever behind a status of 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarn {

// The status the pool mode ends with on a permanent failure.
constexpr int kPermanentPoolFailureStatus = 3;

// How long every URL must keep failing the same way. A certificate does not fix itself, but a
// pool restarting with a new one may need some minutes; a refusing pool may be down for
// maintenance, so that wait is longer.
struct PermanentLimits {
  double tls_verify_s = 600.0;
  double refused_s = 3600.0;
};

enum class FailureKind {
  other,       // time-outs, names not resolved, resets: the network's weather, never permanent
  tls_verify,  // the certificate failed verification
  refused,     // connection refused, upgrade refused, or closed before sending a job
};

// The kind of a connect failure from the connect's reason text.
FailureKind connect_failure_kind(const std::string& reason);

// Per URL, the run of failures of one kind since the last attempt that ended otherwise.
class FailureStreaks {
 public:
  explicit FailureStreaks(const std::vector<std::string>& urls);
  // An attempt on URL index failed; kind other, or a kind other than the run's, starts over.
  void failed(int index, FailureKind kind, const std::string& reason, std::int64_t now_ns);
  // An attempt on index delivered a job, or ended in a way that is not a failure of a kind.
  void cleared(int index);
  // Once every URL's run spans its kind's limit (first to latest failure): one line naming each
  // URL and its reason; else empty.
  std::string permanent(const PermanentLimits& limits) const;

 private:
  struct Streak {
    FailureKind kind = FailureKind::other;
    std::int64_t first_ns = 0;
    std::int64_t last_ns = 0;
    std::string reason;
  };
  std::vector<std::string> urls_;
  std::vector<Streak> streaks_;
};

}  // namespace tarn
