// The real binary on the host emulation against the test pool: wss://, failover, the job
// timeout, and what is refused before any worker starts (URLs, device lists).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "test_pool.h"

using pooltest::Child;
using pooltest::count_with;
using pooltest::make_test_certs;
using pooltest::start_pool;

namespace {

const std::string kBinary = TARN_BINARY;

std::string url_of(int port, const char* scheme = "ws", const char* host = "127.0.0.1") {
  return std::string(scheme) + "://" + host + ":" + std::to_string(port) + "/";
}

// The longest URL a pool may have, padded with its path.
std::string url_511(int port) {
  const std::string u = url_of(port);
  return u + std::string(511 - u.size(), 'p');
}
const std::string kUrl512 = url_511(1) + "p";

}  // namespace

TEST(PoolNetEndToEnd, AWssPoolAcceptsShares) {
  SKIP_WITHOUT_POOL();
  const std::string d = make_test_certs();
  ASSERT_FALSE(d.empty()) << "tests/ws/make_test_certs.sh failed";
  Child pool;
  const int port = start_pool(pool, {"--tls-cert", d + "good.pem", "--tls-key", d + "good.key"});
  ASSERT_GT(port, 0) << pool.output();
  Child miner;
  ASSERT_TRUE(miner.start({kBinary, "--cpu", "--ca-file", d + "ca.pem", "pool",
                           url_of(port, "wss", "localhost"), "PAYOUT", "T", "0", "1"}));
  const bool accepted = !pool.wait_for_line("SHARE accepted ", 90).empty();
  EXPECT_EQ(miner.stop(SIGTERM, 30), 0);
  pool.stop(SIGTERM, 10);
  ASSERT_TRUE(accepted) << pool.output() << miner.output();
  EXPECT_EQ(count_with(miner.lines(), "[gpu0] connected to " + url_of(port, "wss", "localhost")), 1)
      << miner.output();
  EXPECT_EQ(count_with(pool.lines(), "SHARE rejected"), 0) << pool.output();

  // The same pool without its CA: refused with the cause, retried with back-off.
  Child pool2;
  const int port2 = start_pool(pool2, {"--tls-cert", d + "good.pem", "--tls-key", d + "good.key"});
  ASSERT_GT(port2, 0);
  Child untrusting;
  ASSERT_TRUE(untrusting.start({kBinary, "--cpu", "pool", url_of(port2, "wss", "localhost"), "P"}));
  const std::string retry = untrusting.wait_for_line("[gpu0] connect failed: ", 30);
  untrusting.stop(SIGTERM, 30);
  EXPECT_NE(retry.find("(certificate verify failed: unable to get local issuer certificate) "
                       "\xE2\x80\x94 retrying in "),
            std::string::npos)
      << untrusting.output();
  EXPECT_EQ(count_with(untrusting.lines(), "ERROR: TLS: certificate verify failed"), 1);
}

// The primary answers every upgrade with 503 for a while; after three failures the worker mines
// on the backup. (The return to the primary takes five minutes; the worker tests cover it.)
TEST(PoolNetEndToEnd, ARefusingPrimaryFailsOverToTheBackup) {
  SKIP_WITHOUT_POOL();
  Child primary, backup;
  const int p1 = start_pool(primary, {"--refuse-for", "60"});
  const int p2 = start_pool(backup, {});
  ASSERT_GT(p1, 0);
  ASSERT_GT(p2, 0);
  Child miner;
  ASSERT_TRUE(miner.start({kBinary, "--cpu=86", "pool", url_of(p1) + "," + url_of(p2), "P", "F", "0", "1"}));
  const bool accepted = !backup.wait_for_line("SHARE accepted ", 60).empty();
  EXPECT_EQ(miner.stop(SIGTERM, 30), 0);
  ASSERT_TRUE(accepted) << miner.output() << backup.output();
  EXPECT_EQ(count_with(miner.lines(), "[gpu0] failover: " + url_of(p1) +
                                          " failed 3 times in a row \xE2\x80\x94 switching to " +
                                          url_of(p2)),
            1)
      << miner.output();
  EXPECT_EQ(count_with(miner.lines(), "[gpu0] connect failed: " + url_of(p1)), 3) << miner.output();
  EXPECT_EQ(primary.stop(SIGTERM, 10), 0);
  EXPECT_EQ(count_with(primary.lines(), "REFUSED "), 3) << primary.output();
  EXPECT_EQ(count_with(primary.lines(), "HELLO "), 0);
}

// (At the longest URL allowed, one character short of the one refused at start below.)
TEST(PoolNetEndToEnd, JobTimeoutLeavesASilentPool) {
  SKIP_WITHOUT_POOL();
  Child pool;
  const int port = start_pool(pool, {"--silent"});
  ASSERT_GT(port, 0);
  Child miner;
  ASSERT_TRUE(miner.start({kBinary, "--cpu", "--job-timeout", "2", "pool", url_511(port), "P"}));
  const bool twice = pool.wait_for(
      [](const std::vector<std::string>& lines) { return count_with(lines, "CONNECT conn=") >= 2; }, 30);
  EXPECT_EQ(miner.stop(SIGTERM, 30), 0);
  ASSERT_TRUE(twice) << pool.output() << miner.output();
  EXPECT_GE(count_with(miner.lines(), "[gpu0] no message from the pool for 2s \xE2\x80\x94 reconnecting"), 1)
      << miner.output();
}

