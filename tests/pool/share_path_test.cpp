// The share path on its own: a forged hit record through both layouts, with the connection, the
// clock and the job's changes scripted.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hash/hash_ref.h"
#include "pool/messages.h"
#include "pool/share_path.h"
#include "search/nonce_layout.h"
#include "search/target.h"
#include "util/bytes.h"
#include "worker_harness.h"

namespace {

using pooltest::SentShare;

constexpr std::int64_t kSecond = 1000000000;
// An id with bytes a terminal would not show: it goes back to the pool as received.
const std::string kJobId = "j1\n\x1b[2J";

std::string sent_id() {
  return pooltest::json_job_id(job_result_message(kJobId, std::string(128, '0'), 0));
}

struct Launch {
  bool dir;
  tarn::LaunchCopy copy;
  FoundResult found{};
  std::unique_ptr<tarn::LaunchLayout> layout;
  tarn::LaunchPlace place;

  // A launch at difficulty 2 whose target is `target_difficulty`'s, three groups (or as many
  // counter values) into the job.
  Launch(bool dir_, std::uint64_t target_difficulty)
      : dir(dir_), layout(tarn::make_launch_layout(dir_)) {
    copy.job_id = kJobId;
    copy.difficulty = "2";
    copy.header.fill(0xaa);
    for (int i = 0; i < 32; ++i) copy.prefix[i] = static_cast<std::uint8_t>(0x30 + i);
    target_from_difficulty(target_difficulty, copy.target.data());
    tarn::LaunchGeometry g;
    g.dir = dir;
    g.tpb = dir ? 512 : 256;
    g.blocks = 16;
    const unsigned int per_thread = dir ? 64 : 16;
    place = tarn::LaunchPlace{layout.get(), g, per_thread, 3ull * g.tpb * per_thread};
  }

  void hit(std::uint64_t index) {
    if (found.count < FOUND_SLOTS) {
      found.index[found.count] = index;
      found.base[found.count] = 3;  // the start group
    }
    ++found.count;
  }

  // The nonce a hit at index stands for, built without the share path.
  std::array<std::uint8_t, 64> nonce_of(std::uint64_t index) const {
    std::array<std::uint8_t, 64> n;
    std::memcpy(n.data(), copy.prefix.data(), 32);
    if (dir) {
      tarn_nonce_dir_result_low(3, index, place.geometry.tpb, place.per_thread, n.data() + 32);
    } else {
      tarn_counter_low(place.start0 + index, n.data() + 32);
    }
    return n;
  }
};

// The pool side: what was sent, and a job whose difficulty may change at a given pump.
struct Pool {
  tarn::PoolJob job;
  int pumps = 0;
  int change_at_pump = 0;  // 0: never
  std::string new_difficulty;
  bool open = true;
  std::int64_t now = 10 * kSecond;
  std::int64_t step_ns = 0;  // the clock moves this much at every reading
  std::vector<std::string> sent;
  std::vector<std::string> lines;

