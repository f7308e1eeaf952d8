// The worker's real surroundings.
#include "pool/worker_env.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

#include "pool/stop_signal.h"
#include "util/clock.h"

namespace tarn {
namespace {

// Sleeps in slices of at most 100 ms so a stop request is seen soon; every slice that a signal
// cuts short is resumed for the time it has left.
void sleep_unless_stopped(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
  while (!pool_stop_requested()) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    const auto slice = std::min<std::chrono::nanoseconds>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(left), std::chrono::milliseconds(100));
    timespec ts{static_cast<time_t>(slice.count() / 1000000000),
                static_cast<long>(slice.count() % 1000000000)};
    while (nanosleep(&ts, &ts) != 0 && !pool_stop_requested()) {
    }
  }
}

}  // namespace

WorkerEnv real_worker_env(const wsclient::TlsOptions& tls) {
  WorkerEnv env;
  env.now_ns = system_now_ns;
  env.sleep = sleep_unless_stopped;
  env.connect = [tls](const std::string& url, std::string* reason) {
    // A stop ends a connect or handshake that is under way instead of waiting out its limit.
    wsclient::ConnectOptions options;
    options.stop = pool_stop_requested;
    options.failure = reason;
    if (url.compare(0, 6, "wss://") == 0)
      return wsclient::WebSocket::from_url_tls(url, std::string(), options, tls);
    return wsclient::WebSocket::from_url(url, std::string(), options);
  };
  env.jitter = [] {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.8, 1.2)(rng);
  };
  env.background = [](std::function<void()> work) {
    auto thread = std::make_shared<std::thread>(std::move(work));
    return std::function<void()>([thread] { thread->join(); });
  };
  env.discard = [](wsclient::WebSocket* ws) { delete ws; };
  env.open_device = [](int gpu, Status* why) { return backend().open(gpu, why); };
  env.print = [](const std::string& line) { std::fputs(line.c_str(), stdout); };
  env.stop_requested = pool_stop_requested;
  return env;
}

}  // namespace tarn
