// The worker across pools: failover to a backup and back, jitter on the back-off, the job
// timeout, and the start-up checks of URL lists and device lists.
#include <gtest/gtest.h>

#include <cstring>

#include "hash/hash_ref.h"
#include "search/target.h"
#include "tests/pool/worker_harness.h"

using pooltest::Harness;
using pooltest::ScriptedSocket;
using pooltest::SentShare;
using pooltest::new_job;
using pooltest::shares_of;

namespace {

constexpr std::int64_t kSecond = 1000000000;

// Every share must be a hit for its own pool's header at difficulty 2.
void expect_shares_for(const ScriptedSocket& s, const std::string& job, std::uint8_t header_byte) {
  std::uint8_t header[32], target[64], hash[64];
  std::memset(header, header_byte, sizeof header);
  target_from_difficulty(2, target);
  const std::vector<SentShare> shares = shares_of(s);
  EXPECT_FALSE(shares.empty());
  for (const SentShare& share : shares) {
    EXPECT_EQ(share.job_id, job);
    ref::hash_full(header, share.nonce.data(), hash);
    EXPECT_TRUE(ref::below_target(hash, target)) << "hash_count " << share.hash_count;
  }
}

}  // namespace

// The primary refuses three times: the worker moves to the backup and mines there; five minutes
// later it tries the primary, which answers, and goes back. Both pools use the same job id with
// different headers, so a share sent to the wrong pool would not hash below its target there.
TEST(PoolFailover, MovesToTheBackupAndReturnsToThePrimaryWithoutCrossingShares) {
  Harness h;
  h.refuse_next(3);
  ScriptedSocket& backup = h.add_socket();
  ScriptedSocket& primary = h.add_socket();
  backup.on_poll = [](ScriptedSocket& s) {
    if (s.polls == 2) s.arrive(new_job("j1", "\"2\"", std::string(64, 'b')));
  };
  primary.on_poll = [](ScriptedSocket& s) {
    if (s.polls == 2) s.arrive(new_job("j1", "\"2\"", std::string(64, 'a')));
  };
  tarn::WorkerSettings settings = h.settings();
  settings.url = "ws://primary.test/,ws://backup.test/";
  tarn::PoolWorker w(settings, h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    const size_t n = h.device->launches.size();
    if (n == 2) h.now_ns += 299 * kSecond;  // not yet due
    if (n == 3) h.now_ns += 2 * kSecond;    // now it is
    if (n == 6) h.stop = true;
  };
  w.run();

  EXPECT_EQ(h.connect_urls,
            (std::vector<std::string>{"ws://primary.test/", "ws://primary.test/", "ws://primary.test/",
                                      "ws://backup.test/", "ws://primary.test/"}));
  EXPECT_EQ(h.sleeps, (std::vector<double>{1, 2, 4}));
  EXPECT_TRUE(h.has_line("[gpu0] failover: ws://primary.test/ failed 3 times in a row \xE2\x80\x94 "
                         "switching to ws://backup.test/\n"));
  EXPECT_TRUE(h.has_line("[gpu0] connected to ws://backup.test/\n"));
  EXPECT_TRUE(h.has_line("[gpu0] failover: the primary ws://primary.test/ is back \xE2\x80\x94 "
                         "switching to it\n"));
  EXPECT_TRUE(h.has_line("[gpu0] connected to ws://primary.test/\n"));
  EXPECT_EQ(h.count_lines("failover:"), 2);
  EXPECT_EQ(h.count_lines("disconnected"), 0);  // a switch is not a lost connection
  EXPECT_TRUE(backup.closed_by_client);
  expect_shares_for(backup, "j1", 0xbb);
  expect_shares_for(primary, "j1", 0xaa);
}

// A failed retry of the primary keeps the worker on its backup and waits five more minutes.
TEST(PoolFailover, AFailedPrimaryRetryStaysOnTheBackup) {
  Harness h;
  h.refuse_next(3);
  ScriptedSocket& backup = h.add_socket();
  backup.on_poll = [](ScriptedSocket& s) {
    if (s.polls == 2) s.arrive(new_job("j1", "\"1000000\""));
  };
  tarn::WorkerSettings settings = h.settings();
  settings.url = "ws://primary.test/,ws://backup.test/";
  tarn::PoolWorker w(settings, h.env());
  ASSERT_TRUE(w.start());
  h.device->after_launch = [&](FoundResult*) {
    h.now_ns += 100 * kSecond;
    if (h.device->launches.size() == 8) h.stop = true;
  };
  w.run();
  // Leaving the primary at t, the retries come at t+300 and t+600 (launches 3 and 6).
  EXPECT_EQ(h.connect_urls,
            (std::vector<std::string>{"ws://primary.test/", "ws://primary.test/", "ws://primary.test/",
                                      "ws://backup.test/", "ws://primary.test/", "ws://primary.test/"}));
  EXPECT_EQ(h.count_lines("failover:"), 1);
  EXPECT_EQ(h.count_lines("connected to ws://backup.test/"), 1);  // mining went on throughout
  EXPECT_EQ(h.count_lines("disconnected"), 0);
}

TEST(PoolFailover, EveryBackOffGetsTheJitterFactor) {
  Harness h;
  h.refuse_next(1000);
  tarn::WorkerEnv env = h.env();
  int draws = 0;
  env.jitter = [&] { return ++draws % 2 ? 0.8 : 1.2; };
  tarn::PoolWorker w(h.settings(), env);
  ASSERT_TRUE(w.start());
  h.max_sleeps = 4;
  w.run();
  ASSERT_EQ(h.sleeps.size(), 4u);
  const double want[] = {0.8, 2.4, 3.2, 9.6};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(h.sleeps[i], want[i], 1e-9) << i;
  EXPECT_EQ(h.count_lines("retrying in 1s\n"), 1);   // 0.8 s, rounded
  EXPECT_EQ(h.count_lines("retrying in 10s\n"), 1);  // 9.6 s
}

// With --job-timeout, a pool silent for that long is left; messages of any kind keep it.
TEST(PoolFailover, JobTimeoutReconnectsOnlyAfterSilence) {
  for (const bool chatty : {false, true}) {
    SCOPED_TRACE(chatty ? "a message every launch" : "silent");
    Harness h;
    ScriptedSocket& s = h.add_socket();
    s.on_poll = [](ScriptedSocket& sock) {
      if (sock.polls == 2) sock.arrive(new_job("j1", "\"1000000\""));
    };
    tarn::WorkerSettings settings = h.settings();
    settings.job_timeout = 10;
    tarn::PoolWorker w(settings, h.env());
    ASSERT_TRUE(w.start());
    h.on_connect = [&] { h.stop = h.connects > 1; };
    h.device->after_launch = [&](FoundResult*) {
      h.now_ns += 4 * kSecond;
      if (chatty) s.arrive("{\"SomethingNew\":{}}");
      if (h.device->launches.size() == 6) h.stop = true;
    };
    w.run();
    EXPECT_EQ(h.count_lines("disconnected"), chatty ? 0 : 1);
    EXPECT_EQ(h.count_lines("[gpu0] no message from the pool for 10s \xE2\x80\x94 reconnecting\n"),
              chatty ? 0 : 1);
    EXPECT_EQ(h.device->launches.size(), chatty ? 6u : 3u);  // the third launch ends at 12 s
  }
}
