// The pool worker against a scripted pool, a fake clock and a host-emulated device.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "hash/hash_ref.h"
#include "pool/messages.h"
#include "pool/supervisor.h"
#include "pool/worker.h"
#include "search/nonce_layout.h"
#include "search/target.h"
#include "worker_harness.h"

using pooltest::Harness;
using pooltest::ScriptedSocket;
using pooltest::SentShare;
using pooltest::new_job;
using pooltest::set_difficulty;
using pooltest::shares_of;

namespace {

constexpr std::uint64_t kNoHits = 18446744073709551615ull;  // difficulty 2^64 - 1

// Every sent share must meet the target of `difficulty` for the header "aa…aa", and its nonce
// must be the one its hash_count stands for in the layout.
void expect_valid_shares(const std::vector<SentShare>& shares, std::uint64_t difficulty, bool dir,
                         unsigned int tpb = 512, unsigned int per_thread = 64) {
  std::uint8_t header[32];
  std::memset(header, 0xaa, sizeof header);
  std::uint8_t target[64];
  target_from_difficulty(difficulty, target);
  for (const SentShare& s : shares) {
    std::uint8_t hash[64];
    ref::hash_full(header, s.nonce.data(), hash);
    EXPECT_TRUE(ref::below_target(hash, target)) << "hash_count " << s.hash_count;
    std::uint8_t low[32];
    if (dir) {
      tarn_nonce_dir_result_low(0, s.hash_count, tpb, per_thread, low);
    } else {
      tarn_counter_low(s.hash_count, low);
    }
    EXPECT_EQ(std::memcmp(s.nonce.data() + 32, low, 32), 0) << "hash_count " << s.hash_count;
  }
}

// The socket delivers `job` on the first poll of the mining loop (the one after the Hello).
void job_on_first_mining_poll(ScriptedSocket& s, const std::string& job) {
  s.on_poll = [job](ScriptedSocket& sock) {
    if (sock.polls == 2) sock.arrive(job);
  };
}

std::string be64_of(const std::array<unsigned char, 32>& start) {
  std::uint64_t v = 0;
  for (int i = 24; i < 32; ++i) v = v << 8 | start[i];
  return std::to_string(v);
}

}  // namespace

TEST(PoolWorker, DropsWhatIsWaitingRightAfterHelloAndMinesALaterJob) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  s.arrive(new_job("early", "\"2\""));  // complete before the first poll: dropped
  job_on_first_mining_poll(s, new_job("j1", "\"2\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) { h.stop = true; };
  w.run();

  ASSERT_FALSE(s.sent.empty());
  EXPECT_EQ(s.sent.front(), hello_message("P", "W"));
  EXPECT_EQ(h.lines.front(), "[gpu0] test device (1 SMs, sm_120, 16 blocks x 512 threads) worker=W\n");
  EXPECT_TRUE(h.has_line("[gpu0] connected to ws://pool.test/\n"));
  EXPECT_EQ(h.count_lines("[job early]"), 0);
  EXPECT_TRUE(h.has_line("[gpu0] [job j1] diff=2 target=7fffffff...\n"));
  ASSERT_EQ(h.device->launches.size(), 1u);
  EXPECT_EQ(h.device->launches[0].count, 16ull * 512 * 64);

  const std::vector<SentShare> shares = shares_of(s);
  EXPECT_EQ(shares.size(), 8u);  // about half of 512 hashes hit; eight slots
  for (const SentShare& share : shares) EXPECT_EQ(share.job_id, "j1");
  expect_valid_shares(shares, 2, true);
  EXPECT_TRUE(s.closed_by_client);
  EXPECT_EQ(h.lines.back(),
            "[gpu0] stopped (lifetime: submitted=8 accepted=0 rejected=0 staleskip=0 throttled=0)\n");
}

TEST(PoolWorker, BadDifficultyStartsNoJobAndNeverRelabelsTheRunningOne) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  size_t launches_before_j1 = 99;
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  s.on_poll = [&](ScriptedSocket& sock) {
    if (sock.polls == 2) {
      sock.arrive(new_job("z", "\"0\""));
      sock.arrive(new_job("n", "1000"));  // a number, not a string: no difficulty text
    }
    if (sock.polls == 6) {
      launches_before_j1 = h.device->launches.size();
      sock.arrive(new_job("j1", "\"2\""));
    }
  };
  h.device->after_launch = [&](FoundResult*) {
    if (h.device->launches.size() == 1) s.arrive(new_job("j2", "\"0\""));
    if (h.device->launches.size() == 3) h.stop = true;
  };
  w.run();

  EXPECT_EQ(launches_before_j1, 0u);
  EXPECT_TRUE(h.has_line("[gpu0] bad diff \n"));
  EXPECT_EQ(h.count_lines("[gpu0] bad diff 0\n"), 2);  // z, then j2 during the first launch
  EXPECT_EQ(h.count_lines("[job j2]"), 0);
  const std::vector<SentShare> shares = shares_of(s);
  EXPECT_EQ(shares.size(), 24u);
  for (const SentShare& share : shares) EXPECT_EQ(share.job_id, "j1");
  expect_valid_shares(shares, 2, true);
  EXPECT_EQ(w.job().difficulty, "2");
}

