// The read-only HTTP API (/summary, /metrics) on its own thread, bound only where asked.
#pragma once

#include <memory>
#include <string>

#include "monitor/api_view.h"

namespace tarn {

struct ApiListen {
  std::string host;  // as given, brackets of an IPv6 address removed
  int port = 0;      // 0: any free port (tests)
};

// Reads "ADDR:PORT" ("127.0.0.1:4068", "[::1]:4068"). False with the reason in *why.
bool parse_api_listen(const std::string& text, ApiListen* out, std::string* why);

class ApiServer {
 public:
  ApiServer();
  ~ApiServer();  // stops serving
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Binds and starts serving ctx (kept alive by the caller until stop). An address off loopback
  // is refused without a token. False with one line's reason in *why.
  bool start(const std::string& listen, const ApiContext& ctx, std::string* why);
  // The port it listens on (the one chosen when 0 was asked).
  int port() const { return port_; }
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace tarn
