// The log copy of standard output and error, run in a child process of the test so that its own
// fds 1 and 2 are left alone.
#include "util/log_output.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(LogOutput, TimestampPrefixIsIsoUtcWithMilliseconds) {
  struct Case {
    std::int64_t ns;
    const char* want;
  };
  const Case cases[] = {
      {1796761865123456789LL, "2026-12-08T20:31:05.123Z "},
      {951782400007999999LL, "2000-02-29T00:00:00.007Z "},  // leap day, a millisecond padded
      {946684799999999999LL, "1999-12-31T23:59:59.999Z "},  // truncated, never rounded up
  };
  for (const Case& c : cases) EXPECT_EQ(tarn::timestamp_prefix(c.ns), c.want) << c.ns;
}

// Output and error to two files, as a service manager may give them; the log gets every line,
// a last line without newline included, however the program ends.
TEST(LogOutput, EveryLineReachesBothPlacesByEachWayOut) {
  struct Case {
    const char* what;
    bool flush_then_underscore_exit;
    bool file_existed;  // with a line and mode 0600
  };
  const Case cases[] = {
      {"exit(), a new file", false, false},
      {"flush_logs() then _exit(), an existing file", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char tmpl[] = "/tmp/tarn-log-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, log = dir + "/tarn.log";
    if (c.file_existed) {
      std::ofstream(log) << "before\n";
      chmod(log.c_str(), 0600);
    }
    std::fflush(nullptr);  // nothing of the test's own buffers is written twice
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      umask(077);  // a new log is 0640 all the same
      dup2(open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      dup2(open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      tarn::LogOptions options;
      options.file = log;
      std::string why;
      if (!tarn::start_logs(options, &why)) _exit(3);
      std::printf("one\n");
      const ssize_t n = write(2, "two\n", 4);
      std::fputs("partial", stdout);  // still in stdio's buffer at the end
      if (c.flush_then_underscore_exit) {
        tarn::flush_logs();
        _exit(n == 4 ? 0 : 4);
      }
      std::exit(n == 4 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(read_file(dir + "/out"), "one\npartial");  // as printed, the last line too
    EXPECT_EQ(read_file(dir + "/err"), "two\n");
    std::string logged = read_file(log);
    if (c.file_existed) {
      EXPECT_EQ(logged.substr(0, 7), "before\n");
      logged.erase(0, 7);
    }
    EXPECT_EQ(sorted_lines(logged), (std::vector<std::string>{"one", "partial", "two"}));
    EXPECT_EQ(logged.back(), '\n');
    struct stat st {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.file_existed ? 0600u : 0640u);
    std::filesystem::remove_all(dir);
  }
}

}  // namespace
