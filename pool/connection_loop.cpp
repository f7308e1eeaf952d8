#include "pool/connection_loop.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

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
// when it moves on, since the next URL has not failed yet. When this failure makes the pools'
// failure permanent, the line promises no retry and *permanent holds the reason to give up.
double connect_failed(PoolConnection* c, const std::string& tag, const WorkerEnv& env,
                      const std::string& reason, const PermanentLimits& limits,
                      std::string* permanent) {
  const std::string& url = c->urls.url(c->url_index);
  c->streaks.failed(c->url_index, connect_failure_kind(reason), reason, env.now_ns());
  *permanent = c->streaks.permanent(limits);
  if (!permanent->empty()) {
    env.print(format_line("%s connect failed: %s (%s)\n", tag.c_str(), url.c_str(),
                          printable(reason).c_str()));
    return 0.0;
  }
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

// The primary, tried again while a backup is mined: connected beside the mining loop, greeted,
// then read until it sends a job. Only then does the worker move to it, so the backup keeps
// mining through a slow resolver, a stalled handshake or a primary that has no work to give.
class PrimaryProbe {
 public:
  // One pass on the backup. The primary's connection once it has delivered a job, with its
  // messages so far in *messages; else null.
  wsclient::WebSocket* step(PoolConnection* c, const WorkerSettings& settings, const WorkerEnv& env,
                            std::vector<std::string>* messages) {
    if (!attempt_ && !ws_) {
      if (!c->urls.primary_due(env.now_ns())) return nullptr;
      start(c->urls.url(0), env);
    }
    if (attempt_) {
      if (!attempt_->done) return nullptr;
      if (join_) join_();
      join_ = nullptr;
      ws_ = attempt_->ws;
      attempt_.reset();
      if (!ws_) {
        c->urls.failed(0, env.now_ns());  // stay on the backup; the next try in five minutes
        return nullptr;
      }
      ws_->send(hello_message(settings.payout, settings.worker));
      ws_->poll(0);
      ws_->dispatch([](const std::string&) {});  // as on any new connection: before the Hello
      opened_ns_ = env.now_ns();
      messages_.clear();
    }
    ws_->poll(0);
    bool job = false;
    ws_->dispatch([&](const std::string& m) {
      if (messages_.size() == kKeptMessages) messages_.erase(messages_.begin());
      messages_.push_back(m);
      job = job || classify_message(m) == MessageKind::NewJob;
    });
    if (job && ws_->getReadyState() == wsclient::WebSocket::OPEN) {
      wsclient::WebSocket* ws = ws_;
      ws_ = nullptr;
      messages->swap(messages_);
      return ws;
    }
    // A primary that drops, or has no job for as long as a connection needs to prove itself,
    // failed this try.
    if (ws_->getReadyState() != wsclient::WebSocket::OPEN ||
        seconds_between(opened_ns_, env.now_ns()) >= kHealthyConnectionSeconds) {
      close(env);
      c->urls.failed(0, env.now_ns());
    }
    return nullptr;
  }

  // The backup is left or the worker stops: a connect under way is waited for (it ends soon
  // after a stop), a greeted primary is closed.
  void end(const WorkerEnv& env) {
    if (attempt_) {
      if (join_) join_();
      join_ = nullptr;
      if (attempt_->ws) env.discard(attempt_->ws);
      attempt_.reset();
    }
    if (ws_) close(env);
  }

 private:
  static constexpr size_t kKeptMessages = 64;  // a primary that floods before its job costs no more
  struct Attempt {
    std::atomic<bool> done{false};
    wsclient::WebSocket* ws = nullptr;
    std::string reason;
  };

  void start(const std::string& url, const WorkerEnv& env) {
    auto attempt = std::make_shared<Attempt>();
    attempt_ = attempt;
    std::function<void()> work = [attempt, url, connect = env.connect] {
      attempt->ws = connect(url, &attempt->reason);
      attempt->done = true;
    };
    if (env.background) {
      join_ = env.background(std::move(work));
    } else {
      work();
    }
  }
  void close(const WorkerEnv& env) {
    ws_->close();
    ws_->poll(0);
    env.discard(ws_);
    ws_ = nullptr;
  }

  std::shared_ptr<Attempt> attempt_;
  std::function<void()> join_;
  wsclient::WebSocket* ws_ = nullptr;
  std::vector<std::string> messages_;
  std::int64_t opened_ns_ = 0;
};

struct Served {
  bool got_job = false;
  bool timed_out = false;  // closed by the job timeout
};

// Mines on one connection until it closes or a stop. A primary that came back while on a backup
// is left in *moved_to, with its messages so far in *moved_messages. greeted: ws is such a
// primary, its Hello sent and these messages read.
Served serve(PoolConnection* c, wsclient::WebSocket* ws, const std::vector<std::string>* greeted,
             wsclient::WebSocket** moved_to, std::vector<std::string>* moved_messages,
             PrimaryProbe* probe, const WorkerSettings& settings, const std::string& tag,
             const WorkerEnv& env, const ConnectionMiner& miner) {
  env.print(format_line("%s connected to %s\n", tag.c_str(), c->urls.url(c->url_index).c_str()));
  if (!greeted) {
    ws->send(hello_message(settings.payout, settings.worker));
    ws->poll(0);
    // Whatever is already complete at this point is dropped, a NewJob included.
    ws->dispatch([](const std::string&) {});
  }
  miner.fresh_job();
  if (greeted && miner.message)
    for (const std::string& m : *greeted) miner.message(m);
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
    if (ws->getReadyState() == wsclient::WebSocket::OPEN && c->url_index != 0 &&
        (*moved_to = probe->step(c, settings, env, moved_messages))) {
      env.print(tag + " " + c->urls.connected(0, env.now_ns()) + "\n");
      break;
    }
    miner.step(ws);
    // A connection that is closing carries no shares any more: the monitor must not count it.
    if (ws->getReadyState() != wsclient::WebSocket::OPEN) c->state = "disconnected";
    miner.publish();
    served.got_job = served.got_job || miner.have_job();
  }
  probe->end(env);
  return served;
}

