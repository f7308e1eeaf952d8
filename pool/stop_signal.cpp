// SIGINT/SIGTERM as a stop flag for the pool workers.
#include "pool/stop_signal.h"

#include <signal.h>

#include <atomic>

namespace tarn {
namespace {

// Lock-free, so reading and writing it from a signal handler is safe.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

struct sigaction g_old_int;
struct sigaction g_old_term;

void on_stop_signal(int sig) {
  if (g_stop.exchange(true)) {
    // Asked twice: the user does not want to wait for the launches in flight.
    signal(sig, SIG_DFL);
    raise(sig);
  }
}

}  // namespace

void install_pool_stop_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, &g_old_int);
  sigaction(SIGTERM, &sa, &g_old_term);
}

void restore_pool_stop_handlers() {
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
}

void request_pool_stop() { g_stop.store(true); }
bool pool_stop_requested() { return g_stop.load(); }

}  // namespace tarn
