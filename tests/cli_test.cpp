// The built program end to end through the host emulation: command line, hash, verify, mine.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "hash/hash_ref.h"
#include "search/target.h"
#include "tests/hex_util.h"
#include "tests/run_binary.h"

using testutil::from_hex;
using testutil::run_program;
using testutil::RunResult;

namespace {

const std::string kBin = TARN_BINARY;

RunResult tarn(const std::vector<std::string>& args, const std::string& input = "") {
  return run_program(kBin, args, input);
}

std::string rep(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

const std::regex kBanner(R"(tarn-cuda 1\.0\.8 \(built [A-Z][a-z]{2} \d{2} \d{4}, CUDA \d+\.\d+\)\n)");

const char kUsage[] =
    "modes: version | verify | minesparsepath | minev <hdr> <start> | bench <secs> [per_thread] [tpb] [ngpu]\n"
    "       mine <hdr> <difficulty> [secs] | pool <ws_url> <payout> [worker] [submit_gap_s] [ngpu]\n";

struct Vector {
  std::string header, nonce, hash;
};

std::vector<Vector> spec_vectors() {
  std::string h1, n1;
  for (int i = 0; i < 32; ++i) h1 += testutil::to_hex(reinterpret_cast<unsigned char*>(&i), 1);
  for (int i = 0; i < 64; ++i) n1 += testutil::to_hex(reinterpret_cast<unsigned char*>(&i), 1);
  return {
      {rep("00", 32), rep("00", 64), "8e64e3d8e0f38f882e8501f9e525df0a95d2e91e9cfc32c9248d756fb07780e2f8fdca2c5a54441e6fcd8d774a5f6aae72f36d1c76bc19f691a0d4f6c607e8cc"},
      {h1, n1, "d62469ea919158c8f2e1b61fc11cff199303ae775db05348700fab378f45e7c53245b0c3bf29671a3c5dd61dc3d4a7b38dfed0e4f8be9ac16700067cc2eb1f9b"},
      {rep("ff", 32), rep("ff", 64), "3bd1309fa508ed7e1c05f84c5f795142770ce0e01323646a559e5626aa5efcfa62f5b5d469df94aae3949ab30176c208d3c156d6af0de95287ca68b188c56985"},
  };
}

std::string line_of(const Vector& v, bool with_hash = true) {
  return v.header + " " + v.nonce + (with_hash ? " " + v.hash : "") + "\n";
}

// Checks a printed "mine" solution: the nonce re-hashed with the reference is below the target.
void expect_valid_solution(const RunResult& r, const std::string& hdr, uint64_t diff) {
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(  nonce   ([0-9a-f]{128})\n)"))) << r.out;
  const auto header = from_hex(hdr);
  const auto nonce = from_hex(m[1]);
  unsigned char hash[64], target[64];
  ref::hash_full(header.data(), nonce.data(), hash);
  target_from_difficulty(diff, target);
  EXPECT_TRUE(ref::below_target(hash, target));
  EXPECT_EQ(m[1].str().substr(0, 64), "a0adba8794e1eefbc8d5222f3c091663707d4a57a4b1be8b98e5f2ffccd92633");
  EXPECT_NE(r.out.find("  header  " + hdr + "\n"), std::string::npos);
}

}  // namespace

TEST(Cli, VersionWordsPrintTheBannerOnly) {
  for (const char* w : {"version", "--version", "-V"}) {
    const RunResult r = tarn({w, "extra", "words"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, kBanner)) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

// Mistakes on the command line: the statuses and the usage lines stay as they were, but each
// mistake gets exactly one line on standard error saying what was wrong or what is used instead.
TEST(Cli, MistakesGetOneLineEach) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string line;  // the whole line standard error must hold, once
    bool usage;        // standard output is the two usage lines
  };
  const std::string hdr = rep("00", 32);
  const std::vector<Case> cases = {
      {{"--cpu", "mien"}, 0, "unknown mode 'mien' (did you mean 'mine'?)", true},
      {{"--cpu", "verfy"}, 0, "unknown mode 'verfy' (did you mean 'verify'?)", true},
      {{"--cpu", "Bench"}, 0, "unknown mode 'Bench' (did you mean 'bench'?)", true},
      {{"--cpu", "nonsense"}, 0, "unknown mode 'nonsense'", true},
      {{"--devcies", "1", "bench"}, 0, "unknown mode '--devcies' (did you mean '--devices'?)", true},
      {{"--cpu", "pool", "ws://127.0.0.1:1/", "P", "--devices", "1"}, 2,
       "pool: '--devices' follows the mode word; global options stand before it: "
       "tarn-cuda [global options] pool [arguments]", false},
      {{"--cpu", "hash", "--cpu=86"}, 2,
       "hash: '--cpu=86' follows the mode word; global options stand before it: "
       "tarn-cuda [global options] hash [arguments]", false},
      {{"--cpu", "mine", hdr, "1", "abc"}, 0, "mine: secs 'abc' is not a number; using 0", false},
      {{"--cpu", "bench", "abc", "2"}, 0, "bench: secs 'abc' is not a number; using 0", false},
      {{"--cpu", "bench", "0", "-1"}, 0,
       "bench: per_thread '-1' is out of range (0 to 4294967295); using 4294967295", false},
      {{"--cpu", "bench", "0", "2", "2k"}, 0, "bench: tpb '2k' is not a whole number; using 2", false},
      {{"--cpu", "bench", "0", "2", "0", "9"}, 0, "bench: ngpu '9' is out of range (1 to 2); using 2",
       false},
      {{"--cpu", "pool", "http://x/", "P", "w", "abc"}, 1,
       "pool: submit_gap 'abc' is not a number; using 0", false},
      {{"--cpu=999", "nonsense"}, 0,
       "--cpu=999 is out of range (75 to 120); using compute capability 99.9", true},
      {{"--cpu", "--devices", "", "nonsense"}, 0,
       "--devices '' lists no device; using the mode's own GPU count", true},
      {{"--cpu", "--ca-file", "/nonexistent/ca.pem", "pool", "ws://127.0.0.1:1/", "P"}, 1,
       "pool: --ca-file /nonexistent/ca.pem: No such file or directory", false},
      {{"--cpu", "--ca-file", "/", "pool", "ws://127.0.0.1:1/", "P"}, 1,
       "pool: --ca-file /: not a regular file", false},
  };
  for (const Case& c : cases) {
    std::string cmd;
    for (const std::string& a : c.args) cmd += " '" + a + "'";
    SCOPED_TRACE(cmd);
    const RunResult r = tarn(c.args);
    EXPECT_EQ(r.status, c.status);
    std::smatch banner;
    ASSERT_TRUE(std::regex_search(r.err, banner, kBanner));
    EXPECT_EQ(banner.position(0), 0) << r.err;
    // The banner, then the line; the pool with a bad url adds its refusal after the warning.
    const std::string rest = r.err.substr(banner.length(0));
    EXPECT_EQ(rest.rfind(c.line + "\n", 0), 0u) << r.err;
    EXPECT_EQ(rest.find(c.line + "\n", 1), std::string::npos) << "said twice: " << r.err;
    if (c.usage) EXPECT_EQ(r.out, kUsage);
    if (c.status != 0) EXPECT_EQ(r.out, "");
  }

  // -h is --help, which lists every mode, every global option and the exit statuses.
  const RunResult help = tarn({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(tarn({"-h"}).out, help.out);
  for (const char* w : {"verify", "hash", "mine <hdr>", "bench [secs]", "pool <ws_url>",
                        "minesparsepath", "minev <hdr>", "mulbench", "version, --version, -V",
                        "--cpu[=CC]", "--devices", "--list-devices", "--ca-file", "--tls-no-verify",
                        "--job-timeout", "--api ADDR", "--api-token", "--temp-limit", "--help, -h",
                        "exit status:\n  0 ", "\n  1 ", "\n  2 "})
    EXPECT_NE(help.out.find(w), std::string::npos) << w;

  // verify and hash say what they wait for when standard input is a terminal, only then.
  for (const char* mode : {"verify", "hash"}) {
    const RunResult typed = testutil::run_on_terminal(kBin, {"--cpu", mode}, "\x04");
    EXPECT_EQ(typed.status, 0) << typed.err;
    EXPECT_NE(typed.err.find(std::string(mode) + ": reading lines '"), std::string::npos) << typed.err;
    EXPECT_NE(typed.err.find("from the terminal; end with Ctrl-D\n"), std::string::npos) << typed.err;
    EXPECT_TRUE(std::regex_match(tarn({"--cpu", mode}).err, kBanner));
  }
}

TEST(Cli, MissingWordsAndBadOptions) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--cpu", "mine"}, {"--cpu", "mine", rep("00", 32)}, {"--cpu", "minev", "x"},
           {"--cpu", "pool", "ws://127.0.0.1:1/"}}) {
    const RunResult r = tarn(args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_NE(r.err.find("usage: tarn-cuda " + args[1]), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  const RunResult bad = tarn({"--cpu=abc", "verify"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("--cpu=CC"), std::string::npos);
}

TEST(Cli, WithoutDeviceOrCpuOptionFailsCleanly) {
  const RunResult r = tarn({"verify"}, line_of(spec_vectors()[0]));
  if (r.status == 0) GTEST_SKIP() << "a CUDA device is present";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "") << "nothing computed without a device";
  EXPECT_NE(r.err.find("--cpu"), std::string::npos) << r.err;
#if defined(TARN_WITHOUT_CUDA)
  EXPECT_NE(r.err.find("not built into this sanitizer build, which runs the host emulation only"),
            std::string::npos)
      << r.err;
#else
  // With no driver installed at all, the line says so rather than "driver version is insufficient".
  void* driver = dlopen("libcuda.so.1", RTLD_LAZY);
  if (driver) {
    dlclose(driver);
  } else {
    EXPECT_NE(r.err.find("\nverify: no NVIDIA driver found \u2014 use --cpu to run on the host\n"),
              std::string::npos)
        << r.err;
  }
#endif
}

TEST(HashMode, ReproducesHashesInBothGenerations) {
  std::string input, want;
  for (const Vector& v : spec_vectors()) {
    input += line_of(v, false) + "\n";             // blank lines change nothing
    want += v.hash + "\n";
  }
  const Vector v = spec_vectors()[2];
  std::string upper = v.header;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  input += upper + " " + v.nonce + " extra words\n";  // third field ignored, upper case accepted
  want += v.hash + "\n";
  for (const char* cpu : {"--cpu", "--cpu=86"}) {
    const RunResult r = tarn({cpu, "hash"}, input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want);
  }
  const RunResult empty = tarn({"--cpu", "hash"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
}

TEST(HashMode, MalformedLinesAreRejectedByNumber) {
  const Vector v = spec_vectors()[0];
  const std::string input = v.header.substr(2) + " " + v.nonce + "\n" + line_of(v, false) +
                            v.header + " " + v.nonce.substr(0, 126) + "zz\n";
  const RunResult r = tarn({"--cpu", "hash"}, input);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, v.hash + "\n");
  EXPECT_NE(r.err.find("line 1 rejected: header"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line 3 rejected: nonce"), std::string::npos) << r.err;
}

TEST(VerifyMode, PassesTheKnownVectors) {
  std::string input;
  for (const Vector& v : spec_vectors()) input += line_of(v);
  input += spec_vectors()[0].header + " " + spec_vectors()[0].nonce + "\n";  // two fields: skipped
  input += "\n" + spec_vectors()[1].header + "\n";  // blank: nothing; one field: skipped
  const RunResult r = tarn({"--cpu", "verify"}, input);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "VERIFY: 3/3 passed (0 failed)\n");
  EXPECT_NE(r.err.find("VERIFY: 2 line(s) skipped (fewer than three fields)\n"), std::string::npos)
      << r.err;
  const RunResult bare = tarn({"--cpu"}, input);  // no mode word means verify
  EXPECT_EQ(bare.out, "VERIFY: 3/3 passed (0 failed)\n");
  const RunResult empty = tarn({"--cpu", "verify"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "VERIFY: 0/0 passed (0 failed)\n");
  EXPECT_EQ(empty.err.find("skipped"), std::string::npos) << empty.err;
}

TEST(VerifyMode, ReportsTheFirstThreeMismatches) {
  std::string input;
  const auto vs = spec_vectors();
  for (int i = 0; i < 10; ++i) {
    Vector v = vs[i % 3];
    if (i % 2 == 1) v.hash = "ABCDEF" + v.hash.substr(6);  // wrong, and typed in upper case
    input += line_of(v);
  }
  const RunResult r = tarn({"--cpu=86", "verify"}, input);
  EXPECT_EQ(r.status, 1);
  std::string want;
  for (int i : {1, 3, 5}) {
    const Vector& v = vs[i % 3];
    want += "MISMATCH #" + std::to_string(i + 1) + "\n  want ABCDEF" + v.hash.substr(6, 26) +
            "...\n  got  " + v.hash.substr(0, 32) + "...\n";
  }
  want += "VERIFY: 5/10 passed (5 failed)\n";
  EXPECT_EQ(r.out, want);
}

TEST(VerifyMode, MalformedLinesCannotPass) {
  const Vector v = spec_vectors()[1];
  const std::string input = line_of(v) + v.header + " " + v.nonce + " " + v.hash.substr(0, 100) + "\n";
  const RunResult r = tarn({"--cpu", "verify"}, input);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "VERIFY: 1/1 passed (0 failed)\nVERIFY: 1 malformed line(s) rejected\n");
  EXPECT_NE(r.err.find("line 2 rejected: expected hash is not 128 hexadecimal digits"),
            std::string::npos);
}

// The mode's wiring end to end: the solo geometry of the device, results on standard output.
// Its search itself is tested in process on small grids (mine_mode_test.cpp).
TEST(MineMode, DifficultyOneEndToEnd) {
  const std::string hdr = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
  const RunResult r = tarn({"--cpu", "mine", hdr, "1"});
  expect_valid_solution(r, hdr, 1);
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(^FOUND after \d+\.\d\ds, \d+ MH searched, low_idx=\d+\n)"))) << r.out;
}

TEST(MineMode, RefusesBadHeadersAndDifficulties) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--cpu", "mine", rep("00", 31), "1"},
           {"--cpu", "mine", rep("0g", 32), "1"},
           {"--cpu", "mine", rep("00", 32), "0"},
           {"--cpu", "mine", rep("00", 32), "abc"},
           {"--cpu", "mine", rep("00", 32), "18446744073709551616"}}) {
    const RunResult r = tarn(args);
    EXPECT_EQ(r.status, 1) << args[2] << " " << args[3];
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("mine: "), std::string::npos);
  }
}

TEST(BenchMode, LinesAndRefusals) {
  const std::regex line(R"(BENCH gpu(\d) \(host CPU emulation[^)]*\): \d+\.\d\d MH/s  \(\d+ nonces in \d+\.\d\ds, \d+ launches, blocks=\d+ tpb=(\d+) per_thread=(\d+)\)\n)");
  RunResult r = tarn({"--cpu", "bench", "0.5", "4"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;

  r = tarn({"--cpu", "bench", "10", "100"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "BENCH gpu0: NONCE_DIR_SPARSE requires per_thread%NPAR=0 and tpb*per_thread <= 32768 (got 512*100)\n");

  r = tarn({"--cpu", "bench", "1", "16", "1024"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(BENCH gpu0: launch failed \(blocks=\d+ tpb=1024 per_thread=16\): too many resources requested for launch\n)"))) << r.out;

  r = tarn({"--cpu=86", "bench", "1", "4", "512"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(BENCH gpu0: launch failed \(blocks=\d+ tpb=512 per_thread=4\): too many resources requested for launch\n)"))) << r.out;

  r = tarn({"--cpu", "bench", "0"});  // no timed launch: a rate of 0.00, not 0/0
  EXPECT_NE(r.out.find(": 0.00 MH/s  (0 nonces in 0.00s, 0 launches"), std::string::npos) << r.out;

  r = tarn({"--cpu=86", "bench", "0.2", "0"});  // not refused below 12.0: every launch is empty
  EXPECT_NE(r.out.find(": 0.00 MH/s"), std::string::npos) << r.out;
}

TEST(BenchMode, SeveralDevicesAndTheirTotal) {
  const RunResult r = tarn({"--cpu", "bench", "0.5", "2", "0", "8"});
  EXPECT_EQ(r.status, 0);
  std::istringstream lines(r.out);
  std::string l0, l1, total;
  std::getline(lines, l0);
  std::getline(lines, l1);
  std::getline(lines, total);
  EXPECT_EQ(l0.rfind("BENCH gpu0 (", 0), 0u);
  EXPECT_EQ(l1.rfind("BENCH gpu1 (", 0), 0u);
  EXPECT_TRUE(std::regex_match(total, std::regex(R"(BENCH TOTAL \(2 GPU\): \d+\.\d\d MH/s)"))) << total;
}

// With a GPU present the device's results must equal the host emulation's, byte for byte.
TEST(GpuMatchesHost, HashVerifyAndMine) {
  std::string input;
  for (const Vector& v : spec_vectors()) input += line_of(v);
  const RunResult probe = tarn({"verify"}, input);
  if (probe.status != 0 && probe.err.find("--cpu") != std::string::npos)
    GTEST_SKIP() << "no CUDA device";
  EXPECT_EQ(probe.status, 0) << probe.err;
  EXPECT_EQ(probe.out, "VERIFY: 3/3 passed (0 failed)\n");

  std::string lines;
  unsigned seed = 12345;
  auto digit = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return "0123456789abcdef"[seed >> 28];
  };
  for (int i = 0; i < 64; ++i) {
    std::string h, n;
    for (int k = 0; k < 64; ++k) h += digit();
    for (int k = 0; k < 128; ++k) n += digit();
    lines += h + " " + n + "\n";
  }
  const RunResult gpu = tarn({"hash"}, lines);
  const RunResult host = tarn({"--cpu", "hash"}, lines);
  EXPECT_EQ(gpu.status, 0);
  EXPECT_EQ(gpu.out, host.out);

  const std::string hdr = rep("3c", 32);
  for (const char* diff : {"1", "1000000"}) expect_valid_solution(tarn({"mine", hdr, diff}), hdr, std::stoull(diff));
}
