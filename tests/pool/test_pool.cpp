#include "test_pool.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace pooltest {

std::string missing_pool() {
  static const std::string why = [] {
    if (access(TARN_PYTHON3, X_OK) != 0) return std::string("python3 is not installed");
    Child probe;
    if (!probe.start({TARN_PYTHON3, "-c", "import websockets"}) || probe.stop(0, 30) != 0)
      return std::string("the python3 package websockets is missing (scripts/setup installs it)");
    return std::string();
  }();
  return why;
}

int start_pool(Child& pool, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TARN_PYTHON3, std::string(TARN_TOOLS_DIR) + "/testpool.py",
                                   "--difficulty", kPoolDifficulty};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!pool.start(argv)) return 0;
  const std::string line = pool.wait_for_line("LISTENING ", 20);
  return line.empty() ? 0 : std::atoi(line.c_str() + 10);
}

std::string field(const std::string& line, const std::string& key) {
  const std::string pattern = " " + key + "=";
  const size_t at = line.find(pattern);
  if (at == std::string::npos) return std::string();
  const size_t from = at + pattern.size();
  return line.substr(from, line.find(' ', from) - from);
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

int count_with(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const std::string& l : lines) n += l.find(part) != std::string::npos ? 1 : 0;
  return n;
}

int unused_loopback_port() {
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

std::string make_test_certs() {
  char tmpl[] = "/tmp/tarn-e2e-tls-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) return std::string();
  Child certs;
  if (!certs.start({"sh", std::string(TARN_TESTS_DIR) + "/ws/make_test_certs.sh", dir}) ||
      certs.stop(0, 30) != 0)
    return std::string();
  return std::string(dir) + "/";
}

}  // namespace pooltest