class PoolWorkerLayouts : public ::testing::TestWithParam<int> {};

TEST_P(PoolWorkerLayouts, DifficultyRaisedDuringALaunchMakesItsHitsStale) {
  Harness h(GetParam());
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"2\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    const size_t n = h.device->launches.size();
    if (n == 1) s.arrive(set_difficulty("4"));  // raised: every hit of launch 1 is stale
    if (n == 2) {
      s.arrive(set_difficulty("3"));  // lowered: launch 2's hits still go out
      h.stop = true;
    }
  };
  w.run();

  EXPECT_EQ(w.counters().staleskip, 8);
  EXPECT_EQ(w.counters().submitted, 8);
  ASSERT_EQ(h.device->launches.size(), 2u);
  std::array<unsigned char, 64> t4;
  target_from_difficulty(4, t4.data());
  EXPECT_EQ(h.device->launches[1].target, t4);
  const bool dir = GetParam() >= 120;
  const std::vector<SentShare> shares = shares_of(s);
  // Launch 2 began where launch 1 ended.
  for (const SentShare& share : shares) EXPECT_GE(share.hash_count, h.device->launches[0].count);
  expect_valid_shares(shares, 4, dir);
  EXPECT_EQ(w.job().difficulty, "3");
}

TEST_P(PoolWorkerLayouts, ARiseBetweenSlotsStopsTheRestOnlyInTheDirectionLayout) {
  // The direction layout applies messages before each slot's tests; the counter layout reads
  // both difficulties once for the whole launch.
  Harness h(GetParam());
  ScriptedSocket& s = h.add_socket();
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  bool raised = false;
  s.on_poll = [&](ScriptedSocket& sock) {
    if (sock.polls == 2) sock.arrive(new_job("j1", "\"2\""));
    if (sock.sent.size() == 3 && !raised) {  // the Hello and two shares are out
      sock.arrive(set_difficulty("4"));
      raised = true;
    }
  };
  h.device->after_launch = [&](FoundResult*) { h.stop = true; };
  w.run();

  const bool dir = GetParam() >= 120;
  EXPECT_EQ(w.counters().submitted, dir ? 2 : 8);
  EXPECT_EQ(w.counters().staleskip, dir ? 6 : 0);
  // The counter layout stopped before its next round of messages.
  EXPECT_EQ(w.job().difficulty, dir ? "4" : "2");
}

INSTANTIATE_TEST_SUITE_P(CounterAndDirection, PoolWorkerLayouts, ::testing::Values(86, 120));

TEST(PoolWorker, ThrottleCountsFromTheLastSubmitAndStartsAtTheWorkerStart) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"2\""));
  tarn::PoolWorker w(h.settings(0.2), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    h.now_ns += 100000000;  // every launch takes 100 ms
    if (h.device->launches.size() == 4) h.stop = true;
  };
  w.run();

  // Launches end 0.1, 0.2, 0.3 and 0.4 s after the start: only the first slot of launches 2
  // and 4 is 0.2 s or more after the previous submit.
  EXPECT_EQ(w.counters().submitted, 2);
  EXPECT_EQ(w.counters().throttled, 30);
  const std::vector<SentShare> shares = shares_of(s);
  ASSERT_EQ(shares.size(), 2u);
  const std::uint64_t per_launch = h.device->launches[0].count;
  EXPECT_GE(shares[0].hash_count, per_launch);
  EXPECT_LT(shares[0].hash_count, 2 * per_launch);
  EXPECT_GE(shares[1].hash_count, 3 * per_launch);
  expect_valid_shares(shares, 2, true);
}

