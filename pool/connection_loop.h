// The connect loop of a pool worker: back-off with jitter, failover to the backups and back to
// the primary, the job timeout, the lifetime line at every lost connection and, at a stop, a
// short wait for the answers still owed, then a close frame. What happens on an open connection is up to the miner behind it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "monitor/stats_board.h"
#include "pool/failover.h"
#include "pool/permanent_failure.h"
#include "pool/worker_env.h"
#include "ws/websocket.h"

namespace tarn {

// The connection side of a worker, kept across connections.
struct PoolConnection {
  explicit PoolConnection(const std::string& url_list)
      : urls(url_list), streaks(split_url_list(url_list)) {}
  PoolUrls urls;
  FailureStreaks streaks;            // how each URL has been failing, for the permanent failures
  int url_index = 0;                 // of the connection being served
  int attempt = 0;                   // failed connects in a row
  std::int64_t last_message_ns = 0;  // the job timeout counts from here; the miner moves it
  std::string state = "starting";    // starting, connecting, connected, disconnected, stopped
  std::int64_t opened = 0;           // connections opened; all after the first are reconnects
};

// What the loop asks of the miner.
struct ConnectionMiner {
  // A connection opened and the Hello went out: it starts with no job.
  std::function<void()> fresh_job;
  // One round of the mining loop: messages, then a launch when there is a job to mine.
  std::function<void(wsclient::WebSocket* ws)> step;
  // A message read before the connection was handed over (a primary's, while on a backup).
  std::function<void(const std::string& text)> message;
  std::function<bool()> have_job;
  // Hands the worker's figures to the monitor, the connection's state among them.
  std::function<void()> publish;
  // For the lifetime lines, and for the answers still owed at a stop.
  std::function<ShareCounters()> counters;
  // At a stop: reads the connection for up to timeout_ms and counts the pool's answers to shares
  // already sent, launching nothing and taking no new work. Unset: a stop closes at once.
  std::function<void(wsclient::WebSocket* ws, int timeout_ms)> listen;
};

// How long a stop waits for the answers to shares already sent, so the lifetime counts agree
// with the pool's; a pool slower than this is not worth holding the user's Ctrl-C for.
constexpr double kStopAnswerWaitSeconds = 1.0;

// Back-off after the attempt-th failure in a row (from 0): 1, 2, 4, 8, 16, then 32 seconds.
int backoff_seconds(int attempt);

// Connects, serves and reconnects until a stop is requested or every URL has failed for good
// (settings.permanent); ends with the lifetime line. The permanent failure's line, or empty.
std::string run_connections(PoolConnection* c, const WorkerSettings& settings, const std::string& tag,
                     const WorkerEnv& env, const ConnectionMiner& miner);

}  // namespace tarn
