// The job state on its own: what NewJob and SetDifficulty change, print and ask of the device.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "pool/job_state.h"
#include "search/target.h"
#include "util/bytes.h"
#include "worker_harness.h"

namespace {

using tarn::DeviceUpdate;
using tarn::PoolJob;

std::array<std::uint8_t, 64> target_of(std::uint64_t difficulty) {
  std::array<std::uint8_t, 64> t;
  target_from_difficulty(difficulty, t.data());
  return t;
}

// A job well under way, which a refused message must leave exactly as it is.
PoolJob running_job() {
  PoolJob j;
  j.job_id = "old";
  j.difficulty = "5";
  j.mining_hash = std::string(64, 'b');
  j.header.fill(0xbb);
  j.target = target_of(5);
  j.prefix.fill(0x11);
  j.start_counter = 77;
  j.have_job = true;
  return j;
}

auto fields(const PoolJob& j) {
  return std::tie(j.job_id, j.difficulty, j.mining_hash, j.header, j.target, j.prefix,
                  j.start_counter, j.have_job);
}

void expect_same(const PoolJob& a, const PoolJob& b) { EXPECT_TRUE(fields(a) == fields(b)); }

TEST(JobState, NewJobReplacesTheJobOrIsABadDiff) {
  struct Case {
    std::string id;
    std::string difficulty_json;
    std::string line;  // a bad diff when it does not start with "[gpu0] [job"
  };
  const Case cases[] = {
      {"j1", "\"2\"", "[gpu0] [job j1] diff=2 target=7fffffff...\n"},
      {"j1", "\"1000\"", "[gpu0] [job j1] diff=1000 target=00418937...\n"},
      // Pool text reaches the log escaped; the job keeps the id as received.
      {"j1\n[gpu0] FAKE\x1b[2J", "\"2\"", "[gpu0] [job j1\\x0a[gpu0] FAKE\\x1b[2J] diff=2 target=7fffffff...\n"},
      {"z", "\"0\"", "[gpu0] bad diff 0\n"},
      {"n", "1000", "[gpu0] bad diff \n"},  // a number, not a string: no difficulty text
      // Not a plain integer (the reading's own table has the rest): it would read as one number
      // to the target and another to the throttle.
      {"e", "\"1e8\"", "[gpu0] bad diff 1e8\n"},
      {"c", "\"7\x01\"", "[gpu0] bad diff 7\\x01\n"},
      // Pool text longer than 128 bytes is cut in the line, with its length.
      {std::string(128, 'a'), "\"2\"", "[gpu0] [job " + std::string(128, 'a') + "] diff=2 target=7fffffff...\n"},
      {"\x01" + std::string(1 << 20, 'b'), "\"2\"",
       "[gpu0] [job \\x01" + std::string(127, 'b') + "\xE2\x80\xA6(1048577 bytes)] diff=2 target=7fffffff...\n"},
      {"o", "\"" + std::string(200, '9') + "\"", "[gpu0] bad diff " + std::string(128, '9') + "\xE2\x80\xA6(200 bytes)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 200));
    PoolJob job = running_job();
    std::uint64_t rng = 1;
    const tarn::JobChange change = tarn::take_new_job(
        &job, &rng, read_new_job(pooltest::new_job(c.id, c.difficulty_json)), "[gpu0]");
    EXPECT_EQ(change.line, c.line);
    if (c.line.rfind("[gpu0] [job", 0) != 0) {
      expect_same(job, running_job());
      EXPECT_EQ(rng, 1u);
      EXPECT_EQ(change.upload, DeviceUpdate::none);
      // Nor does it start a job on a connection that has none.
      PoolJob none;
      tarn::take_new_job(&none, &rng, read_new_job(pooltest::new_job(c.id, c.difficulty_json)), "[gpu0]");
      expect_same(none, PoolJob{});
      continue;
    }
    EXPECT_EQ(change.upload, DeviceUpdate::job);
    EXPECT_EQ(job.job_id, c.id);
    EXPECT_EQ(job.mining_hash, std::string(64, 'a'));
    EXPECT_EQ(tarn::to_hex(job.header.data(), 32), std::string(64, 'a'));
    EXPECT_EQ(job.target, target_of(std::stoull(job.difficulty)));
    EXPECT_EQ(job.start_counter, 0u);
    EXPECT_TRUE(job.have_job);
    // A fresh prefix from the worker's generator, which moved on.
    EXPECT_EQ(tarn::to_hex(job.prefix.data(), 32),
              "414129256501710dff2ee489e6a3e47b2531af5cf0b9a2d97a9c69b76a0c1404");
    EXPECT_EQ(rng, 0xebafe30772869e04u);
  }
}

TEST(JobState, SetDifficultyMovesTheTargetOnlyWithAJob) {
  struct Case {
    const char* what;
    bool have_job;
    std::string message;
    std::string difficulty;  // afterwards
    std::uint64_t target;    // difficulty of the target afterwards
    DeviceUpdate upload;
    std::string line;
  };
  const Case cases[] = {
      {"no job: only the text", false, pooltest::set_difficulty("9"), "9", 5, DeviceUpdate::none, ""},
      {"raised", true, pooltest::set_difficulty("9"), "9", 9, DeviceUpdate::target, ""},
      {"truncated", true, pooltest::set_difficulty("2500.7"), "2500", 2500, DeviceUpdate::target, ""},
      {"reads 0: target kept", true, pooltest::set_difficulty("0.5"), "0", 5, DeviceUpdate::target, ""},
      {"negative: ignored", true, pooltest::set_difficulty("-3"), "5", 5, DeviceUpdate::none,
       "[gpu0] SetDifficulty ignored: share_difficulty -3 is negative, not finite or 2^64 or more\n"},
      {"no share_difficulty", true, "{\"SetDifficulty\":{}}", "5", 5, DeviceUpdate::none, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PoolJob job = running_job();
    job.have_job = c.have_job;
    const tarn::JobChange change =
        tarn::take_set_difficulty(&job, read_set_difficulty(c.message), "[gpu0]");
    EXPECT_EQ(job.difficulty, c.difficulty);
    EXPECT_EQ(job.target, target_of(c.target));
    EXPECT_EQ(change.upload, c.upload);
    EXPECT_EQ(change.line, c.line);
    // The job goes on where it was.
    PoolJob rest = running_job();
    rest.have_job = c.have_job;
    rest.difficulty = job.difficulty;
    rest.target = job.target;
    expect_same(job, rest);
  }
}

}  // namespace