// A difficulty in exponent form or with a sign would read as one number to the target and as
// another to the throttle: it is a bad diff and never mined. (The throttle's own 1e8 boundary is
// in the share filter's table.)
TEST(PoolWorker, ADifficultyThatIsNotAPlainIntegerIsABadDiff) {
  for (const char* difficulty : {"1e8", "9.9e7", "-1", "18446744073709551616"}) {
    SCOPED_TRACE(difficulty);
    Harness h;
    ScriptedSocket& s = h.add_socket();
    s.on_poll = [&](ScriptedSocket& sock) {
      if (sock.polls == 2) sock.arrive(new_job("j1", std::string("\"") + difficulty + "\""));
      if (sock.polls == 20) h.stop = true;
    };
    tarn::PoolWorker w(h.settings(), h.env());
    EXPECT_TRUE(w.start());
    w.run();
    EXPECT_TRUE(h.has_line(std::string("[gpu0] bad diff ") + difficulty + "\n"));
    EXPECT_EQ(h.device->launches.size(), 0u);
    EXPECT_FALSE(w.job().have_job);
  }
}

TEST(PoolWorker, ElevenHitsFillEightSlotsAndTheRestAreNotCounted) {
  Harness h(86);
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"1\""));  // difficulty 1: every hash is a hit
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->count_cap = 11;
  std::vector<unsigned int> counts;
  h.device->after_launch = [&](FoundResult* found) {
    counts.push_back(found->count);
    if (h.device->launches.size() == 2) h.stop = true;
  };
  w.run();

  EXPECT_EQ(counts, (std::vector<unsigned int>{11, 11}));
  EXPECT_EQ(w.counters().submitted, 16);
  EXPECT_EQ(w.counters().staleskip + w.counters().throttled, 0);
  const std::vector<SentShare> shares = shares_of(s);
  ASSERT_EQ(shares.size(), 16u);
  const std::uint64_t first = h.device->launches[0].count;  // 32 x 256 x 16
  EXPECT_EQ(first, 131072u);
  std::set<std::uint64_t> seen;
  for (size_t i = 0; i < shares.size(); ++i) {
    const std::uint64_t base = i < 8 ? 0 : first;
    EXPECT_GE(shares[i].hash_count, base);
    EXPECT_LT(shares[i].hash_count, base + 11);
    seen.insert(shares[i].hash_count);
  }
  EXPECT_EQ(seen.size(), 16u);
  expect_valid_shares(shares, 1, false);
}

TEST(PoolWorker, StatisticsEveryFiveSecondsWithASixtySecondWindow) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"" + std::to_string(kNoHits) + "\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->gpu_ms = 900.0f;
  h.device->after_launch = [&](FoundResult*) {
    h.now_ns += 1250000000;  // 1.25 s per launch
    if (h.device->launches.size() == 49) h.stop = true;
  };
  w.run();

  std::vector<std::string> stats;
  for (const std::string& l : h.lines)
    if (l.find(" MH/s ") != std::string::npos) stats.push_back(l);
  ASSERT_EQ(stats.size(), 12u);  // at 5, 10, ... 60 s: every fourth launch
  // 4 launches of 524288 indices in 5 s.
  EXPECT_EQ(stats[0],
            "[gpu0] [5s] 0.4 MH/s (60s: 0.0) | diff=18446744073709551615 submitted=0 accepted=0 "
            "rejected=0 staleskip=0 throttled=0 | pt=64 launches/s=0.8 gpu=900.0ms wall=1250.0ms\n");
  EXPECT_NE(stats[10].find("[55s] 0.4 MH/s (60s: 0.0)"), std::string::npos) << stats[10];
  EXPECT_NE(stats[11].find("[60s] 0.4 MH/s (60s: 0.4)"), std::string::npos) << stats[11];
}

TEST(PoolWorker, ConnectBackOffDoublesUpToThirtyTwoSeconds) {
  Harness h;
  h.refuse_next(1000);
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  // Stop once the seventh refusal has been slept off.
  h.max_sleeps = 7;
  w.run();

  EXPECT_EQ(h.sleeps, (std::vector<double>{1, 2, 4, 8, 16, 32, 32}));
  EXPECT_TRUE(h.has_line("[gpu0] connect failed: ws://pool.test/ \xE2\x80\x94 retrying in 1s\n"));
  EXPECT_EQ(h.count_lines("retrying in 32s\n"), 2);
}

