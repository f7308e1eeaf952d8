// The miner's own ways out, end to end on the host emulation: a hung launch ends the process
// with status 4, pools that keep failing the same way end it with status 3 (with the limits
// shortened by the fault-injecting build of the program).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_pool.h"

using pooltest::Child;
using pooltest::count_with;
using pooltest::make_test_certs;
using pooltest::start_pool;

namespace {

const std::string kFaults = TARN_FAULTS_BINARY;
constexpr double kScale = TARN_TEST_TIME_SCALE;
const std::string kDash = "\xE2\x80\x94";

std::string url_of(int port, const char* scheme = "ws", const char* host = "127.0.0.1") {
  return std::string(scheme) + "://" + host + ":" + std::to_string(port) + "/";
}

// A loopback port bound but not listening, so every connect to it is refused, held for the
// test's life so nothing else takes it.
struct RefusingPort {
  RefusingPort() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
  }
  ~RefusingPort() {
    if (fd >= 0) close(fd);
  }
  int fd = -1;
  int port = 0;
};

}  // namespace

TEST(SupervisionEndToEnd, AHungLaunchEndsTheMinerWithStatus4) {
  SKIP_WITHOUT_POOL();
  Child pool;
  const int port = start_pool(pool);
  ASSERT_GT(port, 0) << pool.output();
  // The second launch hangs, after a good one has given the median something to go on.
  const std::vector<std::string> head = {kFaults, "--hang-launch", "2", "--cpu",
                                         "--launch-timeout", "2"};
  // With --timestamps the line must still get out of the log's pipe before the exit.
  const std::vector<std::vector<std::string>> modes = {
      {"pool", url_of(port), "P"}, {"bench", "30"}, {"--timestamps", "pool", url_of(port), "P"}};
  for (const std::vector<std::string>& mode : modes) {
    SCOPED_TRACE(mode[0]);
    std::vector<std::string> argv = head;
    argv.insert(argv.end(), mode.begin(), mode.end());
    Child miner;
    ASSERT_TRUE(miner.start(argv));
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = miner.stop(0, 120 * kScale);  // signal 0: only wait
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(rc, 4) << miner.output();
    int hung = 0;
    for (const std::string& l : miner.lines()) {
      if (l.find("[gpu0] launch did not complete in ") == std::string::npos) continue;
      ++hung;
      EXPECT_NE(l.find(" s: the GPU is hung; exiting with status 4 so the service manager "
                       "restarts the miner"),
                std::string::npos)
          << l;
    }
    EXPECT_EQ(hung, 1) << miner.output();
    EXPECT_EQ(count_with(miner.lines(), "stopped (lifetime"), 0) << miner.output();
    EXPECT_EQ(count_with(miner.lines(), "BENCH gpu0"), 0) << miner.output();
    EXPECT_LT(took, 100 * kScale);
  }
  pool.stop(SIGTERM, 10);
}

// Every connect fails the same way for the shortened limit: one line naming the URL and the
// reason, and status 3 instead of retrying for ever.
TEST(SupervisionEndToEnd, PoolsThatKeepFailingTheSameWayEndTheMinerWithStatus3) {
  SKIP_WITHOUT_POOL();
  const std::string d = make_test_certs();
  ASSERT_FALSE(d.empty()) << "tests/ws/make_test_certs.sh failed";
  Child tls_pool;  // its certificate's CA is not given to the miner
  const int tls_port = start_pool(tls_pool, {"--tls-cert", d + "good.pem", "--tls-key", d + "good.key"});
  ASSERT_GT(tls_port, 0) << tls_pool.output();
  RefusingPort refusing;
  ASSERT_GT(refusing.port, 0);

  struct Case {
    std::string urls;
    std::string line;
  };
  const Case cases[] = {
      {url_of(tls_port, "wss", "localhost"),
       "pool: permanent pool failure: " + url_of(tls_port, "wss", "localhost") +
           ": certificate verify failed: unable to get local issuer certificate on every attempt "
           "for 3 s; stopping, exit status 3"},
      {url_of(refusing.port) + "," + url_of(tls_port, "wss", "localhost"),
       "pool: permanent pool failure: " + url_of(refusing.port) +
           ": connection refused on every attempt for 3 s; " + url_of(tls_port, "wss", "localhost") +
           ": certificate verify failed: unable to get local issuer certificate on every attempt "
           "for 3 s; stopping, exit status 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.urls);
    Child miner;
    ASSERT_TRUE(miner.start({kFaults, "--give-up-after", "3", "--cpu", "pool", c.urls, "P"}));
    const int rc = miner.stop(0, 90 * kScale);
    EXPECT_EQ(rc, 3) << miner.output();
    EXPECT_EQ(count_with(miner.lines(), c.line), 1) << miner.output();
    // The last connect line promises no retry.
    std::string last;
    for (const std::string& l : miner.lines())
      if (l.rfind("[gpu0] connect failed: ", 0) == 0) last = l;
    EXPECT_EQ(last.find("retrying"), std::string::npos) << miner.output();
    EXPECT_EQ(count_with(miner.lines(), "[gpu0] stopped (lifetime: submitted=0"), 1)
        << miner.output();
  }
  tls_pool.stop(SIGTERM, 10);
}
