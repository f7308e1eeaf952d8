// --log-file and --timestamps on the real binary. The hash mode prints one line for each line it
// reads, so the test decides when every line is printed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"

using pooltest::Child;

namespace {

const std::string kBinary = TARN_BINARY;
const std::regex kStamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z .*");

// A zero header and a nonce ending in digit i.
std::string hash_input(int i) {
  return std::string(64, '0') + " " + std::string(127, '0') + std::to_string(i) + "\n";
}

int hashes(const std::vector<std::string>& lines) {
  static const std::regex hash("^(\\S+ )?[0-9a-f]{128}$");
  int n = 0;
  for (const std::string& l : lines) n += std::regex_match(l, hash) ? 1 : 0;
  return n;
}

// Sends input i and waits for its hash line.
bool hash_once(Child& c, int i) {
  return c.send(hash_input(i)) &&
         c.wait_for([i](const std::vector<std::string>& l) { return hashes(l) == i; }, 60);
}

std::vector<std::string> file_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/tarn-log-e2e-XXXXXX";
    if (mkdtemp(tmpl)) path = tmpl;
  }
  ~TempDir() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
  std::string path;
};

}  // namespace

// Moved away, then a hang-up: the lines before stay in the moved file, the lines after go to a
// new one, mode 0640. A path that cannot be opened at the hang-up keeps the moved file in use.
TEST(LogEndToEnd, TheLogIsReopenedAtAHangUpAndEveryLineIsStamped) {
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string log = dir.path + "/tarn.log", moved = log + ".1";
  Child c;
  const mode_t umask_before = umask(077);
  const bool started = c.start({kBinary, "--timestamps", "--log-file", log, "--cpu", "hash"}, true);
  umask(umask_before);
  ASSERT_TRUE(started);
  ASSERT_TRUE(hash_once(c, 1)) << c.output();

  ASSERT_EQ(std::rename(log.c_str(), moved.c_str()), 0);
  ASSERT_EQ(mkdir(log.c_str(), 0700), 0);  // in the way of the reopen, for root too
  c.signal(SIGHUP);
  ASSERT_FALSE(c.wait_for_line("cannot reopen", 30).empty()) << c.output();
  ASSERT_TRUE(hash_once(c, 2)) << c.output();

  ASSERT_EQ(rmdir(log.c_str()), 0);
  c.signal(SIGHUP);
  struct stat st {};
  for (int i = 0; i < 300 && stat(log.c_str(), &st) != 0; ++i) usleep(100000);
  ASSERT_TRUE(S_ISREG(st.st_mode)) << c.output();
  ASSERT_TRUE(hash_once(c, 3)) << c.output();
  c.close_input();
  EXPECT_EQ(c.stop(0, 30), 0) << c.output();

  // Banner, hash 1, the failed reopen, hash 2 | hash 3: the files hold what the terminal showed.
  const std::vector<std::string>& shown = c.lines();
  ASSERT_EQ(shown.size(), 5u) << c.output();
  for (const std::string& l : shown) EXPECT_TRUE(std::regex_match(l, kStamp)) << l;
  EXPECT_NE(shown[2].find("cannot reopen " + log + " after SIGHUP: Is a directory"),
            std::string::npos)
      << shown[2];
  EXPECT_EQ(file_lines(moved), std::vector<std::string>(shown.begin(), shown.begin() + 4));
  EXPECT_EQ(file_lines(log), std::vector<std::string>{shown[4]});
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Without a log file a hang-up (a closed terminal, a stray HUP) no longer ends the program, and
// nothing stands between it and its output: into a pipe, the hashes come at the end as always.
TEST(LogEndToEnd, AHangUpWithoutALogFileChangesNothing) {
  Child c;
  ASSERT_TRUE(c.start({kBinary, "--cpu", "hash"}, true));
  ASSERT_FALSE(c.wait_for_line("tarn-cuda ", 60).empty()) << c.output();  // the banner
  ASSERT_TRUE(c.send(hash_input(1)));
  c.signal(SIGHUP);
  ASSERT_TRUE(c.send(hash_input(2)));
  c.close_input();
  EXPECT_EQ(c.stop(0, 60), 0) << c.output();
  EXPECT_EQ(hashes(c.lines()), 2) << c.output();
  for (const std::string& l : c.lines()) EXPECT_FALSE(std::regex_match(l, kStamp)) << l;
}

TEST(LogEndToEnd, ALogFileThatCannotBeOpenedStopsTheStartWithStatus1) {
  TempDir dir;
  const std::string log = dir.path + "/missing/tarn.log";
  Child c;
  ASSERT_TRUE(c.start({kBinary, "--log-file", log, "--cpu", "hash"}));
  EXPECT_EQ(c.stop(0, 30), 1);
  EXPECT_EQ(c.output(), "--log-file " + log + ": No such file or directory\n");
}