// After three refusals (1, 2, 4 s) a connection ends; only one that delivered a job or lived 30 s
// starts the back-off over, so a pool that accepts and drops at once is not hammered.
TEST(PoolWorker, OnlyAUsefulConnectionResetsTheBackOff) {
  struct Case {
    const char* what;
    bool job;
    std::int64_t lived_ns;
    std::vector<double> sleeps;
  };
  const Case cases[] = {
      {"dropped at once", false, 0, {1, 2, 4, 8, 16, 32}},
      {"delivered a job", true, 0, {1, 2, 4, 1, 1, 2}},
      {"lived 30 s", false, 30000000000, {1, 2, 4, 1, 1, 2}},
      {"lived 29 s", false, 29000000000, {1, 2, 4, 8, 16, 32}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.refuse_next(3);  // and once the one connection is used up, every connect fails
    ScriptedSocket& s = h.add_socket();
    s.on_poll = [&](ScriptedSocket& sock) {
      if (sock.polls == 2 && c.job) sock.arrive(new_job("j1", "\"2\""));
      if (sock.polls == 3) {
        h.now_ns += c.lived_ns;
        sock.state = ScriptedSocket::CLOSED;  // the pool goes away
      }
    };
    h.max_sleeps = 6;
    tarn::PoolWorker w(h.settings(), h.env());
    ASSERT_TRUE(w.start());
    w.run();

    EXPECT_EQ(h.sleeps, c.sleeps);
    EXPECT_TRUE(h.has_line("[gpu0] disconnected (lifetime: submitted=0 accepted=0 rejected=0 "
                           "staleskip=0 throttled=0) \xE2\x80\x94 reconnecting...\n"))
        << (h.lines.empty() ? "" : h.lines.back());
    EXPECT_FALSE(s.closed_by_client);  // the worker never closes a live connection itself
  }
}

TEST(PoolWorker, ReconnectKeepsCountersAndStartsTheJobAfresh) {
  Harness h;
  ScriptedSocket& first = h.add_socket();
  ScriptedSocket& second = h.add_socket();
  job_on_first_mining_poll(first, new_job("j1", "\"2\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  size_t launches_on_second_before_job = 99;
  second.on_poll = [&](ScriptedSocket& sock) {
    if (sock.polls == 2) sock.arrive(set_difficulty("5"));  // no job yet: only the text changes
    if (sock.polls == 4) {
      launches_on_second_before_job = h.device->launches.size();
      sock.arrive(new_job("j2", "\"3\""));
    }
  };
  h.device->after_launch = [&](FoundResult*) {
    const size_t n = h.device->launches.size();
    if (n == 1) {
      first.arrive("{\"ShareAccepted\":{}}");
      first.arrive("{\"ShareAccepted\":{}}");
    }
    if (n == 2) first.state = ScriptedSocket::CLOSED;
    if (n == 3) h.stop = true;
  };
  w.run();

  EXPECT_EQ(launches_on_second_before_job, 2u);
  ASSERT_EQ(h.device->launches.size(), 3u);
  EXPECT_EQ(be64_of(h.device->launches[1].start), "16");  // j1 goes on after 16 groups
  EXPECT_EQ(be64_of(h.device->launches[2].start), "0");   // j2 starts from 0
  // Launch 2's hits found the connection closed: never sent, so never counted.
  EXPECT_TRUE(h.has_line("[gpu0] disconnected (lifetime: submitted=8 accepted=2 rejected=0 "
                         "staleskip=0 throttled=0) \xE2\x80\x94 reconnecting...\n"));
  EXPECT_TRUE(h.has_line("[gpu0] [job j2] diff=3 target=55555555...\n"));
  EXPECT_EQ(w.counters().submitted, 16);
  for (const SentShare& share : shares_of(second)) EXPECT_EQ(share.job_id, "j2");
}

TEST(PoolWorker, CounterLayoutTunesPerThreadByWallTime) {
  Harness h(86);
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"" + std::to_string(kNoHits) + "\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    const size_t n = h.device->launches.size();
    h.now_ns += n <= 5 ? 30000000 : 300000000;  // 30 ms, then 300 ms
    if (n == 13) h.stop = true;
  };
  w.run();

  std::vector<unsigned int> pt;
  for (const auto& l : h.device->launches) pt.push_back(l.per_thread);
  EXPECT_EQ(pt, (std::vector<unsigned int>{16, 32, 64, 128, 256, 256, 128, 64, 32, 16, 8, 4, 4}));
  EXPECT_EQ(h.device->launches[4].count, 32ull * 256 * 256);
}

TEST(PoolWorker, CounterLayoutNeverCrossesATwoToTheThirtyTwoBoundary) {
  Harness h(86);
  ScriptedSocket& s = h.add_socket();
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  bool moved = false;
  s.on_poll = [&](ScriptedSocket& sock) {
    if (sock.polls == 2) sock.arrive(new_job("j1", "\"1\""));
    if (h.device->launches.size() == 1 && !moved) {
      w.job().start_counter = (1ull << 32) - 1000;  // as if the job had run that long
      moved = true;
    }
  };
  h.device->count_cap = 3;
  h.device->after_launch = [&](FoundResult*) {
    if (h.device->launches.size() == 4) h.stop = true;
  };
  w.run();

  ASSERT_EQ(h.device->launches.size(), 4u);
  const auto& l = h.device->launches;
  EXPECT_EQ(l[1].per_thread, 32u);  // launch 1 was quick: doubled
  EXPECT_EQ(be64_of(l[1].start), std::to_string((1ull << 32) - 1000));
  EXPECT_EQ(l[1].count, 1000u);
  EXPECT_EQ(be64_of(l[2].start), std::to_string(1ull << 32));
  EXPECT_EQ(l[2].count, 32ull * 256 * 32);
  // The cut launch was quick too but is not used for tuning; the next one is.
  EXPECT_EQ(l[2].per_thread, 32u);
  EXPECT_EQ(l[3].per_thread, 64u);
  const std::vector<SentShare> shares = shares_of(s);
  ASSERT_EQ(shares.size(), 12u);
  std::set<std::uint64_t> third;
  for (size_t i = 6; i < 9; ++i) third.insert(shares[i].hash_count);
  EXPECT_EQ(third, (std::set<std::uint64_t>{1ull << 32, (1ull << 32) + 1, (1ull << 32) + 2}));
  expect_valid_shares(shares, 1, false);
}

TEST(PoolWorker, AHitTheHostCannotConfirmIsNeverSent) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"" + std::to_string(kNoHits) + "\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult* found) {
    found->count = 2;  // forged: neither index is a hit at this difficulty
    found->index[0] = 3;
    found->index[1] = 40;
    found->base[0] = found->base[1] = 0;
    h.stop = true;
  };
  w.run();

  EXPECT_EQ(w.counters().device_faults, 2);
  EXPECT_EQ(w.counters().submitted, 0);
  EXPECT_EQ(shares_of(s).size(), 0u);
  EXPECT_EQ(h.count_lines("[gpu0] device fault: nonce "), 2);
}

