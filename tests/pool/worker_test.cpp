// The whole worker against a scripted pool, a fake clock and a host-emulated device: scenarios
// through every part at once. The parts' own rules are in their tables.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
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

constexpr std::int64_t kMs = 1000000;
const std::string kDash = "\xE2\x80\x94";

// Every sent share must meet the target of `difficulty` for the header, and its nonce must be
// the one its hash_count stands for in the layout.
void expect_valid_shares(const std::vector<SentShare>& shares, std::uint64_t difficulty, bool dir,
                         std::uint8_t header_byte = 0xaa) {
  std::uint8_t header[32], target[64], hash[64], low[32];
  std::memset(header, header_byte, sizeof header);
  target_from_difficulty(difficulty, target);
  for (const SentShare& s : shares) {
    ref::hash_full(header, s.nonce.data(), hash);
    EXPECT_TRUE(ref::below_target(hash, target)) << "hash_count " << s.hash_count;
    if (dir) {
      tarn_nonce_dir_result_low(0, s.hash_count, 512, 64, low);
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

std::vector<std::uint64_t> starts(const Harness& h) {
  std::vector<std::uint64_t> out;
  for (const pooltest::LaunchRecord& l : h.device->launches) {
    std::uint64_t v = 0;
    for (int i = 24; i < 32; ++i) v = v << 8 | l.start[i];
    out.push_back(v);
  }
  return out;
}

std::array<unsigned char, 64> target_of(std::uint64_t difficulty) {
  std::array<unsigned char, 64> t;
  target_from_difficulty(difficulty, t.data());
  return t;
}

class PoolWorkerLayouts : public ::testing::TestWithParam<int> {};

// From the start line to the stop: the job waiting before the first poll is dropped, the next one
// is mined, and with a submit gap of 0.2 s and launches of 100 ms only the first slot of the
// second and fourth launch goes out: the throttle counts from the worker's start.
TEST_P(PoolWorkerLayouts, MinesAJobAndSendsVerifiedShares) {
  const bool dir = GetParam() >= 120;
  Harness h(GetParam());
  ScriptedSocket& s = h.add_socket();
  s.arrive(new_job("early", "\"2\""));
  job_on_first_mining_poll(s, new_job("j1", "\"2\""));
  tarn::PoolWorker w(h.settings(0.2), h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    h.now_ns += 100 * kMs;
    h.stop = h.device->launches.size() == 4;
  };
  w.run();

  EXPECT_EQ(h.lines.front(), dir ? "[gpu0] test device (1 SMs, sm_120, 16 blocks x 512 threads) worker=W\n"
                                 : "[gpu0] test device (1 SMs, sm_86, 32 blocks x 256 threads) worker=W\n");
  EXPECT_EQ(s.sent.front(), hello_message("P", "W"));
  EXPECT_EQ(h.count_lines("[job early]"), 0);
  EXPECT_TRUE(h.has_line("[gpu0] [job j1] diff=2 target=7fffffff...\n"));
  const std::uint64_t n = h.device->launches.at(0).count;
  EXPECT_EQ(n, dir ? 16ull * 512 * 64 : 32ull * 256 * 16);
  EXPECT_EQ(starts(h), (dir ? std::vector<std::uint64_t>{0, 16, 32, 48}
                            : std::vector<std::uint64_t>{0, n, 2 * n, 3 * n}));
  EXPECT_EQ(w.counters().throttled, 30);
  const std::vector<SentShare> shares = shares_of(s);
  ASSERT_EQ(shares.size(), 2u);
  EXPECT_EQ(shares[0].hash_count / n, 1u);
  EXPECT_EQ(shares[1].hash_count / n, 3u);
  for (const SentShare& share : shares) EXPECT_EQ(share.job_id, "j1");
  expect_valid_shares(shares, 2, dir);
  EXPECT_TRUE(s.closed_by_client);
  EXPECT_EQ(h.lines.back(),
            "[gpu0] stopped (lifetime: submitted=2 accepted=0 rejected=0 staleskip=0 throttled=30)\n");
}

INSTANTIATE_TEST_SUITE_P(CounterAndDirection, PoolWorkerLayouts, ::testing::Values(86, 120));

// Messages between launches: answers are counted and published, a raised difficulty reaches the
// device and makes the finished launch's hits stale, bad difficulties change nothing, and a job
// that replaces the running one mid-launch lets that launch's shares go out under their own id.
TEST(PoolWorker, MessagesSteerTheJobBetweenLaunches) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  s.on_poll = [](ScriptedSocket& sock) {
    if (sock.polls != 2) return;
    for (const std::string& m : {std::string("{\"HelloAck\":{}}"), std::string("{\"Ping\":{}}"),
                                 set_difficulty("-3"), new_job("n", "1000"), new_job("j1", "\"2\"")})
      sock.arrive(m);
  };
  tarn::StatsBoard board({0});
  tarn::WorkerEnv env = h.env();
  env.board = &board;
  tarn::PoolWorker w(h.settings(), env);
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    const size_t n = h.device->launches.size();
    if (n == 1) {
      for (const std::string& m : {std::string("{\"ShareAccepted\":{}}"), std::string("{\"ShareAccepted\":{}}"),
                                   std::string("{\"ShareRejected\":{\"reason\":\"bad\rshare\"}}"),
                                   set_difficulty("3"), new_job("z", "\"0\"")})
        s.arrive(m);
    }
    if (n == 2) s.arrive(new_job("j3", "\"2\""));
    h.stop = n == 3;
  };
  w.run();

  for (const char* line : {"[gpu0] HelloAck received\n", "[gpu0] bad diff \n", "[gpu0] bad diff 0\n",
                           "[gpu0] [job j1] diff=2 target=7fffffff...\n", "[gpu0]   REJECTED: bad\\x0dshare\n",
                           "[gpu0] [job j3] diff=2 target=7fffffff...\n"})
    EXPECT_TRUE(h.has_line(line)) << line;
  EXPECT_EQ(h.count_lines("[gpu0] SetDifficulty ignored: share_difficulty -3 "), 1);
  const auto& l = h.device->launches;
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[1].target, target_of(3));  // the same job goes on under the new target
  EXPECT_EQ(starts(h), (std::vector<std::uint64_t>{0, 16, 0}));  // j3 counts from 0

  std::vector<SentShare> second, third;
  for (const SentShare& share : shares_of(s)) (share.hash_count >= l[0].count ? second : third).push_back(share);
  ASSERT_EQ(second.size(), 8u);
  for (const SentShare& share : second) EXPECT_EQ(share.job_id, "j1");
  expect_valid_shares(second, 3, true);
  ASSERT_EQ(third.size(), 8u);
  for (const SentShare& share : third) EXPECT_EQ(share.job_id, "j3");
  EXPECT_EQ(board.snapshot()[0].hashes, 3 * l[0].count);  // the lifetime total goes on
  const tarn::ShareCounters c = board.snapshot()[0].shares;  // a copy: the snapshot is a temporary
  EXPECT_EQ(std::vector<int>({c.submitted, c.accepted, c.rejected, c.staleskip}),
            std::vector<int>({16, 2, 1, 8}));  // launch 1's hits were stale
}

