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
using pooltest::unused_loopback_port;

namespace {

const std::string kContrib = TARN_CONTRIB_DIR;
const std::string kVersion = "1.0.8";

#define SKIP_WITHOUT_TOOLS()                                                     \
  do {                                                                           \
    for (const char* t : {"bash", "curl", "jq"})                                 \
      if (find_in_path(t).empty()) GTEST_SKIP() << t << " is not installed";     \
  } while (0)

// Runs a command to its end under `env` with extra arguments: its exit status (or -1), its
// output lines in *lines.
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

std::string read_file(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return s.str();
}

// The first output line that is a JSON object, or discarded.
json json_line(const std::vector<std::string>& lines) {
  for (const std::string& l : lines)
    if (starts_with(l, "{")) return json::parse(l, nullptr, false);
  return json(json::value_t::discarded);
}

enum Script { kHive, kExternal };
const char* const kNames[] = {"h-stats.sh", "mmp-stats.sh"};

// A copy of contrib/rigos in a scratch folder, its HiveOS manifest pointed at the scratch folder
// and at an API port.
struct Rig {
  std::string dir;
  int port = 0;
  Rig() {
    char t[] = "/tmp/tarn-rigos-XXXXXX";
    dir = mkdtemp(t) ? t : "";
    run({"cp", "-r", kContrib + "/rigos", dir + "/rigos"});
  }
  ~Rig() { run({"rm", "-rf", dir}); }
  std::string hive() const { return dir + "/rigos/hiveos/tarn-cuda"; }
  std::string config() const { return dir + "/config.json"; }
  void point_at(int api_port) {
    port = api_port;
    run({"sed", "-i", "-e", "s|^TARN_API_PORT=.*|TARN_API_PORT=" + std::to_string(port) + "|",
         "-e", "s|^CUSTOM_CONFIG_FILENAME=.*|CUSTOM_CONFIG_FILENAME=" + config() + "|",
         hive() + "/h-manifest.conf"});
  }
  // A script's JSON (HiveOS: the stats the agent sees after sourcing it, with its khs added),
  // discarded when there is none; its exit status; every line it wrote.
  json stats(Script s, std::vector<std::string>* lines, int* status = nullptr) const {
    const int rc =
        s == kHive ? run({"bash", "-c", "source \"$1\"; printf '{\"khs\":%s,\"stats\":%s}\\n' "
                                        "\"$khs\" \"$stats\"", "_", hive() + "/h-stats.sh"}, lines)
                   : run({dir + "/rigos/external/mmp-stats.sh", std::to_string(port)}, lines);
    if (status) *status = rc;
    json j = json_line(*lines);
    if (s == kExternal || j.is_discarded()) return j;
    j["stats"]["khs"] = j["khs"];
    return j["stats"];
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


// A figure that moves while the miner runs: the script's value at `out` must lie between the
// summaries' values at `in` (divided by `scale`; rounded down for whole seconds), fetched just
// before and just after the script ran.
struct Moving {
  const char* out;
  const char* in;
  double scale;
  bool whole = false;
};

std::string out_of_range(const json& got, const json& before, const json& after,
                         const std::vector<Moving>& moving) {
  for (const Moving& m : moving) {
    const json::json_pointer out(m.out), in(m.in);
    if (!got.contains(out) || !got[out].is_number()) return std::string(m.out) + " missing";
    double a = before[in].get<double>() / m.scale, b = after[in].get<double>() / m.scale;
    if (m.whole) a = std::floor(a), b = std::floor(b);
    const double x = got[out].get<double>(), eps = 1e-9 * std::max({1.0, a, b});
    if (x < std::min(a, b) - eps || x > std::max(a, b) + eps)
      return std::string(m.out) + " is " + std::to_string(x);
  }
  return "";
}

}  // namespace

// Each script's figures lie between those of a /summary fetched just before it and one just
// after; the rest of its output is fixed. Rates move with every launch, so the comparison is
// tried a few times; a wrong field, unit or sum fails every try. (The canned summary below pins
// non-zero rates exactly.)
TEST(RigStats, ScriptsReportTheFiguresOfTheApi) {
  SKIP_WITHOUT_TOOLS();
  const std::string why = missing_pool();
  if (!why.empty()) GTEST_SKIP() << why;
  Child pool;
  const int pool_port = start_pool(pool);
  ASSERT_GT(pool_port, 0) << pool.output();
  Child miner;
  ASSERT_TRUE(miner.start({TARN_BINARY, "--cpu", "--api", "127.0.0.1:0", "pool",
                           "ws://127.0.0.1:" + std::to_string(pool_port) + "/", "P", "W", "0",
                           "2"}));
  const std::string serving = miner.wait_for_line("api: serving ", 20);
  ASSERT_FALSE(serving.empty()) << miner.output();
  Rig rig;
  rig.point_at(std::atoi(serving.c_str() + serving.rfind(' ') + 1));
  ASSERT_TRUE(pool.wait_for([](const std::vector<std::string>& l) {
    return count_with(l, "SHARE accepted ") >= 2;
  }, 90 * TARN_TEST_TIME_SCALE)) << pool.output() << miner.output();
  // The bus ids the scripts turn into bus numbers: the emulation's is "host", which has none.
  const json first = summary(rig.port);
  ASSERT_FALSE(first.is_discarded());
  for (const json& g : first["gpus"]) EXPECT_EQ(g["pci_bus_id"], "host") << g;

  const json two_nulls = {nullptr, nullptr};
  struct Case {
    Script script;
    json fixed;
    std::vector<Moving> moving;
  };
  const Case cases[] = {
      {kHive,
       {{"hs_units", "khs"}, {"ver", kVersion}, {"algo", "poseidon2"}, {"temp", two_nulls},
        {"fan", two_nulls}, {"bus_numbers", two_nulls}},
       {{"/khs", "/total/hashrate/60s", 1000}, {"/hs/0", "/gpus/0/hashrate/60s", 1000},
        {"/hs/1", "/gpus/1/hashrate/60s", 1000}, {"/ar/0", "/total/shares/accepted", 1},
        {"/ar/1", "/total/shares/rejected", 1}, {"/uptime", "/uptime_s", 1, true}}},
      {kExternal,
       {{"units", "khs"}, {"miner_name", "tarn-cuda"}, {"miner_version", kVersion},
        {"busid", two_nulls}},
       {{"/hash/0", "/gpus/0/hashrate/60s", 1000}, {"/hash/1", "/gpus/1/hashrate/60s", 1000},
        {"/air/0", "/total/shares/accepted", 1}, {"/air/1", "/total/device_faults", 1},
        {"/air/2", "/total/shares/rejected", 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(kNames[c.script]);
    std::string failed = "not tried";
    for (int attempt = 0; attempt < 5 && !failed.empty(); ++attempt) {
      const json before = summary(rig.port);
      std::vector<std::string> lines;
      const json got = rig.stats(c.script, &lines);
      const json after = summary(rig.port);
      ASSERT_FALSE(before.is_discarded() || after.is_discarded());
      ASSERT_TRUE(got.is_object()) << ::testing::PrintToString(lines);
      for (auto it = c.fixed.begin(); it != c.fixed.end(); ++it)
        EXPECT_EQ(got.value(it.key(), json()), it.value()) << it.key();
      const size_t per_gpu = got.value(c.script == kHive ? "hs" : "hash", json()).size();
      const size_t counts = got.value(c.script == kHive ? "ar" : "air", json()).size();
      EXPECT_EQ(per_gpu, 2u) << got;
      EXPECT_EQ(counts, c.script == kHive ? 2u : 3u) << got;
      failed = out_of_range(got, before, after, c.moving);
      if (!failed.empty())
        failed += " in " + got.dump() + "\nbefore " + before.dump() + "\nafter " + after.dump();
    }
    EXPECT_EQ(failed, "");
  }
  EXPECT_EQ(miner.stop(SIGTERM, 45), 0) << miner.output();
  pool.stop(SIGTERM, 10);
}

// An API that does not answer, or answers something that is not a summary, is reported as no
// work with one line saying why; never as a stale or made-up figure, never as a failure the rig
// would take for a broken script.
TEST(RigStats, AnApiDownIsReportedAsNoWork) {
  SKIP_WITHOUT_TOOLS();
  Rig rig;
  CannedApi canned(rig.dir);
  ASSERT_GT(canned.port, 0) << canned.server.output();
  struct Case {
    const char* what;
    int port;
    const char* body;
    const char* cause;
  };
  const Case cases[] = {
      {"nothing listening", unused_loopback_port(), "", "Failed to connect"},
      {"an answer that is not a summary", canned.port, "{\"gpus\": 3}", "not a tarn-cuda summary"},
      {"an empty answer", canned.port, "", "not a tarn-cuda summary"},
  };
  const json down[] = {
      {{"khs", 0}, {"hs", json::array()}, {"hs_units", "khs"}, {"temp", json::array()},
       {"fan", json::array()}, {"uptime", 0}, {"ver", kVersion}, {"ar", {0, 0}},
       {"algo", "poseidon2"}, {"bus_numbers", json::array()}},
      {{"busid", json::array()}, {"hash", json::array()}, {"units", "khs"}, {"air", {0, 0, 0}},
       {"miner_name", "tarn-cuda"}, {"miner_version", kVersion}}};
  for (const Case& c : cases) {
    canned.answer(c.body);
    rig.point_at(c.port);
    const std::string said = "the tarn-cuda API at http://127.0.0.1:" + std::to_string(c.port) +
                             "/summary: ";
    for (Script s : {kHive, kExternal}) {
      SCOPED_TRACE(std::string(c.what) + ", " + kNames[s]);
      std::vector<std::string> lines;
      int status = -1;
      EXPECT_EQ(rig.stats(s, &lines, &status), down[s]);
      EXPECT_EQ(status, 0);
      EXPECT_EQ(count_with(lines, kNames[s] + (": " + said)), 1) << ::testing::PrintToString(lines);
      EXPECT_EQ(count_with(lines, c.cause), 1) << ::testing::PrintToString(lines);
    }
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
  for (const char* id : {"0000:0a:00.0", "00000000:81:00.0", "0000:FF:1f.7", "host", ""})
    doc["gpus"].push_back({{"hashrate", {{"60s", 600.0}}},
                           {"pci_bus_id", *id ? json(id) : json(nullptr)}});
  doc["gpus"][0]["telemetry"] = {{"temperature_c", 65}, {"fan_percent", 40}};
  canned.answer(doc.dump());
  rig.point_at(canned.port);
  const json buses = {10, 129, 255, nullptr, nullptr}, rates = {0.6, 0.6, 0.6, 0.6, 0.6};
  const json want[] = {
      {{"khs", 3}, {"hs", rates}, {"hs_units", "khs"}, {"temp", {65, nullptr, nullptr, nullptr, nullptr}},
       {"fan", {40, nullptr, nullptr, nullptr, nullptr}}, {"uptime", 7}, {"ver", kVersion}, {"ar", {5, 2}},
       {"algo", "poseidon2"}, {"bus_numbers", buses}},
      {{"busid", buses}, {"hash", rates}, {"units", "khs"}, {"air", {5, 1, 2}},
       {"miner_name", "tarn-cuda"}, {"miner_version", kVersion}}};
  for (Script s : {kHive, kExternal}) {
    std::vector<std::string> lines;
    EXPECT_EQ(rig.stats(s, &lines), want[s]) << kNames[s];
  }
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
    json config;  // null: refused with `line`, the previous config kept
    const char* line;
  };
  const Case cases[] = {
      {"every field, with quotes and backslashes",
       {"CUSTOM_URL= ws://a:1/ \nwss://b:2/x,ws://c:3/,\n", "CUSTOM_TEMPLATE=w\"al\\let",
        "CUSTOM_PASS=rig \"1\"", "WORKER_NAME=ignored",
        "CUSTOM_USER_CONFIG={\"temp-limit\": 85, \"pool\": {\"submit-gap\": 0.5}, \"api\": \"0.0.0.0:1\"}"},
       {{"pool", {{"urls", {"ws://a:1/", "wss://b:2/x", "ws://c:3/"}}, {"payout", "w\"al\\let"},
                  {"worker", "rig \"1\""}, {"submit-gap", 0.5}}},
        {"temp-limit", 85}, {"api", "127.0.0.1:4068"}},
       nullptr},
      {"no pass: the rig's name",
       {"CUSTOM_URL=ws://a:1/", "CUSTOM_TEMPLATE=W", "WORKER_NAME=rig01"},
       {{"pool", {{"urls", {"ws://a:1/"}}, {"payout", "W"}, {"worker", "rig01"}}},
        {"api", "127.0.0.1:4068"}},
       nullptr},
      {"extra config that is not an object",
       {"CUSTOM_URL=ws://a:1/", "CUSTOM_TEMPLATE=W", "CUSTOM_USER_CONFIG=--temp-limit 85"},
       nullptr, "h-config.sh: the extra config is not a JSON object"},
      {"no pool URL", {"CUSTOM_URL= , ", "CUSTOM_TEMPLATE=W"}, nullptr,
       "h-config.sh: the flight sheet has no pool URL"},
      {"no wallet", {"CUSTOM_URL=ws://a:1/"}, nullptr,
       "h-config.sh: the flight sheet has no wallet (payout) template"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(rig.config()) << "previous";
    std::vector<std::string> env = {"-u", "CUSTOM_URL", "-u", "CUSTOM_TEMPLATE", "-u",
                                    "CUSTOM_PASS", "-u", "CUSTOM_USER_CONFIG", "-u", "WORKER_NAME"};
    env.insert(env.end(), c.env.begin(), c.env.end());
    std::vector<std::string> lines;
    const int status = run({rig.hive() + "/h-config.sh"}, &lines, env);
    if (c.config.is_null()) {
      EXPECT_EQ(status, 1);
      EXPECT_EQ(read_file(rig.config()), "previous");
      EXPECT_EQ(count_with(lines, c.line), 1) << ::testing::PrintToString(lines);
    } else {
      EXPECT_EQ(status, 0) << ::testing::PrintToString(lines);
      EXPECT_EQ(json::parse(read_file(rig.config()), nullptr, false), c.config);
    }
  }
}