TEST(PoolWorker, AFailedLaunchIsReportedAndTheDeviceRebuilt) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"2\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  int mine_calls = 0, copy_outs = 0;
  h.device->fault = [&](const char* call) {
    if (std::strcmp(call, "launch_mine") == 0 && ++mine_calls == 1)
      return tarn::status_error("mine_kernel launch", "unspecified launch failure");
    // The second launch runs, but its result cannot be read back.
    if (std::strcmp(call, "copy_out") == 0 && ++copy_outs == 1)
      return tarn::status_error("cudaMemcpy from device", "an illegal memory access was encountered");
    return tarn::Status{};
  };
  size_t sent_before_good_launch = 99;
  h.device->after_launch = [&](FoundResult*) {
    if (h.device->launches.size() == 2) sent_before_good_launch = s.sent.size();
    if (h.device->launches.size() == 2) h.stop = true;
  };
  w.run();

  EXPECT_TRUE(h.has_line("[gpu0] CUDA error: mine_kernel launch: unspecified launch failure "
                         "\xE2\x80\x94 re-initialising the device in 1s\n"));
  // No launch succeeded in between, so the back-off has grown.
  EXPECT_TRUE(h.has_line("[gpu0] CUDA error: cudaMemcpy from device: an illegal memory access was "
                         "encountered \xE2\x80\x94 re-initialising the device in 2s\n"));
  EXPECT_EQ(h.count_lines("[gpu0] device re-initialised\n"), 2);
  EXPECT_EQ(h.device->resets, 2);  // each rebuild starts from a fresh context
  EXPECT_EQ(h.sleeps, (std::vector<double>{1, 2}));
  EXPECT_EQ(h.device->midstates, 3);  // the job, then once per rebuild
  EXPECT_EQ(sent_before_good_launch, 1u);  // only the Hello: nothing from the unread result
  ASSERT_EQ(h.device->launches.size(), 2u);
  // Neither failed launch counts as searched.
  EXPECT_EQ(be64_of(h.device->launches[0].start), "0");
  EXPECT_EQ(be64_of(h.device->launches[1].start), "0");
  EXPECT_EQ(w.counters().device_errors, 2);
  EXPECT_EQ(w.counters().submitted, 8);
  expect_valid_shares(shares_of(s), 2, true);
}