// What the ages on the API count from: the worker's start until the first valid job and the first
// accepted share, then each of those; a job with a bad difficulty is no job.
TEST(PoolWorker, PublishesWhenTheLastJobAndAcceptedShareCame) {
  constexpr std::int64_t kS = 1000000000;
  Harness h;
  const std::int64_t t0 = h.now_ns;
  ScriptedSocket& s = h.add_socket();
  bool answer = false;
  s.on_poll = [&](ScriptedSocket& sock) {
    if (sock.polls == 2) {
      h.now_ns = t0 + 5 * kS;
      sock.arrive(new_job("j1", "\"2\""));
    }
    if (answer) {
      answer = false;
      h.now_ns = t0 + 9 * kS;
      sock.arrive(new_job("z", "\"0\""));
      sock.arrive("{\"ShareAccepted\":{}}");
    }
  };
  tarn::StatsBoard board({0});
  tarn::WorkerEnv env = h.env();
  env.board = &board;
  tarn::PoolWorker w(h.settings(), env);
  ASSERT_TRUE(w.start());
  EXPECT_EQ(board.snapshot()[0].last_job_ns, t0);
  EXPECT_EQ(board.snapshot()[0].last_accepted_ns, t0);
  h.device->after_launch = [&](FoundResult*) {
    answer = h.device->launches.size() == 1;
    h.stop = h.device->launches.size() == 2;
  };
  w.run();

  EXPECT_TRUE(h.has_line("[gpu0] bad diff 0\n"));
  EXPECT_EQ(board.snapshot()[0].last_job_ns, t0 + 5 * kS);
  EXPECT_EQ(board.snapshot()[0].last_accepted_ns, t0 + 9 * kS);
}

