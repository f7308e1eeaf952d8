// The --config file: its refusals, the command line over it, and the shipped example.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "cli/config_file.h"
#include "tests/run_binary.h"

using testutil::run_program;
using testutil::RunResult;

namespace {

const std::string kBin = TARN_BINARY;

// A scratch folder for the files one test writes, removed with it.
struct Scratch {
  Scratch() {
    char name[] = "/tmp/tarn-config-XXXXXX";
    dir = mkdtemp(name) ? name : "";
  }
  ~Scratch() {
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }
  std::string write(const std::string& name, const std::string& text) const {
    const std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  std::string dir;
};

}  // namespace

// Each mistake stops the start with one line naming the file and the key, status 1, nothing on
// standard output.
TEST(ConfigFile, RefusesEachMistakeInOneLine) {
  struct Case {
    std::string text;  // the file; "" for no file at all
    std::string line;  // what follows "config PATH: "
  };
  const std::vector<Case> cases = {
      {"", "No such file or directory"},
      {"{\"api\": \"x\",}", "invalid JSON: parse error at line 1, column 13"},
      {"[1]", "the top level must be a JSON object, not array"},
      {"{\"tempp-limit\": 85}", "\"tempp-limit\": unknown key (known: devices, api,"},
      {"{\"pool\": {\"payot\": \"P\"}}", "\"pool\".\"payot\": unknown key (known: urls,"},
      {"{\"bench\": {\"per_thread\": 4}}", "\"bench\".\"per_thread\": unknown key"},
      {"{\"api\": \"a\",\n \"api\": \"b\"}", "\"api\": given twice"},
      {"{\"pool\": {\"worker\": \"a\", \"worker\": \"b\"}}", "\"pool\".\"worker\": given twice"},
      {"{\"temp-limit\": 20}",
       "\"temp-limit\": takes a whole number of degrees Celsius from 30 to 120"},
      {"{\"temp-limit\": \"85\"}", "\"temp-limit\": must be a number, not string"},
      {"{\"launch-timeout\": 1.5}",
       "\"launch-timeout\": takes a whole number of seconds from 1 to 86400"},
      {"{\"job-timeout\": -1}", "\"job-timeout\": takes a whole number of seconds from 1 to 86400"},
      {"{\"tls-no-verify\": 1}", "\"tls-no-verify\": must be true or false, not number"},
      {"{\"log-file\": \"\"}", "\"log-file\": needs a path"},
      {"{\"devices\": \"\"}", "\"devices\": lists no device"},
      {"{\"devices\": \"0,0\"}", "\"devices\": device 0 is listed twice"},
      {"{\"pool\": []}", "\"pool\": must be an object, not array"},
      {"{\"pool\": {\"urls\": []}}", "\"pool\".\"urls\": lists no URL"},
      {"{\"pool\": {\"urls\": \"ws://a:1/\"}}", "\"pool\".\"urls\": must be an array of strings"},
      {"{\"pool\": {\"urls\": [\"http://a/\"]}}", "\"pool\".\"urls\": bad url http://a/"},
      {"{\"pool\": {\"urls\": [\"ws://a:1/,ws://b:1/\"]}}", "\"pool\".\"urls\": \"ws://a:1/,"},
      {"{\"pool\": {\"payout\": \"a\\u0000b\"}}", "\"pool\".\"payout\": holds a control character"},
      {"{\"pool\": {\"worker\": \"\"}}", "\"pool\".\"worker\": is empty"},
      {"{\"bench\": {\"tpb\": 2000}}", "\"bench\".\"tpb\": 2000 is out of range (0 to 1024)"},
      {"{\"bench\": {\"per-thread\": 6.5}}", "\"bench\".\"per-thread\": 6.5 is not a whole number"},
      {"{\"bench\": {\"secs\": 1e999}}", "\"bench\".\"secs\": number overflow parsing '1e999'"},
      {"{\"//\": 5}", "\"//\": must be a string (a comment), not number"},
  };
  Scratch scratch;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path =
        c.text.empty() ? scratch.dir + "/absent.json" : scratch.write("c.json", c.text);
    const std::string want = "config " + path + ": " + c.line;
    // The refusal is the same whether the file is checked or mined with.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--cpu", "--config", path, "--check-config"},
          std::vector<std::string>{"--cpu", "--config", path, "bench", "0"}}) {
      const RunResult r = run_program(kBin, args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.rfind(want, 0), 0u) << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
  }
}

