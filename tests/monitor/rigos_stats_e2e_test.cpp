// The rig-OS folders of contrib/rigos: the stats scripts against the real binary (host emulation)
// mining the test pool, against an API that is down or answers nonsense, and against a canned
// summary with real bus ids; and h-config.sh's config from a flight sheet's fields.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "../pool/test_pool.h"

using nlohmann::json;
using pooltest::Child;
using pooltest::count_with;
using pooltest::find_in_path;
using pooltest::missing_pool;
using pooltest::start_pool;
using pooltest::starts_with;

namespace {

const std::string kBinary = TARN_BINARY;
const std::string kContrib = TARN_CONTRIB_DIR;
const std::string kVersion = "1.0.8";

#define SKIP_WITHOUT_TOOLS()                                        \
  do {                                                              \
    for (const char* t : {"bash", "curl", "jq"})                    \
      if (find_in_path(t).empty()) GTEST_SKIP() << t << " is not installed"; \
  } while (0)

// Runs a command to its end: its exit status (or -1); its output lines in *lines.
int run(const std::vector<std::string>& argv, std::vector<std::string>* lines = nullptr,
        const std::vector<std::string>& env = {}) {
  std::vector<std::string> full = {"env"};
  full.insert(full.end(), env.begin(), env.end());
  full.insert(full.end(), argv.begin(), argv.end());
  Child c;
  if (!c.start(full)) return -1;
  const int rc = c.stop(0, 30);
  if (lines) *lines = c.lines();
  return rc;
}

std::string line_after(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& l : lines)
    if (starts_with(l, prefix)) return l.substr(prefix.size());
  return std::string();
}

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// A copy of contrib/rigos in a scratch folder, its HiveOS manifest pointed at the scratch folder
// and at `port`.
struct Rig {
  std::string dir;
  Rig() {
    char t[] = "/tmp/tarn-rigos-XXXXXX";
    dir = mkdtemp(t) ? t : "";
    run({"cp", "-r", kContrib + "/rigos", dir + "/rigos"});
  }
  ~Rig() { run({"rm", "-rf", dir}); }
  std::string hive() const { return dir + "/rigos/hiveos/tarn-cuda"; }
  std::string config() const { return dir + "/config.json"; }
  void point_at(int port) const {
    run({"sed", "-i", "-e", "s|^TARN_API_PORT=.*|TARN_API_PORT=" + std::to_string(port) + "|",
         "-e", "s|^CUSTOM_CONFIG_FILENAME=.*|CUSTOM_CONFIG_FILENAME=" + config() + "|",
         hive() + "/h-manifest.conf"});
  }
  // What the HiveOS agent sees after sourcing h-stats.sh: khs and the stats JSON (discarded
  // when it does not parse), and the other lines (standard error).
  void hive_stats(std::string* khs, json* stats, std::vector<std::string>* lines) const {
    run({"bash", "-c", "source \"$1\"; printf 'KHS %s\\nSTATS %s\\n' \"$khs\" \"$stats\"", "_",
         hive() + "/h-stats.sh"}, lines);
    *khs = line_after(*lines, "KHS ");
    *stats = json::parse(line_after(*lines, "STATS "), nullptr, false);
  }
  // mmp-stats.sh's JSON line (discarded when it does not parse) and its exit status.
  int external_stats(int port, json* out, std::vector<std::string>* lines) const {
    const int rc = run({dir + "/rigos/external/mmp-stats.sh", std::to_string(port)}, lines);
    *out = json::parse(line_after(*lines, "{").insert(0, "{"), nullptr, false);
    return rc;
  }
};

json summary(int port) {
  std::vector<std::string> lines;
  run({"curl", "-s", "--max-time", "5", "http://127.0.0.1:" + std::to_string(port) + "/summary"},
      &lines);
  std::string body;
  for (const std::string& l : lines) body += l + "\n";
  return json::parse(body, nullptr, false);
}

// Whether x lies between a and b (either order), allowing for the rounding of a division.
bool between(double x, double a, double b) {
  const double eps = 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
  return x >= std::min(a, b) - eps && x <= std::max(a, b) + eps;
}

// A port where nothing listens (bound, then let go).
int closed_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// An HTTP server answering /summary with whatever was last written there.
struct CannedApi {
  std::string dir;
  Child server;
  int port = 0;
  explicit CannedApi(const std::string& in) : dir(in) {
    if (server.start({TARN_PYTHON3, "-u", "-m", "http.server", "--bind", "127.0.0.1",
                      "--directory", dir, "0"})) {
      const std::string line = server.wait_for_line(" port ", 20);
      if (!line.empty()) port = std::atoi(line.c_str() + line.find(" port ") + 6);
    }
  }
  ~CannedApi() { server.stop(SIGTERM, 10); }
  void answer(const std::string& body) const { std::ofstream(dir + "/summary") << body; }
};

