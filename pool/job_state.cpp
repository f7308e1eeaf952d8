#include "pool/job_state.h"

#include "pool/format_line.h"
#include "search/target.h"
#include "util/printable.h"

namespace tarn {

std::uint64_t prefix_seed(int gpu, std::int64_t now_ns) {
  return (static_cast<std::uint64_t>(gpu) + 1) * 0x9E3779B97F4A7C15ull ^
         static_cast<std::uint64_t>(now_ns);
}

void draw_prefix(std::uint64_t* rng, std::array<std::uint8_t, 32>* prefix) {
  for (std::uint8_t& byte : *prefix) {
    *rng ^= *rng << 13;
    *rng ^= *rng >> 7;
    *rng ^= *rng << 17;
    byte = static_cast<std::uint8_t>(*rng);
  }
}

JobChange take_new_job(PoolJob* job, std::uint64_t* rng, const NewJob& j, const std::string& tag) {
  JobChange change;
  // Pool text is shown escaped and capped, so it can neither forge log lines nor flood them.
  if (j.difficulty_value == 0) {
    change.line = format_line("%s bad diff %s\n", tag.c_str(), printable_capped(j.difficulty).c_str());
    return change;
  }
  job->job_id = j.job_id;
  job->difficulty = j.difficulty;
  job->mining_hash = j.mining_hash;
  job->header = j.header;
  target_from_difficulty(j.difficulty_value, job->target.data());
  draw_prefix(rng, &job->prefix);
  job->start_counter = 0;
  job->have_job = true;
  change.upload = DeviceUpdate::job;
  change.line = format_line("%s [job %s] diff=%s target=%02x%02x%02x%02x...\n", tag.c_str(),
                            printable_capped(job->job_id).c_str(),
                            printable_capped(job->difficulty).c_str(), job->target[0],
                            job->target[1], job->target[2], job->target[3]);
  return change;
}

JobChange take_set_difficulty(PoolJob* job, const SetDifficulty& sd, const std::string& tag) {
  JobChange change;
  if (!sd.found) return change;
  if (!sd.usable) {
    change.line = set_difficulty_ignored_line(tag, sd);
    return change;
  }
  job->difficulty = sd.difficulty;
  if (!job->have_job) return change;
  const std::uint64_t d = difficulty_u64(job->difficulty);
  if (d >= 1) target_from_difficulty(d, job->target.data());
  change.upload = DeviceUpdate::target;
  return change;
}

}  // namespace tarn