int answers(const ShareCounters& c) { return c.accepted + c.rejected; }

// At a stop, the shares sent on this connection that the pool has not answered yet are read for
// a moment before the close, or the lifetime counts fall short of the pool's by the last acks.
// A connection that drops ends the wait at once; so does the last answer.
void await_answers(wsclient::WebSocket* ws, const ShareCounters& at_connect, const WorkerEnv& env,
                   const ConnectionMiner& miner) {
  if (!miner.listen) return;
  const std::int64_t deadline =
      env.now_ns() + static_cast<std::int64_t>(kStopAnswerWaitSeconds * 1e9);
  for (;;) {
    const ShareCounters now = miner.counters();
    const int owed = (now.submitted - at_connect.submitted) - (answers(now) - answers(at_connect));
    if (owed <= 0 || ws->getReadyState() != wsclient::WebSocket::OPEN) return;
    const std::int64_t left_ns = deadline - env.now_ns();
    if (left_ns <= 0) return;
    // Short slices, so the deadline holds even where a poll returns early and often.
    miner.listen(ws, static_cast<int>(std::min<std::int64_t>(left_ns / 1000000 + 1, 100)));
  }
}

// Leaving for good or for the primary: a close frame rather than a dropped socket.
void say_goodbye(wsclient::WebSocket* ws, const WorkerEnv& env) {
  ws->close();
  ws->poll(0);
  env.discard(ws);
}

}  // namespace

int backoff_seconds(int attempt) { return attempt <= 4 ? 1 << std::max(attempt, 0) : 32; }

std::string run_connections(PoolConnection* c, const WorkerSettings& settings,
                            const std::string& tag, const WorkerEnv& env,
                            const ConnectionMiner& miner) {
  std::string permanent;
  wsclient::WebSocket* moved_to = nullptr;  // a connection already open for the next round
  std::vector<std::string> moved_messages;  // and what it has sent so far
  PrimaryProbe probe;
  while (!env.stop_requested()) {
    c->state = "connecting";
    miner.publish();
    wsclient::WebSocket* ws = moved_to;
    const bool from_probe = ws != nullptr;
    moved_to = nullptr;
    const std::vector<std::string> greeted = std::move(moved_messages);
    moved_messages.clear();
    if (!ws) {
      c->url_index = c->urls.next(env.now_ns());
      std::string reason;
      ws = env.connect(c->urls.url(c->url_index), &reason);
      if (!ws && env.stop_requested()) break;  // the attempt ended because of the stop
      if (!ws) {
        const double delay = connect_failed(c, tag, env, reason, settings.permanent, &permanent);
        if (!permanent.empty()) break;
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
    ++c->opened;
    const std::int64_t connected_ns = env.now_ns();
    const ShareCounters at_connect = miner.counters();
    const Served served = serve(c, ws, from_probe ? &greeted : nullptr, &moved_to,
                                &moved_messages, &probe, settings, tag, env, miner);
    if (env.stop_requested() && !moved_to) await_answers(ws, at_connect, env, miner);
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
    // A pool that hangs up before any job refuses as surely as one that refuses the connect;
    // a job, or our own time-out, ends the run.
    if (served.got_job || served.timed_out) {
      c->streaks.cleared(c->url_index);
    } else {
      c->streaks.failed(c->url_index, FailureKind::refused, "closed before sending a job",
                        env.now_ns());
      permanent = c->streaks.permanent(settings.permanent);
      if (!permanent.empty()) break;
    }
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
  return permanent;
}

}  // namespace tarn
