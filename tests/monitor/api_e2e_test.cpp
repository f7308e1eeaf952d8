// The API of the real binary (host emulation) mining against the test pool: /summary checked
// against the pool's own counts, /metrics by promtool and by a real Prometheus scraping it, the
// access rules, and a client that connects and says nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../pool/test_pool.h"

using pooltest::Child;
using pooltest::count_with;
using pooltest::field;
using pooltest::find_in_path;
using pooltest::missing_pool;
using pooltest::unused_loopback_port;
using pooltest::start_pool;
using pooltest::starts_with;

namespace {

const std::string kBinary = TARN_BINARY;
const std::string kTools = TARN_TOOLS_DIR;

std::string missing_tools(const std::vector<std::string>& tools) {
  for (const std::string& t : tools)
    if (find_in_path(t).empty()) return t + " is not installed";
  return missing_pool();
}

#define SKIP_WITHOUT(...)                                              \
  do {                                                                 \
    const std::string why = missing_tools({__VA_ARGS__});              \
    if (!why.empty()) GTEST_SKIP() << why;                             \
  } while (0)

// Runs a command to its end: its exit status (or -1) and its output.
int run(const std::vector<std::string>& argv, std::string* output, double seconds = 30) {
  Child c;
  if (!c.start(argv)) return -1;
  const int rc = c.stop(0, seconds);
  *output = c.output();
  return rc;
}

struct Http {
  int code = 0;
  std::string body;
};

// One request with curl; the status code and the body.
Http http(const std::string& url, std::vector<std::string> extra = {}) {
  std::vector<std::string> argv = {"curl", "-s", "--max-time", "5", "-w", "\n%{http_code}"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(url);
  std::string out;
  Http h;
  if (run(argv, &out) != 0) return h;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  const size_t nl = out.rfind('\n');
  h.code = std::atoi(out.c_str() + nl + 1);
  h.body = out.substr(0, nl);
  return h;
}

// Starts the miner with the API on a free loopback port; the port, or 0.
int start_miner(Child& miner, const std::string& pool_url, const std::vector<std::string>& api,
                const std::string& gpus) {
  std::vector<std::string> argv = {kBinary, "--cpu", "--api", "127.0.0.1:0"};
  argv.insert(argv.end(), api.begin(), api.end());
  for (const char* w : {"pool", "", "P", "W", "0", ""}) argv.push_back(w);
  argv[argv.size() - 5] = pool_url;
  argv.back() = gpus;
  if (!miner.start(argv)) return 0;
  const std::string line = miner.wait_for_line("api: serving ", 20);
  const size_t at = line.rfind(' ');
  return line.empty() ? 0 : std::atoi(line.c_str() + at + 1);
}

int pool_accepted(const Child& pool) { return count_with(pool.lines(), "SHARE accepted "); }

// The value of the sample that starts with `series` (name and labels), or -1 when there is none.
double sample(const std::string& metrics, const std::string& series) {
  const size_t at = metrics.find("\n" + series + " ");
  return at == std::string::npos ? -1.0 : std::atof(metrics.c_str() + at + series.size() + 2);
}


}  // namespace

TEST(ApiEndToEnd, SummaryMatchesThePoolAndOnlyTheTokenGetsIn) {
  SKIP_WITHOUT("curl");
  Child pool;
  const int pool_port = start_pool(pool);
  ASSERT_GT(pool_port, 0) << pool.output();
  const std::string url = "ws://127.0.0.1:" + std::to_string(pool_port) + "/";
  Child miner;
  const int port = start_miner(miner, url, {"--api-token", "T0k3n"}, "2");
  ASSERT_GT(port, 0) << miner.output();
  const std::string api = "http://127.0.0.1:" + std::to_string(port);
  const std::vector<std::string> auth = {"-H", "Authorization: Bearer T0k3n"};

  // A client that connects and never sends a byte holds a connection the whole time.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

  ASSERT_TRUE(pool.wait_for([](const std::vector<std::string>& l) {
    return count_with(l, "SHARE accepted ") >= 2;
  }, 90)) << pool.output() << miner.output();

  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string path;
    int code;
  };
  const Case cases[] = {
      {"no token", {}, "/summary", 401},
      {"wrong token", {"-H", "Authorization: Bearer T0k3"}, "/metrics", 401},
      {"POST", {"-H", "Authorization: Bearer T0k3n", "-X", "POST", "-d", "x"}, "/summary", 405},
      {"other path", auth, "/config", 404},
      {"summary", auth, "/summary", 200},
  };
  for (const Case& c : cases) EXPECT_EQ(http(api + c.path, c.args).code, c.code) << c.what;