// Pool text of a megabyte reaches the log and the API cut to 128 bytes with its length; the
// shares still carry the job id exactly as the pool sent it.
TEST(PoolWorker, LongPoolTextIsCappedButSharesKeepTheWholeId) {
  const std::string id = "J" + std::string(1 << 20, 'x');
  const std::string cut = "\xE2\x80\xA6(1048577 bytes)";
  Harness h;
  ScriptedSocket& s = h.add_socket();
  s.on_poll = [&](ScriptedSocket& sock) {
    if (sock.polls != 2) return;
    sock.arrive(new_job(id, "\"2\""));
    sock.arrive("{\"ShareRejected\":{\"reason\":\"R" + std::string(1 << 20, '\t') + "\"}}");
    sock.arrive(set_difficulty("1" + std::string(300, '0')));
  };
  tarn::StatsBoard board({0});
  tarn::WorkerEnv env = h.env();
  env.board = &board;
  tarn::PoolWorker w(h.settings(), env);
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) { h.stop = true; };
  w.run();

  for (const std::string& l : h.lines) EXPECT_LE(l.size(), 700u) << l.substr(0, 200);
  EXPECT_TRUE(h.has_line("[gpu0] [job J" + std::string(127, 'x') + cut + "] diff=2 target=7fffffff...\n"));
  std::string tabs;
  for (int i = 0; i < 127; ++i) tabs += "\\x09";
  EXPECT_TRUE(h.has_line("[gpu0]   REJECTED: R" + tabs + cut + "\n"));
  EXPECT_EQ(h.count_lines("[gpu0] SetDifficulty ignored: share_difficulty 1" + std::string(127, '0') +
                          "\xE2\x80\xA6(301 bytes) is negative"),
            1);
  EXPECT_EQ(board.snapshot()[0].job_id, "J" + std::string(127, 'x') + cut);
  const std::vector<SentShare> shares = shares_of(s);
  ASSERT_FALSE(shares.empty());
  for (const SentShare& share : shares) EXPECT_TRUE(share.job_id == id);
}

// A pool that starts closing during a launch gets nothing more: no share, no launch while it
// closes. The next connection starts without a job and with the counters as they were.
TEST(PoolWorker, ReconnectKeepsCountersAndStartsTheJobAfresh) {
  Harness h;
  ScriptedSocket& first = h.add_socket();
  ScriptedSocket& second = h.add_socket();
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  int closing_polls = 0;
  first.on_poll = [&](ScriptedSocket& sock) {
    if (sock.polls == 2) sock.arrive(new_job("j1", "\"2\""));
    if (sock.state == ScriptedSocket::CLOSING && ++closing_polls == 20) sock.state = ScriptedSocket::CLOSED;
  };
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
    if (n == 2) first.state = ScriptedSocket::CLOSING;
    h.stop = n == 3;
  };
  w.run();

  EXPECT_EQ(launches_on_second_before_job, 2u);
  EXPECT_EQ(starts(h), (std::vector<std::uint64_t>{0, 16, 0}));  // j2 starts from 0
  EXPECT_TRUE(h.has_line("[gpu0] disconnected (lifetime: submitted=8 accepted=2 rejected=0 "
                         "staleskip=0 throttled=0) " + kDash + " reconnecting...\n"));
  EXPECT_TRUE(h.has_line("[gpu0] [job j2] diff=3 target=55555555...\n"));
  EXPECT_EQ(w.counters().submitted, 16);
  for (const SentShare& share : shares_of(second)) EXPECT_EQ(share.job_id, "j2");
}

