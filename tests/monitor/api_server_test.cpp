// The API server in process against clients that trickle their headers: they are cut at the
// header deadline, and while they fill every slot an honest request is still answered.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "monitor/api_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// A connection to port from 127.0.0.host; -1 on failure.
int connect_from(int host, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7f000000u | static_cast<unsigned>(host));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True once the server has closed fd (end of stream or a reset).
bool closed_by_server(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// A whole request from 127.0.0.host; the status line's code, or 0 without an answer in 3 s.
int honest_request(int host, int port) {
  const int fd = connect_from(host, port);
  if (fd < 0) return 0;
  const std::string req = "GET /summary HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string got;
  pollfd p{fd, POLLIN, 0};
  char buf[4096];
  while (got.find("\r\n") == std::string::npos && poll(&p, 1, 3000) > 0) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return got.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(got.c_str() + 9) : 0;
}

// The pool-mode API on a free loopback port.
void serve_on_loopback(tarn::ApiServer* server, tarn::StatsBoard* board) {
  tarn::ApiContext ctx;
  ctx.board = board;
  ctx.mode = "pool";
  ctx.started = Clock::now();
  std::string why;
  ASSERT_TRUE(server->start("127.0.0.1:0", ctx, &why)) << why;
}

// One address holding idle connections keeps only 8 of them, so it cannot take every slot
// and a request from another address is still answered.
TEST(ApiServer, OneAddressHoldsAtMostEightConnections) {
  tarn::StatsBoard board({0});
  tarn::ApiServer server;
  ASSERT_NO_FATAL_FAILURE(serve_on_loopback(&server, &board));

  std::vector<int> idle;
  for (int i = 0; i < 32; ++i) idle.push_back(connect_from(1, server.port()));
  // Each one over the cap is let in and the oldest makes room: give the server a moment.
  int open = 0;
  for (int wait = 0; wait < 40 && (wait == 0 || open != 8); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    open = 0;
    for (const int fd : idle) open += fd >= 0 && !closed_by_server(fd);
  }
  EXPECT_EQ(open, 8);
  EXPECT_EQ(honest_request(2, server.port()), 200);
  for (const int fd : idle)
    if (fd >= 0) close(fd);
}

TEST(ApiServer, SlowHeadersAreCutAndNeverLockHonestClientsOut) {
  tarn::StatsBoard board({0});
  tarn::ApiServer server;
  ASSERT_NO_FATAL_FAILURE(serve_on_loopback(&server, &board));

  // 8 from each of 4 addresses: every slot, each sending one header byte every 200 ms.
  std::vector<int> slow;
  for (int host = 1; host <= 4; ++host)
    for (int i = 0; i < 8; ++i) slow.push_back(connect_from(host, server.port()));
  const Clock::time_point opened = Clock::now();
  const std::string trickle = "GET /summary HTTP/1.1\r\nX-Slow: " + std::string(200, 'a');
  size_t sent = 0;
  auto drip = [&] {
    for (const int fd : slow) send(fd, &trickle[sent % trickle.size()], 1, MSG_NOSIGNAL);
    ++sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  for (int i = 0; i < 5; ++i) drip();

  // Within the deadline, honest requests from a fifth address and from a full one are answered.
  EXPECT_EQ(honest_request(5, server.port()), 200);
  EXPECT_EQ(honest_request(1, server.port()), 200);
  EXPECT_LT(Clock::now() - opened, std::chrono::seconds(4));

  // Past the deadline every trickling connection has been closed, however steady its bytes.
  while (Clock::now() - opened < std::chrono::milliseconds(6500)) drip();
  int open = 0;
  for (const int fd : slow) {
    open += fd >= 0 && !closed_by_server(fd);
    if (fd >= 0) close(fd);
  }
  EXPECT_EQ(open, 0);
  EXPECT_EQ(honest_request(5, server.port()), 200);
}

}  // namespace