TEST(PoolWorker, AllocationFailuresBackOffUntilTheDeviceRecovers) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"2\""));
  int allocs = 0;
  h.device_fault = [&](const char* call) {
    if (std::strcmp(call, "alloc") == 0 && ++allocs <= 2)
      return tarn::status_error("cudaMalloc", "out of memory");
    return tarn::Status{};
  };
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) { h.stop = true; };
  w.run();

  EXPECT_TRUE(h.has_line("[gpu0] CUDA error: cudaMalloc: out of memory \xE2\x80\x94 re-initialising "
                         "the device in 1s\n"));
  EXPECT_TRUE(h.has_line("[gpu0] CUDA error: cudaMalloc: out of memory \xE2\x80\x94 re-initialising "
                         "the device in 2s\n"));
  EXPECT_EQ(h.sleeps, (std::vector<double>{1, 2}));
  EXPECT_EQ(w.counters().submitted, 8);
}

TEST(PoolWorker, HandlesEachIncomingMessageKind) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  s.on_poll = [](ScriptedSocket& sock) {
    if (sock.polls != 2) return;
    sock.arrive("{\"HelloAck\":{}}");
    sock.arrive("{\"Ping\":{}}");
    sock.arrive(set_difficulty("5"));   // before any job: only the text
    sock.arrive(set_difficulty("-3"));  // refused with one line
    sock.arrive(new_job("j1", "\"1000\""));
  };
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    if (h.device->launches.size() == 1) {
      s.arrive("{\"ShareAccepted\":{}}");
      s.arrive("{\"ShareAccepted\":{}}");
      s.arrive("{\"ShareRejected\":{\"reason\":\"low difficulty share\"}}");
      s.arrive(set_difficulty("2500.7"));
    }
    if (h.device->launches.size() == 2) h.stop = true;
  };
  w.run();

  EXPECT_TRUE(h.has_line("[gpu0] HelloAck received\n"));
  EXPECT_EQ(h.count_lines("SetDifficulty ignored: share_difficulty -3 "), 1);
  EXPECT_TRUE(h.has_line("[gpu0] [job j1] diff=1000 target=00418937...\n"));
  EXPECT_TRUE(h.has_line("[gpu0]   REJECTED: low difficulty share\n"));
  ASSERT_EQ(h.device->launches.size(), 2u);
  std::array<unsigned char, 64> t;
  target_from_difficulty(2500, t.data());
  EXPECT_EQ(h.device->launches[1].target, t);
  EXPECT_EQ(w.job().difficulty, "2500");
  EXPECT_EQ(be64_of(h.device->launches[1].start), "16");  // same job, after launch 1's groups
  EXPECT_EQ(w.counters().accepted, 2);
  EXPECT_EQ(w.counters().rejected, 1);
}

// A pool that closes during a launch gets nothing more: its hits are not counted as submitted,
// and no launch follows on the closing connection. (That no message is delivered after a close
// frame is the WebSocket client's part, tested there.)
TEST(PoolWorker, AConnectionClosedDuringALaunchGetsNoSharesAndNoMoreLaunches) {
  for (const auto closed : {ScriptedSocket::CLOSING, ScriptedSocket::CLOSED}) {
    SCOPED_TRACE(closed);
    Harness h;
    ScriptedSocket& s = h.add_socket();
    job_on_first_mining_poll(s, new_job("j1", "\"2\""));
    h.max_sleeps = 1;
    tarn::PoolWorker w(h.settings(), h.env());
    ASSERT_TRUE(w.start());
    h.device->after_launch = [&](FoundResult*) { s.state = closed; };
    s.on_poll = [&](ScriptedSocket& sock) {
      if (sock.polls == 2) sock.arrive(new_job("j1", "\"2\""));
      if (sock.polls > 6) sock.state = ScriptedSocket::CLOSED;  // the close completes
    };
    w.run();

    EXPECT_EQ(h.device->launches.size(), 1u);
    EXPECT_EQ(w.counters().submitted, 0);
    EXPECT_EQ(shares_of(s).size(), 0u);
  }
}