// A pool that writes "key": value gets one warning line per connection, however many such
// messages it sends; compact JSON gets none.
TEST(PoolWorker, WarnsOncePerConnectionAboutABlankAfterAColon) {
  const struct {
    const char* what;
    std::vector<std::string> first, second;  // each delivered one per poll of the mining loop
    int warnings;
  } cases[] = {
      {"compact", {new_job("j1", "\"2\""), "{\"HelloAck\":{}}"}, {"{\"HelloAck\":{}}"}, 0},
      {"spaced on both connections",
       {"{\"NewJob\": {\"job_id\": \"j1\"}}", "{\"HelloAck\": {}}"}, {"{\"HelloAck\": {}}"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    ScriptedSocket& first = h.add_socket();
    ScriptedSocket& second = h.add_socket();
    const auto script = [&h](const std::vector<std::string>& messages, bool last) {
      return [&h, messages, last](ScriptedSocket& sock) {
        const size_t at = static_cast<size_t>(sock.polls) - 2;  // poll 1 is the Hello's
        if (sock.polls >= 2 && at < messages.size()) sock.arrive(messages[at]);
        if (at == messages.size()) {
          if (last) h.stop = true;
          sock.state = ScriptedSocket::CLOSED;
        }
      };
    };
    first.on_poll = script(c.first, false);
    second.on_poll = script(c.second, true);
    tarn::PoolWorker w(h.settings(), h.env());
    ASSERT_TRUE(w.start());
    w.run();

    EXPECT_EQ(h.count_lines("[gpu0] connected to"), 2);
    EXPECT_EQ(h.count_lines(" WARNING: "), c.warnings);
    if (c.warnings > 0) {
      EXPECT_TRUE(h.has_line("[gpu0] WARNING: a pool message has a blank after a colon; pool "
                             "messages must be compact JSON (\"key\":\"value\"), or their "
                             "fields read as missing\n"));
    }
  }
}

// per_thread doubles below 60 ms (up to 256) and halves above 250 ms (down to 4), with the value
// each launch ran at; a launch never crosses a multiple of 2^32 and a cut one is not used for
// tuning.
TEST(PoolWorker, CounterLayoutTunesAndNeverCrossesATwoToTheThirtyTwoBoundary) {
  Harness h(86);
  ScriptedSocket& s = h.add_socket();
  tarn::PoolWorker w(h.settings(), h.env());
  ASSERT_TRUE(w.start());
  s.on_poll = [&](ScriptedSocket& sock) {
    if (sock.polls == 2) sock.arrive(new_job("j1", "\"1\""));  // every hash is a hit
    if (h.device->launches.size() == 1 && w.job().start_counter < (1ull << 32) - 1000)
      w.job().start_counter = (1ull << 32) - 1000;  // as if the job had run that long
  };
  h.device->count_cap = 3;
  h.device->after_launch = [&](FoundResult*) {
    const size_t n = h.device->launches.size();
    h.now_ns += n <= 6 ? 30 * kMs : 300 * kMs;
    h.stop = n == 14;
  };
  w.run();

  const auto& l = h.device->launches;
  ASSERT_EQ(l.size(), 14u);
  std::vector<unsigned int> pt;
  for (const auto& one : l) pt.push_back(one.per_thread);
  EXPECT_EQ(pt, (std::vector<unsigned int>{16, 32, 32, 64, 128, 256, 256, 128, 64, 32, 16, 8, 4, 4}));
  EXPECT_EQ(starts(h)[1], (1ull << 32) - 1000);
  EXPECT_EQ(l[1].count, 1000u);
  EXPECT_EQ(starts(h)[2], 1ull << 32);
  EXPECT_EQ(l[5].count, 32ull * 256 * 256);
  const std::vector<SentShare> shares = shares_of(s);
  ASSERT_EQ(shares.size(), 42u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(shares[3 + i].hash_count, (1ull << 32) - 1000 + i);
    EXPECT_EQ(shares[6 + i].hash_count, (1ull << 32) + i);
  }
  expect_valid_shares(shares, 1, false);
}

// A failed device call is reported with the device back-off (1, 2, 4 … s, reset by a good
// launch); the device is rebuilt from a fresh context with the job, and nothing of the failed
// launch is used or counted as searched.
TEST(PoolWorker, DeviceFailuresAreReportedAndTheDeviceRebuilt) {
  const tarn::Status launch = tarn::status_error("mine_kernel launch", "unspecified launch failure");
  const tarn::Status read = tarn::status_error("cudaMemcpy from device", "an illegal memory access");
  const tarn::Status memory = tarn::status_error("cudaMalloc", "out of memory");
  struct Fault {
    std::string call;
    int nth;  // the nth call of that kind fails
    tarn::Status error;
  };
  struct Case {
    const char* what;
    std::vector<Fault> faults;  // in the order they happen
    std::vector<int> backoff;
    int reinitialised, midstates;
    std::vector<std::uint64_t> starts;  // of the launches that ran
    size_t sent_before_last;            // messages out when the last launch ran
    int submitted;
  };
  const Case cases[] = {
      {"a launch fails, then its result cannot be read", {{"launch_mine", 1, launch}, {"copy_out", 1, read}},
       {1, 2}, 2, 3, {0, 0}, 1, 8},
      {"a good launch between two failures", {{"launch_mine", 1, launch}, {"launch_mine", 3, launch}},
       {1, 1}, 2, 3, {0, 16}, 9, 16},
      {"no memory at the start and at the first rebuild", {{"alloc", 1, memory}, {"alloc", 2, memory}},
       {1, 2}, 1, 1, {0}, 1, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    ScriptedSocket& s = h.add_socket();
    job_on_first_mining_poll(s, new_job("j1", "\"2\""));
    std::map<std::string, int> calls;
    h.device_fault = [&](const char* call) {
      const int nth = ++calls[call];
      for (const Fault& f : c.faults)
        if (f.call == call && f.nth == nth) return f.error;
      return tarn::Status{};
    };
    tarn::PoolWorker w(h.settings(), h.env());
    ASSERT_TRUE(w.start());
    size_t sent_before_last = 99;
    h.device->after_launch = [&](FoundResult*) {
      sent_before_last = s.sent.size();
      h.stop = h.device->launches.size() == c.starts.size();
    };
    w.run();

    std::vector<std::string> errors, want;
    for (const std::string& line : h.lines)
      if (line.find("CUDA error") != std::string::npos) errors.push_back(line);
    for (size_t i = 0; i < c.faults.size(); ++i)
      want.push_back("[gpu0] CUDA error: " + c.faults[i].error.line() + " " + kDash +
                     " re-initialising the device in " + std::to_string(c.backoff[i]) + "s\n");
    EXPECT_EQ(errors, want);
    EXPECT_EQ(h.sleeps, std::vector<double>(c.backoff.begin(), c.backoff.end()));
    EXPECT_EQ(h.count_lines("[gpu0] device re-initialised\n"), c.reinitialised);
    EXPECT_EQ(h.device->midstates, c.midstates);  // the job, then once per rebuild that got there
    EXPECT_EQ(h.device->resets, 2);               // each rebuild starts from a fresh context
    EXPECT_EQ(starts(h), c.starts);
    EXPECT_EQ(sent_before_last, c.sent_before_last);
    EXPECT_EQ(w.counters().device_errors, 2);
    EXPECT_EQ(w.counters().submitted, c.submitted);
    expect_valid_shares(shares_of(s), 2, true);
  }
}

// The statistics line with the launches' own figures, and the total line once every GPU has
// printed one.
TEST(PoolWorker, StatisticsAndTotalLines) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  job_on_first_mining_poll(s, new_job("j1", "\"18446744073709551615\""));  // no hits
  tarn::StatsBoard board({0, 1});
  board.statistics_printed(1);  // the other GPU has printed its line
  tarn::WorkerEnv env = h.env();
  env.board = &board;
  tarn::PoolWorker w(h.settings(), env);
  ASSERT_TRUE(w.start());
  h.device->gpu_ms = 900.0f;
  h.device->after_launch = [&](FoundResult*) {
    h.now_ns += 1250 * kMs;
    h.stop = h.device->launches.size() == 4;
  };
  w.run();

  // 4 launches of 524288 indices in 5 s.
  std::vector<std::string> stats;
  for (const std::string& l : h.lines)
    if (l.find(" MH/s ") != std::string::npos) stats.push_back(l);
  EXPECT_EQ(stats, (std::vector<std::string>{
                       "[gpu0] [5s] 0.4 MH/s (60s: 0.0) | diff=18446744073709551615 submitted=0 "
                       "accepted=0 rejected=0 staleskip=0 throttled=0 | pt=64 launches/s=0.8 "
                       "gpu=900.0ms wall=1250.0ms\n",
                       "[total] 0.4 MH/s (60s: 0.0) | gpus=2 accepted=0 rejected=0 stale=0\n"}));
  EXPECT_EQ(board.snapshot()[0].hashes, 4u * 524288);
}

// Failover end to end: both pools use the same job id with different headers, so a share sent to
// the wrong pool would not hash below its target there.
TEST(PoolWorker, FailoverNeverCrossesShares) {
  Harness h;
  h.refuse_next(3);
  ScriptedSocket& backup = h.add_socket();
  ScriptedSocket& primary = h.add_socket();
  job_on_first_mining_poll(backup, new_job("j1", "\"2\"", std::string(64, 'b')));
  job_on_first_mining_poll(primary, new_job("j1", "\"2\"", std::string(64, 'a')));
  tarn::WorkerSettings settings = h.settings();
  settings.url = "ws://primary.test/,ws://backup.test/";
  tarn::PoolWorker w(settings, h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    const size_t n = h.device->launches.size();
    if (n == 3) h.now_ns += 300 * 1000 * kMs;  // the primary is due again
    h.stop = n == 6;
  };
  w.run();

  EXPECT_EQ(h.count_lines("connected to ws://"), 2);
  ASSERT_FALSE(shares_of(backup).empty());
  ASSERT_FALSE(shares_of(primary).empty());
  expect_valid_shares(shares_of(backup), 2, true, 0xbb);
  expect_valid_shares(shares_of(primary), 2, true, 0xaa);
}

TEST(PoolSupervisor, WorkerNames) {
  EXPECT_EQ(tarn::pool_worker_name("rig", 0, 1), "rig");
  EXPECT_EQ(tarn::pool_worker_name("rig", 0, 2), "rig-gpu0");
  EXPECT_EQ(tarn::pool_worker_name("rig", 1, 2), "rig-gpu1");
}

}  // namespace
