// A launch's hits on their way to the pool: each nonce rebuilt, hashed again on the host, judged
// by the share filter and sent, every outcome counted.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "monitor/stats_board.h"
#include "pool/format_line.h"
#include "pool/job_state.h"
#include "pool/share_filter.h"
#include "search/found_result.h"
#include "search/launch_layout.h"

namespace tarn {

// What one launch reports under, whatever messages arrive while it runs.
struct LaunchCopy {
  std::string job_id;
  std::string difficulty;
  std::array<std::uint8_t, 32> prefix;
  std::array<std::uint8_t, 32> header;
  std::array<std::uint8_t, 64> target;
};

LaunchCopy launch_copy(const PoolJob& job);

// Where a launch searched, which is what its hits are rebuilt from.
struct LaunchPlace {
  const LaunchLayout* layout;
  LaunchGeometry geometry;
  unsigned int per_thread;  // as launched, whatever the tuning made of it since
  std::uint64_t start0;     // the job's count when the launch began
};

// The connection as the share path uses it.
struct ShareLink {
  // Reads the connection and applies what came, which may change the job.
  std::function<void()> pump;
  // Queues a message and polls; false when the connection was not open, so nothing went.
  std::function<bool(const std::string& message)> send;
  std::function<std::int64_t()> now_ns;
  PrintLine print;
};

// The launch's hits in slot order, the first eight at most. Messages that came during the launch
// are applied first (and again before each slot where the layout says so), so a share is judged
// against the job's difficulty as it is now; it goes out under the launch's job id. A hit the host
// does not confirm is a device fault: one line, never sent.
void submit_hits(const LaunchCopy& copy, const FoundResult& found, const LaunchPlace& place,
                 const PoolJob& job, ShareFilter* filter, ShareCounters* counters,
                 const std::string& tag, const ShareLink& link);

}  // namespace tarn