  tarn::ShareLink link() {
    tarn::ShareLink l;
    l.pump = [this] {
      if (++pumps == change_at_pump) {
        job.difficulty = new_difficulty;
        job.job_id = "j2";  // a new job as well: the launch's shares keep their own id
      }
    };
    l.send = [this](const std::string& m) {
      if (open) sent.push_back(m);
      return open;
    };
    l.now_ns = [this] { return now += step_ns; };
    l.print = [this](const std::string& line) { lines.push_back(line); };
    return l;
  }
};

TEST(SharePath, FilterOrderAndCountersInBothLayouts) {
  using Slots = std::vector<unsigned int>;
  struct Outcome {
    Slots sent;  // the slots that went out, in order
    int staleskip, throttled;
  };
  const Slots all{0, 1, 2, 3, 4, 5, 6, 7};
  struct Case {
    const char* what;
    unsigned int hits;
    int change_at_pump;
    const char* new_difficulty;
    double gap;
    std::int64_t step_ns;
    bool open;
    Outcome counter, dir;
  };
  const Case cases[] = {
      {"eight hits", 8, 0, "", 0.0, 0, true, {all, 0, 0}, {all, 0, 0}},
      {"eleven hits fill eight slots, the rest not counted", 11, 0, "", 0.0, 0, true, {all, 0, 0},
       {all, 0, 0}},
      {"raised during the launch", 8, 1, "4", 0.0, 0, true, {{}, 8, 0}, {{}, 8, 0}},
      {"lowered during the launch", 8, 1, "1", 0.0, 0, true, {all, 0, 0}, {all, 0, 0}},
      // The direction layout applies messages before each slot; the counter layout once.
      {"raised after two shares", 8, 4, "4", 0.0, 0, true, {all, 0, 0}, {{0, 1}, 6, 0}},
      // The gap counts from the last submit, which takes the time of its own slot.
      {"a slot every 0.1 s, a gap of 0.2 s", 8, 0, "", 0.2, kSecond / 10, true, {{1, 3, 5, 7}, 0, 4},
       {{1, 3, 5, 7}, 0, 4}},
      {"connection no longer open", 8, 0, "", 0.0, 0, false, {{}, 0, 0}, {{}, 0, 0}},
  };
  for (const Case& c : cases) {
    for (const bool dir : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (dir ? ", direction" : ", counter"));
      Launch l(dir, 1);  // at difficulty 1 every hash is a hit
      for (unsigned int k = 0; k < c.hits; ++k) l.hit(17 * k + 1);
      Pool pool;
      pool.job.job_id = kJobId;
      pool.job.difficulty = "2";
      pool.change_at_pump = c.change_at_pump;
      pool.new_difficulty = c.new_difficulty;
      pool.open = c.open;
      pool.step_ns = c.step_ns;
      tarn::ShareFilter filter;
      filter.submit_gap = c.gap;
      filter.last_submit_ns = pool.now;
      tarn::ShareCounters counters;
      tarn::submit_hits(l.copy, l.found, l.place, pool.job, &filter, &counters, "[gpu0]",
                        pool.link());

      const Outcome& want = dir ? c.dir : c.counter;
      EXPECT_EQ(counters.submitted, static_cast<int>(want.sent.size()));
      EXPECT_EQ(counters.staleskip, want.staleskip);
      EXPECT_EQ(counters.throttled, want.throttled);
      EXPECT_EQ(counters.device_faults, 0);
      ASSERT_EQ(pool.sent.size(), want.sent.size());
      // Each under the launch's job id, with the nonce and index of its slot.
      for (size_t i = 0; i < want.sent.size(); ++i) {
        const std::uint64_t index = 17 * want.sent[i] + 1;
        SentShare s;
        ASSERT_TRUE(pooltest::parse_job_result(pool.sent[i], &s)) << pool.sent[i];
        EXPECT_EQ(s.job_id, sent_id());
        EXPECT_EQ(s.hash_count, l.place.start0 + index);
        EXPECT_EQ(s.nonce, l.nonce_of(index));
      }
    }
  }
}

// The device's word is not taken on trust: a hit that does not hash below its launch's target
// is a device fault, never sent, while a real one beside it goes out.
TEST(SharePath, AHitTheHostCannotConfirmIsAFaultAndNeverSent) {
  for (const bool dir : {false, true}) {
    SCOPED_TRACE(dir ? "direction" : "counter");
    Launch l(dir, 2);
    std::uint8_t target[64];
    target_from_difficulty(2, target);
    std::uint64_t good = ~0ull, bad = ~0ull;
    for (std::uint64_t i = 0; good == ~0ull || bad == ~0ull; ++i) {
      std::uint8_t hash[64];
      ref::hash_full(l.copy.header.data(), l.nonce_of(i).data(), hash);
      (ref::below_target(hash, target) ? good : bad) = i;
    }
    l.hit(bad);
    l.hit(good);
    l.hit(bad);
    Pool pool;
    pool.job.difficulty = "2";
    tarn::ShareFilter filter;
    filter.submit_gap = 0.0;
    tarn::ShareCounters counters;
    tarn::submit_hits(l.copy, l.found, l.place, pool.job, &filter, &counters, "[gpu0]",
                      pool.link());

    EXPECT_EQ(counters.device_faults, 2);
    EXPECT_EQ(counters.submitted, 1);
    ASSERT_EQ(pool.sent.size(), 1u);
    SentShare s;
    ASSERT_TRUE(pooltest::parse_job_result(pool.sent[0], &s));
    EXPECT_EQ(s.hash_count, l.place.start0 + good);
    std::uint8_t hash[64];
    ref::hash_full(l.copy.header.data(), l.nonce_of(bad).data(), hash);
    const std::string line = "[gpu0] device fault: nonce " + tarn::to_hex(l.nonce_of(bad).data(), 64) +
                             " hashes to " + tarn::to_hex(hash, 16) +
                             "..., not below the target; not sent (faults=";
    EXPECT_EQ(pool.lines, (std::vector<std::string>{line + "1)\n", line + "2)\n"}));
  }
}

}  // namespace