// A new job starts its hash_count from 0, on the same connection too.
TEST(PoolWorker, ANewJobStartsItsCountFromZero) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"2\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    const size_t n = h.device->launches.size();
    if (n == 2) s.arrive(new_job("j2", "\"2\""));
    if (n == 3) h.stop = true;
  };
  w.run();

  ASSERT_EQ(h.device->launches.size(), 3u);
  EXPECT_EQ(be64_of(h.device->launches[1].start), "16");
  EXPECT_EQ(be64_of(h.device->launches[2].start), "0");
  for (const SentShare& share : shares_of(s)) {
    if (share.job_id == "j2") {
      EXPECT_LT(share.hash_count, h.device->launches[2].count);
    }
  }
  EXPECT_GT(w.total_launched(), h.device->launches[0].count);  // the lifetime total goes on
}

// The device back-off grows only while failures follow each other: a good launch resets it.
TEST(PoolWorker, AGoodLaunchResetsTheDeviceBackOff) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"2\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  int mine_calls = 0;
  h.device->fault = [&](const char* call) {
    if (std::strcmp(call, "launch_mine") == 0 && (++mine_calls == 1 || mine_calls == 3))
      return tarn::status_error("mine_kernel launch", "unspecified launch failure");
    return tarn::Status{};
  };
  h.device->after_launch = [&](FoundResult*) {
    if (h.device->launches.size() == 2) h.stop = true;
  };
  w.run();

  EXPECT_EQ(h.sleeps, (std::vector<double>{1, 1}));
  EXPECT_EQ(h.count_lines("re-initialising the device in 1s\n"), 2);
}

// Pool text reaches the terminal escaped; what goes back to the pool is the job id as received.
TEST(PoolWorker, PoolTextIsPrintedEscapedAndSentBackAsReceived) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  const std::string id = "j1\n[gpu0] FAKE\x1b[2J";
  job_on_first_mining_poll(s, new_job(id, "\"2\""));
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    s.arrive("{\"ShareRejected\":{\"reason\":\"bad\rshare\"}}");
    s.arrive(new_job("j2", "\"1e9\""));
    h.stop = true;
  };
  w.run();

  EXPECT_TRUE(h.has_line("[gpu0] [job j1\\x0a[gpu0] FAKE\\x1b[2J] diff=2 target=7fffffff...\n"));
  EXPECT_TRUE(h.has_line("[gpu0]   REJECTED: bad\\x0dshare\n"));
  EXPECT_TRUE(h.has_line("[gpu0] bad diff 1e9\n"));  // not a plain integer: the job stays j1
  EXPECT_EQ(w.job().job_id, id);
  // The protocol text is the message's own JSON form of the id, never the terminal's.
  const std::string sent_id = pooltest::json_job_id(job_result_message(id, std::string(128, '0'), 0));
  ASSERT_FALSE(shares_of(s).empty());
  for (const SentShare& share : shares_of(s)) EXPECT_EQ(share.job_id, sent_id);
}

// A stop while connecting ends the worker without a "retrying" line.
TEST(PoolWorker, AStopDuringAConnectPrintsNoRetryLine) {
  Harness h;
  h.refuse_next(1);
  h.on_connect = [&] { h.stop = true; };
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  w.run();

  EXPECT_EQ(h.count_lines("connect failed"), 0);
  EXPECT_TRUE(h.sleeps.empty());
  EXPECT_EQ(h.count_lines("[gpu0] stopped (lifetime: "), 1);
}

TEST(PoolSupervisor, GpuCountAndWorkerNames) {
  EXPECT_EQ(tarn::pool_gpu_count(0, 2), 1);
  EXPECT_EQ(tarn::pool_gpu_count(-4, 2), 1);
  EXPECT_EQ(tarn::pool_gpu_count(8, 2), 2);
  EXPECT_EQ(tarn::pool_gpu_count(1, 3), 1);
  EXPECT_EQ(tarn::pool_worker_name("rig", 0, 1), "rig");
  EXPECT_EQ(tarn::pool_worker_name("rig", 0, 2), "rig-gpu0");
  EXPECT_EQ(tarn::pool_worker_name("rig", 1, 2), "rig-gpu1");
}