// GPU i's 60 s rate in kH/s, as the scripts report it.
double khs_of(const json& d, int i) { return d["gpus"][i]["hashrate"]["60s"].get<double>() / 1000; }

}  // namespace

// Each script's figures lie between those of a /summary fetched just before it and one just
// after. Rates move with every launch, so the comparison is tried a few times; a wrong field,
// unit or sum fails every try. (Non-zero rates are pinned exactly by the canned summary below.)
TEST(RigStats, ScriptsReportTheFiguresOfTheApi) {
  SKIP_WITHOUT_TOOLS();
  const std::string why = missing_pool();
  if (!why.empty()) GTEST_SKIP() << why;
  Child pool;
  const int pool_port = start_pool(pool);
  ASSERT_GT(pool_port, 0) << pool.output();
  Child miner;
  ASSERT_TRUE(miner.start({kBinary, "--cpu", "--api", "127.0.0.1:0", "pool",
                           "ws://127.0.0.1:" + std::to_string(pool_port) + "/", "P", "W", "0",
                           "2"}));
  const std::string serving = miner.wait_for_line("api: serving ", 20);
  ASSERT_FALSE(serving.empty()) << miner.output();
  const int port = std::atoi(serving.c_str() + serving.rfind(' ') + 1);
  ASSERT_TRUE(pool.wait_for([](const std::vector<std::string>& l) {
    return count_with(l, "SHARE accepted ") >= 2;
  }, 90 * TARN_TEST_TIME_SCALE)) << pool.output() << miner.output();
  Rig rig;
  rig.point_at(port);

  // Each script's output as JSON (h-stats.sh's stats with its khs added), discarded when it
  // gave none; and the fields that differ from what the two summaries allow, or empty.
  using Get = json (*)(int port, const Rig& rig, std::vector<std::string>* lines);
  using Compare = std::string (*)(const json& s, const json& a, const json& b);
  struct Case {
    const char* script;
    Get get;
    Compare compare;
  };
  const Case cases[] = {
      {"h-stats.sh",
       [](int, const Rig& r, std::vector<std::string>* lines) {
         std::string khs;
         json s;
         r.hive_stats(&khs, &s, lines);
         if (s.is_discarded() || khs.empty()) return json(json::value_t::discarded);
         s["khs"] = std::atof(khs.c_str());
         return s;
       },
       [](const json& s, const json& a, const json& b) -> std::string {
         for (const char* k : {"khs", "hs", "hs_units", "temp", "fan", "uptime", "ver", "ar", "algo",
                               "bus_numbers"})
           if (!s.contains(k)) return std::string("no ") + k;
         const auto total = [](const json& d) { return d["total"]["hashrate"]["60s"].get<double>(); };
         if (!between(s["khs"].get<double>(), total(a) / 1000, total(b) / 1000)) return "khs";
         if (s["hs"].size() != 2 || s["bus_numbers"] != json({nullptr, nullptr}) ||
             s["temp"] != json({nullptr, nullptr}) || s["fan"] != json({nullptr, nullptr}))
           return "per-GPU arrays";
         for (int i = 0; i < 2; ++i)
           if (!between(s["hs"][i].get<double>(), khs_of(a, i), khs_of(b, i))) return "hs";
         const auto shares = [](const json& d, const char* k) {
           return d["total"]["shares"][k].get<double>();
         };
         if (!between(s["ar"][0].get<double>(), shares(a, "accepted"), shares(b, "accepted")) ||
             !between(s["ar"][1].get<double>(), shares(a, "rejected"), shares(b, "rejected")))
           return "ar";
         if (!between(s["uptime"].get<double>(), std::floor(a["uptime_s"].get<double>()),
                      std::floor(b["uptime_s"].get<double>())))
           return "uptime";
         if (s["hs_units"] != "khs" || s["ver"] != kVersion || s["algo"] != "poseidon2")
           return "units, version or algo";
         return "";
       }},
      {"mmp-stats.sh",
       [](int api_port, const Rig& r, std::vector<std::string>* lines) {
         json s;
         return r.external_stats(api_port, &s, lines) == 0 ? s : json(json::value_t::discarded);
       },
       [](const json& s, const json& a, const json& b) -> std::string {
         for (const char* k : {"busid", "hash", "units", "air", "miner_name", "miner_version"})
           if (!s.contains(k)) return std::string("no ") + k;
         if (s["hash"].size() != 2 || s["busid"] != json({nullptr, nullptr})) return "per-GPU arrays";
         for (int i = 0; i < 2; ++i)
           if (!between(s["hash"][i].get<double>(), khs_of(a, i), khs_of(b, i))) return "hash";
         const auto count = [](const json& d, const std::string& k) {
           return (k == "device_faults" ? d["total"][k] : d["total"]["shares"][k]).get<double>();
         };
         const std::string air[] = {"accepted", "device_faults", "rejected"};
         if (s["air"].size() != 3) return "air";
         for (int i = 0; i < 3; ++i)
           if (!between(s["air"][i].get<double>(), count(a, air[i]), count(b, air[i]))) return "air";
         if (s["units"] != "khs" || s["miner_name"] != "tarn-cuda" || s["miner_version"] != kVersion)
           return "units, name or version";
         return "";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    std::string failed = "not tried";
    for (int attempt = 0; attempt < 5 && !failed.empty(); ++attempt) {
      const json before = summary(port);
      std::vector<std::string> lines;
      const json got = c.get(port, rig, &lines);
      const json after = summary(port);
      ASSERT_FALSE(before.is_discarded() || after.is_discarded());
      ASSERT_FALSE(got.is_discarded()) << ::testing::PrintToString(lines);
      failed = c.compare(got, before, after);
      if (!failed.empty()) failed += " differs: " + got.dump() + "\nbefore " + before.dump() +
                                     "\nafter " + after.dump();
    }
    EXPECT_EQ(failed, "");
  }
  EXPECT_EQ(miner.stop(SIGTERM, 45), 0) << miner.output();
  pool.stop(SIGTERM, 10);
}

// An API that does not answer, or answers with something that is not a summary, is reported as
// no work with one line saying why; never as a stale or made-up figure, never as a failure the
// rig would take for a broken script.
TEST(RigStats, AnApiDownIsReportedAsNoWork) {
  SKIP_WITHOUT_TOOLS();
  Rig rig;
  CannedApi canned(rig.dir);
  ASSERT_GT(canned.port, 0) << canned.server.output();
  struct Case {
    const char* what;
    int port;
    std::string body;
    const char* cause;
  };
  const Case cases[] = {
      {"nothing listening", closed_port(), "", "Failed to connect"},
      {"an answer that is not a summary", canned.port, "{\"gpus\": 3}", "not a tarn-cuda summary"},
      {"no answer at all", canned.port, "", "not a tarn-cuda summary"},
  };
  const json hive_down = {{"hs", json::array()}, {"hs_units", "khs"}, {"temp", json::array()},
                          {"fan", json::array()}, {"uptime", 0}, {"ver", kVersion},
                          {"ar", {0, 0}}, {"algo", "poseidon2"}, {"bus_numbers", json::array()}};
  const json external_down = {{"busid", json::array()}, {"hash", json::array()},
                              {"units", "khs"}, {"air", {0, 0, 0}},
                              {"miner_name", "tarn-cuda"}, {"miner_version", kVersion}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    canned.answer(c.body);
    rig.point_at(c.port);
    const std::string url = "the tarn-cuda API at http://127.0.0.1:" + std::to_string(c.port) +
                            "/summary: ";
    std::string khs;
    json stats;
    std::vector<std::string> lines;
    rig.hive_stats(&khs, &stats, &lines);
    EXPECT_EQ(khs, "0");
    EXPECT_EQ(stats, hive_down);
    EXPECT_EQ(count_with(lines, "h-stats.sh: " + url), 1) << ::testing::PrintToString(lines);
    EXPECT_EQ(count_with(lines, c.cause), 1) << ::testing::PrintToString(lines);

    EXPECT_EQ(rig.external_stats(c.port, &stats, &lines), 0);
    EXPECT_EQ(stats, external_down);
    EXPECT_EQ(count_with(lines, "mmp-stats.sh: " + url), 1) << ::testing::PrintToString(lines);
    EXPECT_EQ(count_with(lines, c.cause), 1) << ::testing::PrintToString(lines);
  }
}

// A GPU's PCI bus id "DOMAIN:BUS:DEVICE.FUNCTION" becomes its decimal bus number, and a sensor
// reading is passed on where there is one.
TEST(RigStats, BusIdsBecomeDecimalBusNumbers) {
  SKIP_WITHOUT_TOOLS();
  Rig rig;
  CannedApi canned(rig.dir);
  ASSERT_GT(canned.port, 0) << canned.server.output();
  json doc = {{"version", kVersion}, {"uptime_s", 7.9}, {"gpus", json::array()},
              {"total", {{"hashrate", {{"60s", 3000.0}}}, {"device_faults", 1},
                         {"shares", {{"accepted", 5}, {"rejected", 2}}}}}};
  const char* const ids[] = {"0000:0a:00.0", "00000000:81:00.0", "0000:FF:1f.7", "host", ""};
  for (const char* id : ids)
    doc["gpus"].push_back({{"hashrate", {{"60s", 600.0}}},
                           {"pci_bus_id", *id ? json(id) : json(nullptr)}});
  doc["gpus"][0]["telemetry"] = {{"temperature_c", 65}, {"fan_percent", 40}};
  canned.answer(doc.dump());
  rig.point_at(canned.port);
  const json buses = {10, 129, 255, nullptr, nullptr};

  std::string khs;
  json stats;
  std::vector<std::string> lines;
  rig.hive_stats(&khs, &stats, &lines);
  EXPECT_EQ(khs, "3");
  EXPECT_EQ(stats["bus_numbers"], buses) << stats;
  EXPECT_EQ(stats["hs"], json({0.6, 0.6, 0.6, 0.6, 0.6})) << stats;
  EXPECT_EQ(stats["temp"], json({65, nullptr, nullptr, nullptr, nullptr})) << stats;
  EXPECT_EQ(stats["fan"], json({40, nullptr, nullptr, nullptr, nullptr})) << stats;
  EXPECT_EQ(stats["ar"], json({5, 2})) << stats;
  EXPECT_EQ(stats["uptime"], 7) << stats;

  EXPECT_EQ(rig.external_stats(canned.port, &stats, &lines), 0);
  EXPECT_EQ(stats["busid"], buses) << stats;
  EXPECT_EQ(stats["air"], json({5, 1, 2})) << stats;
}

// h-config.sh builds the config with jq from the flight sheet's fields, so any text stays text;
// a flight sheet it cannot use leaves the previous config as it was.
TEST(RigStats, HiveConfigComesFromTheFlightSheet) {
  SKIP_WITHOUT_TOOLS();
  Rig rig;
  rig.point_at(4068);
  struct Case {
    const char* what;
    std::vector<std::string> env;
    int status;
    json config;  // null: the previous config stays
    const char* line;
  };
  const Case cases[] = {
      {"every field, with quotes and backslashes",
       {"CUSTOM_URL= ws://a:1/ \nwss://b:2/x,ws://c:3/,\n", "CUSTOM_TEMPLATE=w\"al\\let",
        "CUSTOM_PASS=rig \"1\"", "WORKER_NAME=ignored",
        "CUSTOM_USER_CONFIG={\"temp-limit\": 85, \"pool\": {\"submit-gap\": 0.5}, \"api\": \"0.0.0.0:1\"}"},
       0,
       {{"pool", {{"urls", {"ws://a:1/", "wss://b:2/x", "ws://c:3/"}}, {"payout", "w\"al\\let"},
                  {"worker", "rig \"1\""}, {"submit-gap", 0.5}}},
        {"temp-limit", 85}, {"api", "127.0.0.1:4068"}},
       nullptr},
      {"no pass: the rig's name",
       {"CUSTOM_URL=ws://a:1/", "CUSTOM_TEMPLATE=W", "WORKER_NAME=rig01"}, 0,
       {{"pool", {{"urls", {"ws://a:1/"}}, {"payout", "W"}, {"worker", "rig01"}}},
        {"api", "127.0.0.1:4068"}},
       nullptr},
      {"extra config that is not an object",
       {"CUSTOM_URL=ws://a:1/", "CUSTOM_TEMPLATE=W", "CUSTOM_USER_CONFIG=--temp-limit 85"}, 1,
       nullptr, "h-config.sh: the extra config is not a JSON object"},
      {"no pool URL", {"CUSTOM_URL= , ", "CUSTOM_TEMPLATE=W"}, 1, nullptr,
       "h-config.sh: the flight sheet has no pool URL"},
      {"no wallet", {"CUSTOM_URL=ws://a:1/"}, 1, nullptr,
       "h-config.sh: the flight sheet has no wallet (payout) template"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(rig.config()) << "previous";
    std::vector<std::string> env = {"-u", "CUSTOM_URL", "-u", "CUSTOM_TEMPLATE", "-u",
                                    "CUSTOM_PASS", "-u", "CUSTOM_USER_CONFIG", "-u", "WORKER_NAME"};
    env.insert(env.end(), c.env.begin(), c.env.end());
    std::vector<std::string> lines;
    EXPECT_EQ(run({rig.hive() + "/h-config.sh"}, &lines, env), c.status)
        << ::testing::PrintToString(lines);
    if (c.config.is_null()) {
      EXPECT_EQ(read_file(rig.config()), "previous");
      EXPECT_EQ(count_with(lines, c.line), 1) << ::testing::PrintToString(lines);
    } else {
      EXPECT_EQ(json::parse(read_file(rig.config()), nullptr, false), c.config);
    }
  }
}
