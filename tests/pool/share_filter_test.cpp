// The share filter on its own: stale before throttled, the throttle's float reading and its gap.
#include <gtest/gtest.h>

#include "pool/share_filter.h"

namespace {

using tarn::ShareFilter;
using tarn::ShareVerdict;

TEST(ShareFilter, VerdictTable) {
  constexpr std::int64_t kSec = 1000000000;
  struct Case {
    const char* launch;
    const char* current;
    std::int64_t since_ns;
    ShareVerdict want;
  };
  const Case cases[] = {
      {"1000", "1000", kSec, ShareVerdict::send},
      {"1000", "999", 0, ShareVerdict::throttled},       // a fall is not stale
      {"1000", "1001", kSec, ShareVerdict::stale},        // any rise is
      {"1000", "1001", 0, ShareVerdict::stale},           // stale wins over throttled
      {"1000", "1000", kSec / 5 - 1, ShareVerdict::throttled},
      {"1000", "1000", kSec / 5, ShareVerdict::send},     // exactly the gap is enough
      {"100000000", "100000000", 0, ShareVerdict::send},  // never throttled from 1e8 on
      {"99999999", "99999999", 0, ShareVerdict::throttled},
      {"100000000", "1e8", 0, ShareVerdict::send},        // the throttle reads a float
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.launch) + " -> " + c.current);
    ShareFilter f;
    f.submit_gap = 0.2;
    f.sent(5 * kSec);
    EXPECT_EQ(f.judge(c.launch, c.current, 5 * kSec + c.since_ns), c.want);
  }
}

}  // namespace
