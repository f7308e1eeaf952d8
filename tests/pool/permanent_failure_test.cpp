// When failing pools are given up: the kind of each failure, and runs that must cover every URL
// for their whole limit without a break.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pool/permanent_failure.h"

namespace {

using tarn::FailureKind;
constexpr std::int64_t kSecond = 1000000000;

TEST(PermanentFailure, ConnectReasonsHaveTheirKind) {
  const std::pair<const char*, FailureKind> cases[] = {
      {"certificate verify failed: unable to get local issuer certificate", FailureKind::tls_verify},
      {"certificate verify failed: certificate has expired", FailureKind::tls_verify},
      {"connection refused", FailureKind::refused},
      {"the server refused the upgrade", FailureKind::refused},
      {"closed during the handshake", FailureKind::refused},
      {"timed out", FailureKind::other},
      {"name not resolved", FailureKind::other},
      {"TLS handshake failed: wrong version number", FailureKind::other},
      {"", FailureKind::other},
  };
  for (const auto& [reason, kind] : cases) EXPECT_EQ(tarn::connect_failure_kind(reason), kind) << reason;
}

TEST(PermanentFailure, EveryUrlMustFailTheSameWayForItsWholeLimit) {
  struct Event {
    int url;
    std::int64_t at_s;
    FailureKind kind;  // other with reason "ok": the attempt delivered a job
    const char* reason;
  };
  struct Case {
    const char* what;
    int urls;
    std::vector<Event> events;
    bool permanent;
  };
  const FailureKind tls = FailureKind::tls_verify, refused = FailureKind::refused,
                    other = FailureKind::other;
  const char* cert = "certificate verify failed: x";
  const Case cases[] = {
      {"one URL, certificate failing for 600 s", 1, {{0, 0, tls, cert}, {0, 600, tls, cert}}, true},
      {"one second short", 1, {{0, 0, tls, cert}, {0, 599, tls, cert}}, false},
      {"refusals need an hour, not 600 s", 1,
       {{0, 0, refused, "connection refused"}, {0, 600, refused, "connection refused"}}, false},
      {"an hour of refusals", 1, {{0, 0, refused, "connection refused"}, {0, 3600, refused, "x"}},
       true},
      {"a time-out breaks the run", 1,
       {{0, 0, tls, cert}, {0, 300, other, "timed out"}, {0, 600, tls, cert}}, false},
      {"a job breaks the run", 1, {{0, 0, tls, cert}, {0, 300, other, "ok"}, {0, 600, tls, cert}},
       false},
      {"a change of kind starts over", 1,
       {{0, 0, refused, "connection refused"}, {0, 3000, tls, cert}, {0, 3500, tls, cert}}, false},
      {"a backup that works holds it off", 2,
       {{0, 0, tls, cert}, {1, 100, other, "ok"}, {0, 700, tls, cert}}, false},
      {"every URL, each for its own limit", 2,
       {{0, 0, tls, cert}, {1, 10, refused, "connection refused"}, {0, 700, tls, cert},
        {1, 3610, refused, "connection refused"}},
       true},
      {"a URL never tried holds it off", 2, {{0, 0, tls, cert}, {0, 600, tls, cert}}, false},
  };
  const std::vector<std::string> urls = {"wss://a/", "ws://b/"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tarn::FailureStreaks s(std::vector<std::string>(urls.begin(), urls.begin() + c.urls));
    for (const Event& e : c.events) {
      if (e.kind == other && std::string(e.reason) == "ok")
        s.cleared(e.url);
      else
        s.failed(e.url, e.kind, e.reason, e.at_s * kSecond);
    }
    const std::string line = s.permanent(tarn::PermanentLimits{});
    EXPECT_EQ(!line.empty(), c.permanent) << line;
  }
}

TEST(PermanentFailure, TheLineNamesEachUrlAndItsReason) {
  tarn::FailureStreaks s({"wss://a/", "ws://b/"});
  s.failed(0, FailureKind::tls_verify, "certificate verify failed: expired", 0);
  s.failed(1, FailureKind::refused, "closed before sending a job", 0);
  s.failed(0, FailureKind::tls_verify, "certificate verify failed: expired\n", 30 * kSecond);
  s.failed(1, FailureKind::refused, "connection refused", 30 * kSecond);
  EXPECT_EQ(s.permanent(tarn::PermanentLimits{20.0, 30.0}),
            "permanent pool failure: wss://a/: certificate verify failed: expired\\x0a on every "
            "attempt for 20 s; ws://b/: connection refused on every attempt for 30 s");
}

}  // namespace