// Started with standard output closed, the first socket would take fd 1 and the log lines would
// go into it: into the pool's stream, or into the API's listening socket (a SIGPIPE at start).
TEST(PoolNetEndToEnd, ClosedStandardOutputKeepsTheStreamsApart) {
  SKIP_WITHOUT_POOL();
  for (const bool api : {false, true}) {
    SCOPED_TRACE(api ? "with --api" : "pool only");
    Child pool;
    const int port = start_pool(pool, {});
    ASSERT_GT(port, 0);
    std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" >&-", kBinary, "--cpu"};
    if (api) argv.insert(argv.end(), {"--api", "127.0.0.1:0"});
    argv.insert(argv.end(), {"pool", url_of(port), "P"});
    Child miner;
    ASSERT_TRUE(miner.start(argv));
    const bool hello = !pool.wait_for_line("HELLO ", 30).empty();
    EXPECT_EQ(miner.stop(SIGTERM, 30), 0) << miner.output();
    EXPECT_TRUE(hello) << pool.output() << miner.output();
  }
}

// Refused at start with one line and status 1, before any connection or device work.
TEST(PoolNetEndToEnd, WhatCanNeverWorkIsRefusedAtStart) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const Case cases[] = {
      {{"pool", "http://127.0.0.1:1/", "P"}, "pool: bad url http://127.0.0.1:1/: the scheme must be ws:// or wss://"},
      {{"pool", "ws://:9000/x", "P"}, "pool: bad url ws://:9000/x: empty host"},
      {{"pool", "ws://h:0/", "P"}, "pool: bad url ws://h:0/: the port \"0\" is not a number from 1 to 65535"},
      {{"pool", "wss://h:65536", "P"}, "pool: bad url wss://h:65536: the port \"65536\" is not a number from 1 to 65535"},
      {{"pool", "ws://h:12a/", "P"}, "pool: bad url ws://h:12a/: the port \"12a\" is not a number from 1 to 65535"},
      {{"pool", "ws://a:1/,", "P"}, "pool: bad url \"ws://a:1/,\": the URL list has an empty entry"},
      {{"--devices", "0,2", "pool", "ws://127.0.0.1:1/", "P"}, "pool: device 2 does not exist (2 device(s): 0 to 1)"},
      {{"--devices", "1,1", "bench", "0"}, "bench: device 1 is listed twice in --devices"},
      {{"--devices", "-1", "bench", "0"}, "bench: --devices takes device numbers separated by commas, or all; got \"-1\""},
      {{"--devices", "1,", "bench", "0"}, "bench: --devices takes device numbers separated by commas, or all; got \"1,\""},
      {{"pool", kUrl512, "P"}, "pool: bad url " + kUrl512 + ": longer than 511 characters"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {kBinary, "--cpu"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.line);
    Child run;
    ASSERT_TRUE(run.start(argv));
    EXPECT_EQ(run.stop(0, 30), 1);
    EXPECT_EQ(count_with(run.lines(), c.line), 1) << run.output();
    EXPECT_EQ(count_with(run.lines(), "connect"), 0) << run.output();
    EXPECT_EQ(count_with(run.lines(), "pool miner:"), 0) << run.output();
  }
}

TEST(PoolNetEndToEnd, DevicesAreListedAndChosen) {
  Child list;
  ASSERT_TRUE(list.start({kBinary, "--cpu=86", "--list-devices"}));
  ASSERT_EQ(list.stop(0, 30), 0);
  int rows = 0;
  for (const std::string& l : list.lines()) {
    if (l.rfind("tarn-cuda ", 0) == 0) continue;  // the banner
    EXPECT_EQ(l.find(std::to_string(rows) + ": host CPU emulation, cc 8.6"), 0u) << l;
    EXPECT_NE(l.find(" | cc 8.6 | "), std::string::npos) << l;
    EXPECT_NE(l.find(" SMs | "), std::string::npos) << l;
    EXPECT_NE(l.find(" MiB | bus host"), std::string::npos) << l;
    ++rows;
  }
  EXPECT_EQ(rows, 2) << list.output();

  Child bench;
  ASSERT_TRUE(bench.start({kBinary, "--cpu", "--devices", "1", "bench", "0", "64", "0", "2"}));
  ASSERT_EQ(bench.stop(0, 60), 0) << bench.output();
  EXPECT_EQ(count_with(bench.lines(), "BENCH gpu1 "), 1) << bench.output();
  EXPECT_EQ(count_with(bench.lines(), "BENCH gpu0 "), 0) << bench.output();  // the ngpu word is overridden
}
