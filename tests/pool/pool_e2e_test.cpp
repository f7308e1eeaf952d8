// The real binary, on the host emulation, against the test pool over loopback; every accepted
// share is checked once more with the outside oracle.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_pool.h"

using pooltest::Child;
using pooltest::find_in_path;
using pooltest::field;
using pooltest::kPoolDifficulty;
using pooltest::start_pool;
using pooltest::starts_with;

namespace {

const std::string kBinary = TARN_BINARY;
const std::string kTools = TARN_TOOLS_DIR;

int count_starting(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : lines) n += starts_with(l, prefix) ? 1 : 0;
  return n;
}

// The connection number of each worker name, from the HELLO lines.
std::map<std::string, std::string> conn_of_worker(const std::vector<std::string>& pool_lines) {
  std::map<std::string, std::string> m;
  for (const std::string& l : pool_lines)
    if (starts_with(l, "HELLO ")) m[field(l, "worker")] = field(l, "conn");
  return m;
}

bool has_accepted_share(const std::vector<std::string>& pool_lines, const std::string& conn) {
  for (const std::string& l : pool_lines)
    if (starts_with(l, "SHARE accepted ") && field(l, "conn") == conn) return true;
  return false;
}

// Runs a short command to its end; its exit status (or -1) and output.
int run_to_end(const std::vector<std::string>& argv, std::string* output) {
  Child c;
  if (!c.start(argv)) return -1;
  const int rc = c.stop(0, 60);  // signal 0: only wait
  *output = c.output();
  return rc;
}

// Checks accepted shares with the oracle: the hash is below the target of their job, equals
// the pool's own hash, and the nonce's low half is the one its hash_count stands for.
void oracle_check_shares(const std::vector<std::string>& pool_lines, bool dir, size_t at_most) {
  if (access(TARN_PYTHON3, X_OK) != 0) {
    ADD_FAILURE() << "python3 is needed for the oracle";
    return;
  }
  std::map<std::string, std::string> header_of_job;
  for (const std::string& l : pool_lines)
    if (starts_with(l, "JOB ")) header_of_job[field(l, "job")] = field(l, "mining_hash");
  size_t checked = 0;
  for (const std::string& l : pool_lines) {
    if (!starts_with(l, "SHARE accepted ") || checked == at_most) continue;
    ++checked;
    const std::string nonce = field(l, "nonce");
    const std::uint64_t hash_count = std::strtoull(field(l, "hash_count").c_str(), nullptr, 10);
    std::string out;
    EXPECT_EQ(run_to_end({TARN_PYTHON3, kTools + "/oracle.py", "check", header_of_job[field(l, "job")],
                          nonce, field(l, "diff")},
                         &out),
              0)
        << l << "\n" << out;
    EXPECT_EQ(out.substr(0, 128), field(l, "hash")) << l;
    std::string low;
    if (dir) {
      EXPECT_EQ(run_to_end({TARN_PYTHON3, kTools + "/oracle.py", "dirlow", "0",
                            std::to_string(hash_count), "512", "64"},
                           &low),
                0);
      low = low.substr(0, 64);
    } else {
      char be[17];
      std::snprintf(be, sizeof be, "%016" PRIx64, hash_count);
      low = std::string(48, '0') + be;
    }
    EXPECT_EQ(nonce.substr(64), low) << l;
  }
  EXPECT_GT(checked, 0u);
}

}  // namespace

class PoolEndToEnd : public ::testing::TestWithParam<const char*> {};