  // Mining goes on beside the silent client.
  const int accepted_before = pool_accepted(pool);
  EXPECT_TRUE(pool.wait_for([&](const std::vector<std::string>& l) {
    return count_with(l, "SHARE accepted ") >= accepted_before + 2;
  }, 60)) << miner.output();

  // Once the pool has gone, its summary and the miner's counts must agree.
  ASSERT_EQ(pool.stop(SIGTERM, 10), 0);
  std::string summary;
  for (const std::string& l : pool.lines())
    if (starts_with(l, "SUMMARY ")) summary = l;
  ASSERT_FALSE(summary.empty()) << pool.output();
  EXPECT_TRUE(miner.wait_for([](const std::vector<std::string>& l) {
    return count_with(l, "] disconnected (lifetime: ") == 2;
  }, 30)) << miner.output();

  const Http got = http(api + "/summary", auth);
  ASSERT_EQ(got.code, 200);
  const nlohmann::json doc = nlohmann::json::parse(got.body, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << got.body;
  EXPECT_EQ(doc["version"], "1.0.8");
  EXPECT_EQ(doc["mode"], "pool");
  EXPECT_EQ(doc["pool"]["url"], url);
  EXPECT_GE(doc["uptime_s"].get<double>(), 1.0);
  ASSERT_EQ(doc["gpus"].size(), 2u) << got.body;
  long long accepted = 0;
  for (int i = 0; i < 2; ++i) {
    const nlohmann::json& g = doc["gpus"][i];
    EXPECT_EQ(g["gpu"], i);
    EXPECT_EQ(g["name"].get<std::string>().rfind("host CPU emulation", 0), 0u) << g;
    EXPECT_GT(g["hashrate"]["60s"].get<double>(), 0.0) << g;
    EXPECT_GT(g["hashrate"]["15m"].get<double>(), 0.0) << g;
    EXPECT_TRUE(g["hashrate"].contains("10s")) << g;
    EXPECT_GT(g["hashes"].get<double>(), 0.0) << g;
    for (const char* k : {"submitted", "accepted", "rejected", "stale_skipped", "throttled"})
      EXPECT_TRUE(g["shares"].contains(k)) << k;
    EXPECT_EQ(g["device_faults"], 0);
    EXPECT_EQ(g["job"]["difficulty"], "100000") << g;
    EXPECT_FALSE(g.contains("telemetry")) << "no sensors on --cpu: absent, not zero";
    accepted += g["shares"]["accepted"].get<long long>();
  }
  EXPECT_EQ(std::to_string(accepted), field(summary, "accepted")) << summary;
  EXPECT_EQ(doc["total"]["shares"]["accepted"].get<long long>(), accepted);
  EXPECT_EQ(std::to_string(doc["total"]["shares"]["rejected"].get<long long>()),
            field(summary, "rejected"));

  close(silent);
  EXPECT_EQ(miner.stop(SIGTERM, 45), 0) << miner.output();
  EXPECT_EQ(count_with(miner.lines(), "telemetry: no GPU temperature"), 1) << miner.output();
  EXPECT_EQ(count_with(miner.lines(), "[total] stopped (lifetime: gpus=2 "), 1) << miner.output();
}

// Off loopback, a token of at least 16 characters is required.
TEST(ApiEndToEnd, AnAddressOffLoopbackNeedsALongToken) {
  struct Case {
    std::vector<std::string> token;
    const char* line;
  };
  const Case cases[] = {
      {{}, "is not a loopback address: it needs --api-token"},
      {{"--api-token", std::string(15, 't')}, "is not a loopback address: --api-token needs at least 16 characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> argv = {kBinary, "--cpu", "--api", "0.0.0.0:0"};
    argv.insert(argv.end(), c.token.begin(), c.token.end());
    argv.insert(argv.end(), {"pool", "ws://127.0.0.1:9/", "P"});
    Child miner;
    ASSERT_TRUE(miner.start(argv));
    EXPECT_EQ(miner.stop(0, 30), 1) << miner.output();
    EXPECT_EQ(count_with(miner.lines(), c.line), 1) << miner.output();
    EXPECT_EQ(count_with(miner.lines(), "] connect"), 0) << "nothing may start";
  }
  // 16 characters are enough.
  Child miner;
  ASSERT_TRUE(miner.start({kBinary, "--cpu", "--api", "0.0.0.0:0", "--api-token", std::string(16, 't'),
                           "pool", "ws://127.0.0.1:9/", "P"}));
  EXPECT_FALSE(miner.wait_for_line("api: serving ", 20).empty()) << miner.output();
  miner.stop(SIGTERM, 30);
}

TEST(ApiEndToEnd, PrometheusScrapesTheMetrics) {
  SKIP_WITHOUT("curl", "promtool", "prometheus");
  Child pool;
  const int pool_port = start_pool(pool);
  ASSERT_GT(pool_port, 0) << pool.output();
  Child miner;
  const int port =
      start_miner(miner, "ws://127.0.0.1:" + std::to_string(pool_port) + "/", {}, "1");
  ASSERT_GT(port, 0) << miner.output();
  ASSERT_TRUE(pool.wait_for([](const std::vector<std::string>& l) {
    return count_with(l, "SHARE accepted ") >= 1;
  }, 90)) << pool.output() << miner.output();

  const std::string target = "127.0.0.1:" + std::to_string(port);
  const Http metrics = http("http://" + target + "/metrics");
  ASSERT_EQ(metrics.code, 200);
  EXPECT_NE(metrics.body.find("tarn_hashrate_hashes_per_second{gpu=\"0\",window=\"60s\"} "),
            std::string::npos) << metrics.body;
  EXPECT_EQ(metrics.body.find("tarn_gpu_temperature_celsius"), std::string::npos);
  char dir_template[] = "/tmp/tarn-prometheus-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  { std::ofstream(dir + "/metrics.txt") << metrics.body; }
  std::string lint;
  EXPECT_EQ(run({"sh", "-c", "promtool check metrics < " + dir + "/metrics.txt"}, &lint), 0) << lint;

  {
    std::ofstream cfg(dir + "/prometheus.yml");
    cfg << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tarn\n"
           "    static_configs:\n      - targets: ['" << target << "']\n";
  }
  const std::string prom = "127.0.0.1:" + std::to_string(unused_loopback_port());
  Child prometheus;
  ASSERT_TRUE(prometheus.start({"prometheus", "--config.file=" + dir + "/prometheus.yml",
                                "--storage.tsdb.path=" + dir + "/data",
                                "--web.listen-address=" + prom}));
  // Read the counter back through Prometheus's query API once it has scraped, and once the miner
  // has read the pool's answer: between launches, which take many seconds on a loaded host.
  const std::string query = "http://" + prom +
                            "/api/v1/query?query=tarn_shares_total%7Bgpu%3D%220%22%2C"
                            "result%3D%22accepted%22%7D";
  double value = -1;
  std::string last;
  for (int i = 0; i < 60 * TARN_TEST_TIME_SCALE && value < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Http r = http(query);
    last = r.body;
    const nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
    if (r.code != 200 || j.is_discarded() || j["status"] != "success" ||
        j["data"]["result"].empty())
      continue;
    value = std::atof(j["data"]["result"][0]["value"][1].get<std::string>().c_str());
  }
  EXPECT_GE(value, 1.0) << last << "\n" << prometheus.output();
  prometheus.stop(SIGTERM, 20);
  EXPECT_EQ(miner.stop(SIGTERM, 45), 0) << miner.output();
  pool.stop(SIGTERM, 10);
  std::string ignored;
  run({"rm", "-rf", dir}, &ignored);
}

// The primary refuses, so the worker fails over: /metrics shows it on the backup, the move
// counted, and the job and share ages fresh. Every metric the alert rules read is among those
// the binary serves, so the rules cannot drift from the code.
TEST(ApiEndToEnd, MetricsShowAFailoverAndEveryMetricTheAlertRulesRead) {
  SKIP_WITHOUT("curl");
  Child primary, backup;
  const int p1 = start_pool(primary, {"--refuse-for", "60"});
  const int p2 = start_pool(backup);
  ASSERT_GT(p1, 0) << primary.output();
  ASSERT_GT(p2, 0) << backup.output();
  const std::string u2 = "ws://127.0.0.1:" + std::to_string(p2) + "/";
  Child miner;
  const int port = start_miner(miner, "ws://127.0.0.1:" + std::to_string(p1) + "/," + u2,
                               {"--temp-limit", "85"}, "1");
  ASSERT_GT(port, 0) << miner.output();
  ASSERT_FALSE(backup.wait_for_line("SHARE accepted ", 90).empty())
      << miner.output() << backup.output();
  // The miner reads the pool's answer between launches, which take seconds on a loaded host.
  const std::string accepted = "tarn_shares_total{gpu=\"0\",result=\"accepted\"}";
  std::string m;
  for (int i = 0; i < 120 && sample(m, accepted) < 1; ++i) {
    if (i) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Http got = http("http://127.0.0.1:" + std::to_string(port) + "/metrics");
    ASSERT_EQ(got.code, 200);
    m = got.body;
  }
  ASSERT_GE(sample(m, accepted), 1.0) << m;
  EXPECT_EQ(sample(m, "tarn_pool_backup{gpu=\"0\"}"), 1.0) << m;
  EXPECT_EQ(sample(m, "tarn_pool_failovers_total{gpu=\"0\"}"), 1.0) << m;
  EXPECT_EQ(sample(m, "tarn_pool_connected{gpu=\"0\"}"), 1.0) << m;
  EXPECT_EQ(sample(m, "tarn_pool_info{gpu=\"0\",url=\"" + u2 + "\",index=\"1\"}"), 1.0) << m;
  EXPECT_EQ(sample(m, "tarn_temperature_limit_celsius{gpu=\"0\"}"), 85.0) << m;
  const double since_job = sample(m, "tarn_pool_seconds_since_job{gpu=\"0\"}");
  const double since_share = sample(m, "tarn_pool_seconds_since_accepted_share{gpu=\"0\"}");
  // The job came from the backup, after the primary's three refusals (1 + 2 s of back-off at
  // least 2.4 s with its jitter): not at the worker's start.
  EXPECT_TRUE(since_job >= 0 && since_job < sample(m, "tarn_uptime_seconds") - 2) << m;
  EXPECT_TRUE(since_share >= 0 && since_share < 30) << m;

  std::ifstream rules_file(kTools + "/../contrib/prometheus/tarn-alerts.yml");
  std::stringstream rules;
  rules << rules_file.rdbuf();
  std::set<std::string> names;
  const std::string text = rules.str();
  const std::regex metric("tarn_[a-z0-9_]+");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), metric); it != std::sregex_iterator(); ++it)
    names.insert(it->str());
  EXPECT_GE(names.size(), 6u) << text;
  for (const std::string& name : names)
    EXPECT_NE(m.find("# TYPE " + name + " "), std::string::npos) << name << " is not served\n" << m;

  EXPECT_EQ(miner.stop(SIGTERM, 45), 0) << miner.output();
  primary.stop(SIGTERM, 10);
  backup.stop(SIGTERM, 10);
}
