#include "pool/connection_loop.h"

#include <algorithm>

#include "pool/format_line.h"
#include "pool/messages.h"
#include "util/clock.h"
#include "util/printable.h"

namespace tarn {
namespace {

// A connection that lived this long (or delivered a job) was useful: the back-off starts over.
constexpr double kHealthyConnectionSeconds = 30.0;

double backoff_delay(const WorkerEnv& env, int attempt) {
  return backoff_seconds(attempt) * (env.jitter ? env.jitter() : 1.0);
}

std::string lifetime(const ShareCounters& c) {
  return format_line("submitted=%d accepted=%d rejected=%d staleskip=%d throttled=%d", c.submitted,
                     c.accepted, c.rejected, c.staleskip, c.throttled);
}

// The retry line after a failed connect, with the reason when one is known, and the failover
// line when this failure moves the worker on. Returns the delay before the next connect: none
// when it moves on, since the next URL has not failed yet.
double connect_failed(PoolConnection* c, const std::string& tag, const WorkerEnv& env,
                      const std::string& reason) {
  const std::string& url = c->urls.url(c->url_index);
  const std::string line = c->urls.failed(c->url_index, env.now_ns());
  const double delay = line.empty() ? backoff_delay(env, c->attempt) : 0.0;
  const int shown = static_cast<int>(delay + 0.5);
  if (reason.empty()) {
    env.print(format_line("%s connect failed: %s — retrying in %ds\n", tag.c_str(), url.c_str(),
                          shown));
  } else {
    env.print(format_line("%s connect failed: %s (%s) — retrying in %ds\n", tag.c_str(),
                          url.c_str(), printable(reason).c_str(), shown));
  }
  if (!line.empty()) env.print(tag + " " + line + "\n");
  return delay;
}

// While on a backup, a connect to the primary when it is due; the new connection or null.
wsclient::WebSocket* try_primary(PoolConnection* c, const std::string& tag, const WorkerEnv& env) {
  if (!c->urls.primary_due(env.now_ns())) return nullptr;
  std::string reason;
  wsclient::WebSocket* ws = env.connect(c->urls.url(0), &reason);
  if (!ws) {
    c->urls.failed(0, env.now_ns());  // stay on the backup; the next try in five minutes
    return nullptr;
  }
  env.print(tag + " " + c->urls.connected(0, env.now_ns()) + "\n");
  return ws;
}

struct Served {
  bool got_job = false;
  bool timed_out = false;  // closed by the job timeout
};

// Mines on one connection until it closes or a stop. A primary that came back while on a backup
// is left in *moved_to.
Served serve(PoolConnection* c, wsclient::WebSocket* ws, wsclient::WebSocket** moved_to,
           const WorkerSettings& settings, const std::string& tag, const WorkerEnv& env,
           const ConnectionMiner& miner) {
  env.print(format_line("%s connected to %s\n", tag.c_str(), c->urls.url(c->url_index).c_str()));
  ws->send(hello_message(settings.payout, settings.worker));
  ws->poll(0);
  // Whatever is already complete at this point is dropped, a NewJob included.
  ws->dispatch([](const std::string&) {});
  miner.fresh_job();
  c->state = "connected";
  Served served;
  c->last_message_ns = env.now_ns();
  while (ws->getReadyState() != wsclient::WebSocket::CLOSED && !env.stop_requested()) {
    const bool open = ws->getReadyState() == wsclient::WebSocket::OPEN;
    // The protocol has no heartbeat, so silence is only a failure when the user says so.
    if (open && settings.job_timeout > 0 &&
        seconds_between(c->last_message_ns, env.now_ns()) >= settings.job_timeout) {
      env.print(format_line("%s no message from the pool for %.0fs — reconnecting\n", tag.c_str(),
                            settings.job_timeout));
      ws->close();
      served.timed_out = true;
    }
    if (ws->getReadyState() == wsclient::WebSocket::OPEN &&
        (*moved_to = try_primary(c, tag, env))) {
      break;
    }
    miner.step(ws);
    miner.publish();
    served.got_job = served.got_job || miner.have_job();
  }
  return served;
}

// Leaving for good or for the primary: a close frame rather than a dropped socket.
void say_goodbye(wsclient::WebSocket* ws, const WorkerEnv& env) {
  ws->close();
  ws->poll(0);
  env.discard(ws);
}

}  // namespace

int backoff_seconds(int attempt) { return attempt <= 4 ? 1 << std::max(attempt, 0) : 32; }

void run_connections(PoolConnection* c, const WorkerSettings& settings, const std::string& tag,
                     const WorkerEnv& env, const ConnectionMiner& miner) {
  wsclient::WebSocket* moved_to = nullptr;  // a connection already open for the next round
  while (!env.stop_requested()) {
    c->state = "connecting";
    miner.publish();
    wsclient::WebSocket* ws = moved_to;
    moved_to = nullptr;
    if (!ws) {
      c->url_index = c->urls.next(env.now_ns());
      std::string reason;
      ws = env.connect(c->urls.url(c->url_index), &reason);
      if (!ws && env.stop_requested()) break;  // the attempt ended because of the stop
      if (!ws) {
        const double delay = connect_failed(c, tag, env, reason);
        if (delay > 0) {
          env.sleep(delay);
          ++c->attempt;
        } else {
          c->attempt = 0;
        }
        continue;
      }
      const std::string line = c->urls.connected(c->url_index, env.now_ns());
      if (!line.empty()) env.print(tag + " " + line + "\n");
    }
    const std::int64_t connected_ns = env.now_ns();
    const Served served = serve(c, ws, &moved_to, settings, tag, env, miner);
    c->state = "disconnected";
    miner.publish();
    if (env.stop_requested() || moved_to) {
      say_goodbye(ws, env);
      if (!moved_to) break;
      c->url_index = 0;
      c->attempt = 0;
      continue;
    }
    env.print(format_line("%s disconnected (lifetime: %s) — reconnecting...\n", tag.c_str(),
                          lifetime(miner.counters()).c_str()));
    env.discard(ws);
    const bool lived = seconds_between(connected_ns, env.now_ns()) >= kHealthyConnectionSeconds;
    // For failover a pool must both deliver work and keep the connection; one that answers and
    // drops, or never sends a job, or goes silent, is as sick as one that refuses.
    const bool good = served.got_job && lived && !served.timed_out;
    if (good) c->urls.proved(c->url_index);
    const std::string line = good ? std::string() : c->urls.failed(c->url_index, env.now_ns());
    if (!line.empty()) {
      env.print(tag + " " + line + "\n");
      c->attempt = 0;  // the next URL is tried at once
      continue;
    }
    // Only a connection that proved useful resets the back-off: a pool that accepts and drops
    // at once is not hammered once a second.
    if (served.got_job || lived) {
      env.sleep(1.0);
      c->attempt = 0;
    } else {
      env.sleep(backoff_delay(env, c->attempt));
      ++c->attempt;
    }
  }
  if (moved_to) say_goodbye(moved_to, env);
  c->state = "stopped";
  miner.publish();
  env.print(format_line("%s stopped (lifetime: %s)\n", tag.c_str(),
                        lifetime(miner.counters()).c_str()));
}

}  // namespace tarn
