#include "pool/share_path.h"

#include <algorithm>
#include <cstring>

#include "hash/hash_ref.h"
#include "pool/messages.h"
#include "util/bytes.h"

namespace tarn {

LaunchCopy launch_copy(const PoolJob& job) {
  return LaunchCopy{job.job_id, job.difficulty, job.prefix, job.header, job.target};
}

void submit_hits(const LaunchCopy& copy, const FoundResult& found, const LaunchPlace& place,
                 const PoolJob& job, ShareFilter* filter, ShareCounters* counters,
                 const std::string& tag, const ShareLink& link) {
  link.pump();
  const unsigned int slots = std::min<unsigned int>(found.count, FOUND_SLOTS);
  for (unsigned int k = 0; k < slots; ++k) {
    std::uint8_t nonce[64];
    std::memcpy(nonce, copy.prefix.data(), 32);
    place.layout->nonce_low(found, k, place.start0, place.geometry, place.per_thread, nonce + 32);
    const std::uint64_t hash_count = place.start0 + found.index[k];

    // The device's word is not taken on trust: the header and target are the launch's own.
    std::uint8_t hash[64];
    ref::hash_full(copy.header.data(), nonce, hash);
    if (!ref::below_target(hash, copy.target.data())) {
      ++counters->device_faults;
      link.print(format_line("%s device fault: nonce %s hashes to %s..., not below the target; "
                             "not sent (faults=%d)\n",
                             tag.c_str(), to_hex(nonce, 64).c_str(), to_hex(hash, 16).c_str(),
                             counters->device_faults));
      continue;
    }
    if (place.layout->pump_between_shares()) link.pump();

    const std::int64_t now = link.now_ns();
    switch (filter->judge(copy.difficulty, job.difficulty, now)) {
      case ShareVerdict::stale:
        ++counters->staleskip;  // the difficulty rose since the launch began
        continue;
      case ShareVerdict::throttled:
        ++counters->throttled;
        continue;
      case ShareVerdict::send:
        break;
    }
    // Counted only when it was really queued on an open connection.
    if (!link.send(job_result_message(copy.job_id, nonce_hex(nonce), hash_count))) continue;
    ++counters->submitted;
    filter->sent(now);
  }
}

}  // namespace tarn