TEST_P(PoolEndToEnd, TwoWorkersGetSharesAcceptedAndAnswerPings) {
  SKIP_WITHOUT_POOL();
  Child pool;
  const int port = start_pool(pool, {"--ping-every", "1"});
  ASSERT_GT(port, 0) << pool.output();
  const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/";
  Child miner;
  ASSERT_TRUE(miner.start({kBinary, GetParam(), "pool", url, "PAYOUT", "W", "0", "2"}));

  const bool both = pool.wait_for(
      [](const std::vector<std::string>& lines) {
        const auto conns = conn_of_worker(lines);
        const auto g0 = conns.find("\"W-gpu0\"");
        const auto g1 = conns.find("\"W-gpu1\"");
        bool pong = false;
        for (const std::string& l : lines) pong = pong || starts_with(l, "PONG ");
        return g0 != conns.end() && g1 != conns.end() && has_accepted_share(lines, g0->second) &&
               has_accepted_share(lines, g1->second) && pong;
      },
      75);
  const int miner_rc = miner.stop(SIGTERM, 45);
  const int pool_rc = pool.stop(SIGTERM, 10);
  ASSERT_TRUE(both) << "pool:\n" << pool.output() << "miner:\n" << miner.output();
  EXPECT_EQ(miner_rc, 0) << miner.output();
  EXPECT_EQ(pool_rc, 0);

  const std::vector<std::string>& m = miner.lines();
  EXPECT_EQ(count_starting(m, "pool miner: 2 GPU(s) of 2 available, url=" + url +
                                  " payout=PAYOUT submit_gap=0.00s"),
            1)
      << miner.output();
  const std::string sm = GetParam() == std::string("--cpu") ? "sm_120, " : "sm_86, ";
  for (const char* gpu : {"0", "1"}) {
    const std::string tag = std::string("[gpu") + gpu + "] ";
    int start_lines = 0;
    for (const std::string& l : m)
      if (starts_with(l, tag + "host CPU emulation") && l.find(sm) != std::string::npos &&
          l.find(std::string(" worker=W-gpu") + gpu) != std::string::npos)
        ++start_lines;
    EXPECT_EQ(start_lines, 1) << miner.output();
    EXPECT_EQ(count_starting(m, tag + "connected to " + url), 1);
    EXPECT_EQ(count_starting(m, tag + "[job j"), 1);
    EXPECT_EQ(count_starting(m, tag + "stopped (lifetime: submitted="), 1) << miner.output();
  }
  EXPECT_EQ(miner.output().find("REJECTED"), std::string::npos) << miner.output();

  std::string summary;
  for (const std::string& l : pool.lines())
    if (starts_with(l, "SUMMARY ")) summary = l;
  ASSERT_FALSE(summary.empty()) << pool.output();
  EXPECT_EQ(field(summary, "hellos"), "2") << summary;
  EXPECT_EQ(field(summary, "rejected"), "0") << summary;
  EXPECT_GE(std::atoi(field(summary, "accepted").c_str()), 2) << summary;
  EXPECT_GE(std::atoi(field(summary, "pongs").c_str()), 1) << summary;
  for (const std::string& l : pool.lines()) {
    if (starts_with(l, "HELLO ")) {
      EXPECT_EQ(field(l, "payout") + " " + field(l, "client"), "\"PAYOUT\" \"tarn-cuda/1.0.8\"");
    }
  }

  oracle_check_shares(pool.lines(), GetParam() == std::string("--cpu"), 4);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, PoolEndToEnd, ::testing::Values("--cpu", "--cpu=86"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                           return std::string(p.param) == "--cpu" ? "Direction" : "Counter";
                         });

TEST(PoolEndToEndRestart, TheWorkerComesBackToARestartedPool) {
  SKIP_WITHOUT_POOL();
  Child first;
  const int port = start_pool(first);
  ASSERT_GT(port, 0) << first.output();
  const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/";
  Child miner;
  ASSERT_TRUE(miner.start({kBinary, "--cpu=86", "pool", url, "PAYOUT", "R", "0.2", "1"}));
  ASSERT_FALSE(first.wait_for_line("SHARE accepted ", 60).empty())
      << first.output() << miner.output();
  EXPECT_EQ(first.stop(SIGTERM, 10), 0);

  EXPECT_FALSE(miner.wait_for_line("[gpu0] disconnected (lifetime: submitted=", 30).empty())
      << miner.output();
  Child second;
  ASSERT_EQ(start_pool(second, {"--port", std::to_string(port)}), port)
      << second.output();
  const std::string hello = second.wait_for_line("HELLO ", 60);
  EXPECT_EQ(field(hello, "worker"), "\"R\"");  // one GPU: the name as given
  EXPECT_FALSE(second.wait_for_line("SHARE accepted ", 60).empty())
      << second.output() << miner.output();

  EXPECT_EQ(miner.stop(SIGTERM, 30), 0) << miner.output();
  EXPECT_EQ(second.stop(SIGTERM, 10), 0);
  EXPECT_EQ(count_starting(miner.lines(), "[gpu0] connected to " + url), 2) << miner.output();
  EXPECT_EQ(count_starting(miner.lines(), "[gpu0] stopped (lifetime: "), 1) << miner.output();
  oracle_check_shares(second.lines(), false, 2);
}

TEST(PoolEndToEndNoDevice, WithoutADeviceNothingStartsAndTheStatusIs1) {
  // Without --cpu the CUDA backend is asked; on a machine with a GPU this check does not apply.
  Child miner;
  ASSERT_TRUE(miner.start({kBinary, "pool", "ws://127.0.0.1:9/", "P"}));
  const bool answered = miner.wait_for(
      [](const std::vector<std::string>& lines) {
        for (const std::string& l : lines)
          if (l == "no CUDA devices found" || starts_with(l, "pool miner: ")) return true;
        return false;
      },
      30);
  const bool has_gpu = miner.output().find("pool miner: ") != std::string::npos;
  const int rc = miner.stop(has_gpu ? SIGTERM : 0, 30);
  ASSERT_TRUE(answered) << miner.output();
  if (has_gpu) GTEST_SKIP() << "a CUDA device is present";
  EXPECT_EQ(rc, 1) << miner.output();
  EXPECT_EQ(miner.output().find("] connect"), std::string::npos) << miner.output();
  EXPECT_NE(miner.output().find("--cpu"), std::string::npos) << miner.output();
}