// The command line overrides the file: global options as a whole, the mode's words one by one.
TEST(ConfigFile, CommandLineOverridesTheFile) {
  Scratch scratch;
  const std::string path = scratch.write(
      "c.json",
      "{\"devices\": \"1\", \"bench\": {\"secs\": 0, \"per-thread\": 4},"
      " \"pool\": {\"urls\": [\"ws://127.0.0.1:1/\"], \"payout\": \"P\"}}");
  const std::string partial = scratch.write("p.json", "{\"pool\": {\"payout\": \"P\"}}");
  struct Case {
    std::vector<std::string> args;  // after "--cpu"
    int status;
    std::string out;  // found in standard output
    std::string err;  // found in standard error
  };
  const std::vector<Case> cases = {
      {{"--config", path, "bench"}, 0, "BENCH gpu1 (", ""},
      {{"--config", path, "bench"}, 0, "per_thread=4)", ""},
      {{"--devices", "0", "--config", path, "bench"}, 0, "BENCH gpu0 (", ""},
      {{"--config", path, "--devices", "0", "bench", "0", "8"}, 0, "per_thread=8)", ""},
      {{"--config", path, "bench", "0"}, 0, "per_thread=4)", ""},
      {{"--config", path, "--check-config", "pool"}, 0, "config " + path + ": OK\n", ""},
      {{"--config", path, "--check-config", "pool", "http://x/"}, 1, "",
       "config " + path + ": pool: bad url http://x/"},
      {{"--config", partial, "--check-config", "pool"}, 1, "", "pool needs a URL and a payout"},
      {{"--config", partial, "--check-config", "pool", "ws://127.0.0.1:1/"}, 0, ": OK\n", ""},
      {{"--config", path, "--check-config", "--temp-limit", "5"}, 1, "",
       "--temp-limit takes a whole number"},
      {{"--check-config", "pool"}, 1, "", "--check-config needs --config FILE\n"},
      {{"--config", "", "bench"}, 1, "", "--config needs a path\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--cpu"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string cmd;
    for (const std::string& a : args) cmd += " '" + a + "'";
    SCOPED_TRACE(cmd);
    const RunResult r = run_program(kBin, args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

// The shipped example is read by the real loader with every value taken, and passes the check.
TEST(ConfigFile, ExampleLoadsAndChecks) {
  const std::string example = std::string(TARN_SOURCE_DIR) + "/contrib/config.example.json";
  tarn::GlobalOptions opts;
  tarn::ConfigWords words;
  std::string why;
  ASSERT_TRUE(tarn::load_config_file(example, &opts, &words, &why)) << why;
  EXPECT_EQ(opts.devices, "all");
  EXPECT_EQ(opts.api, "127.0.0.1:4068");
  EXPECT_EQ(opts.temp_limit, 85);
  EXPECT_EQ(opts.job_timeout, 120.0);
  EXPECT_EQ(opts.launch_timeout, 30.0);
  EXPECT_EQ(opts.log_file, "/var/log/tarn-cuda/tarn-cuda.log");
  EXPECT_TRUE(opts.timestamps);
  EXPECT_FALSE(opts.tls_no_verify);
  EXPECT_TRUE(opts.warnings.empty());
  EXPECT_EQ(words.pool, (std::vector<std::string>{
                            "wss://pool.example:3333/mine,ws://backup.example:3333/mine",
                            "YOUR-PAYOUT-ADDRESS", "rig01", "0.2"}));
  EXPECT_EQ(words.bench, (std::vector<std::string>{"5", "64", "0"}));

  const RunResult r = run_program(kBin, {"--config", example, "--check-config", "pool"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "config " + example + ": OK\n");
  EXPECT_EQ(r.err, "");
}
