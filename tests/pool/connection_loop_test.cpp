// The connection loop on its own, in front of a miner that only reads messages: back-off,
// failover and the primary retry, the job timeout and the ways out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "pool/connection_loop.h"
#include "pool/messages.h"
#include "worker_harness.h"

namespace {

using pooltest::Harness;
using pooltest::ScriptedSocket;

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kMs = 1000000;
const std::string kDash = "\xE2\x80\x94";

// Reads the connection at every step; a NewJob gives it a job until the next connection.
struct FakeMiner {
  FakeMiner(Harness* h_, tarn::PoolConnection* c_) : h(h_), c(c_) {}
  Harness* h;
  tarn::PoolConnection* c;
  bool have_job = false;
  int steps = 0;
  tarn::ShareCounters counters;
  std::function<void()> on_step;  // runs after each step

  tarn::ConnectionMiner hooks() {
    tarn::ConnectionMiner m;
    m.fresh_job = [this] { have_job = false; };
    m.step = [this](wsclient::WebSocket* ws) {
      ++steps;
      ws->poll(0);
      ws->dispatch([this](const std::string& text) {
        c->last_message_ns = h->now_ns;
        have_job = have_job || classify_message(text) == MessageKind::NewJob;
      });
      if (on_step) on_step();
    };
    m.message = [this](const std::string& text) {
      have_job = have_job || classify_message(text) == MessageKind::NewJob;
    };
    m.have_job = [this] { return have_job; };
    m.publish = [] {};
    m.counters = [this] { return counters; };
    // Each read at a stop waits 100 ms of the fake clock.
    m.listen = [this](wsclient::WebSocket* ws, int) {
      h->now_ns += 100 * 1000000;
      ws->poll(0);
      ws->dispatch([this](const std::string& text) {
        if (classify_message(text) == MessageKind::ShareAccepted) ++counters.accepted;
      });
    };
    return m;
  }
};

void run(tarn::PoolConnection& c, FakeMiner& miner, const tarn::WorkerSettings& settings,
         const tarn::WorkerEnv& env) {
  tarn::run_connections(&c, settings, "[gpu0]", env, miner.hooks());
}

void run(Harness& h, tarn::PoolConnection& c, FakeMiner& miner) {
  run(c, miner, h.settings(), h.env());
}

// Refused connects: the retry lines and the back-off, until a stop ends the worker.
TEST(ConnectionLoop, BackOffDoublesToThirtyTwoSecondsWithItsJitter) {
  struct Case {
    const char* what;
    std::vector<double> jitter;  // factors drawn in turn; empty: none
    std::vector<double> sleeps;
    std::vector<int> shown;  // the delay of each retry line
  };
  const Case cases[] = {
      {"no jitter", {}, {1, 2, 4, 8, 16, 32, 32}, {1, 2, 4, 8, 16, 32, 32}},
      {"jittered, rounded in the line", {0.8, 1.2}, {0.8, 2.4, 3.2, 9.6}, {1, 2, 3, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.refuse_next(1000);
    // A stop during the connect after the last back-off: no retry line for it.
    h.on_connect = [&] { h.stop = h.connects > static_cast<int>(c.sleeps.size()); };
    tarn::WorkerEnv env = h.env();
    size_t draws = 0;
    if (!c.jitter.empty()) env.jitter = [&] { return c.jitter[draws++ % c.jitter.size()]; };
    tarn::PoolConnection conn("ws://pool.test/");
    FakeMiner miner(&h, &conn);
    run(conn, miner, h.settings(), env);

    EXPECT_EQ(h.sleeps, c.sleeps);  // factors times powers of two: exact
    std::vector<std::string> retries, want;
    for (const std::string& l : h.lines)
      if (l.find("connect failed") != std::string::npos) retries.push_back(l);
    for (const int d : c.shown)
      want.push_back("[gpu0] connect failed: ws://pool.test/ " + kDash + " retrying in " +
                     std::to_string(d) + "s\n");
    EXPECT_EQ(retries, want);
    EXPECT_EQ(miner.steps, 0);
    EXPECT_EQ(h.lines.back(), "[gpu0] stopped (lifetime: submitted=0 accepted=0 rejected=0 "
                              "staleskip=0 throttled=0)\n");
  }
}

// After three refusals (1, 2, 4 s) a connection ends; only one that delivered a job or lived 30 s
// starts the back-off over, so a pool that accepts and drops at once is not hammered.
TEST(ConnectionLoop, OnlyAUsefulConnectionResetsTheBackOff) {
  struct Case {
    const char* what;
    bool job;
    std::int64_t lived_ns;
    std::vector<double> sleeps;
  };
  const Case cases[] = {
      {"dropped at once", false, 0, {1, 2, 4, 8, 16, 32}},
      {"delivered a job", true, 0, {1, 2, 4, 1, 1, 2}},
      {"lived 30 s", false, 30 * kSecond, {1, 2, 4, 1, 1, 2}},
      {"lived 29 s", false, 29 * kSecond, {1, 2, 4, 8, 16, 32}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.refuse_next(3);  // and once the one connection is used up, every connect fails
    ScriptedSocket& s = h.add_socket();
    s.on_poll = [&](ScriptedSocket& sock) {
      if (sock.polls == 2 && c.job) sock.arrive(pooltest::new_job("j1", "\"2\""));
      if (sock.polls == 3) {
        h.now_ns += c.lived_ns;
        sock.state = ScriptedSocket::CLOSED;  // the pool goes away
      }
    };
    h.max_sleeps = 6;
    tarn::PoolConnection conn("ws://pool.test/");
    FakeMiner miner(&h, &conn);
    miner.counters = tarn::ShareCounters{8, 7, 1, 2, 3, 0, 0};
    run(h, conn, miner);

    EXPECT_EQ(h.sleeps, c.sleeps);
    EXPECT_TRUE(h.has_line("[gpu0] disconnected (lifetime: submitted=8 accepted=7 rejected=1 "
                           "staleskip=2 throttled=3) " + kDash + " reconnecting...\n"));
    EXPECT_FALSE(s.closed_by_client);  // the worker never closes a live connection itself
  }
}

// The primary refuses three times: the worker moves to the backup; every five minutes it tries the
// primary again while the backup is mined. Only a primary that delivers a job takes the worker
// back, with that job; one that refuses, or answers with no job within 30 s, leaves it on the
// backup for five more minutes.
TEST(ConnectionLoop, FailsOverToTheBackupAndRetriesThePrimaryEveryFiveMinutes) {
  enum Retry { REFUSED, NO_JOB, A_JOB };
  for (const Retry retry : {REFUSED, NO_JOB, A_JOB}) {
    SCOPED_TRACE(retry == REFUSED ? "refused" : retry == NO_JOB ? "no job" : "a job");
    Harness h;
    h.refuse_next(3);
    ScriptedSocket& backup = h.add_socket();
    ScriptedSocket& primary = h.add_socket();  // used up by the first retry unless refused
    if (retry == A_JOB)
      primary.on_poll = [](ScriptedSocket& s) {
        if (s.polls == 2) s.arrive(pooltest::new_job("p1", "\"2\""));
      };
    tarn::PoolConnection conn("ws://primary.test/,ws://backup.test/");
    FakeMiner miner(&h, &conn);
    // Every step on the backup takes 100 s, so the primary is tried at 300 s and again 300 s
    // after that try failed: at its connect when refused, 100 s later when it has no job.
    int backup_steps = 0;
    std::int64_t failover_ns = 0;
    std::vector<std::int64_t> retries_s;  // after the failover
    h.on_connect = [&] {
      if (h.connects == 3) failover_ns = h.now_ns;
      if (h.connects > 4) retries_s.push_back((h.now_ns - failover_ns) / kSecond);
    };
    miner.on_step = [&] {
      if (conn.url_index == 1) {
        h.now_ns += 100 * kSecond;
        if (++backup_steps == 1 && retry == REFUSED) h.refuse_next(2);
        if (backup_steps == 8) h.stop = true;
      }
      if (conn.url_index == 0 && h.connects > 3) h.stop = true;  // mining on the primary again
    };
    run(h, conn, miner);

    std::vector<std::string> urls{"ws://primary.test/", "ws://primary.test/", "ws://primary.test/",
                                  "ws://backup.test/", "ws://primary.test/"};
    if (retry != A_JOB) urls.push_back("ws://primary.test/");
    EXPECT_EQ(h.connect_urls, urls);
    // To the second: the retry comes at 300 s exactly, not a pass of the loop later.
    EXPECT_EQ(retries_s, retry == REFUSED  ? (std::vector<std::int64_t>{300, 600})
                         : retry == NO_JOB ? (std::vector<std::int64_t>{300, 700})
                                           : (std::vector<std::int64_t>{300}));
    EXPECT_EQ(h.sleeps, (std::vector<double>{1, 2}));  // the backup is tried at once
    EXPECT_TRUE(h.has_line("[gpu0] failover: ws://primary.test/ failed 3 times in a row " + kDash +
                           " switching to ws://backup.test/\n"));
    EXPECT_TRUE(h.has_line("[gpu0] connected to ws://backup.test/\n"));
    EXPECT_EQ(h.count_lines("disconnected"), 0);
    EXPECT_TRUE(backup.closed_by_client);  // with a close frame, at the switch or the stop
    EXPECT_EQ(backup_steps, retry == A_JOB ? 3 : 8);  // the backup is mined through the retries
    EXPECT_EQ(h.count_lines("[gpu0] failover: the primary ws://primary.test/ is back " + kDash +
                            " switching to it\n"),
              retry == A_JOB ? 1 : 0);
    EXPECT_EQ(h.count_lines("[gpu0] connected to ws://primary.test/\n"), retry == A_JOB ? 1 : 0);
    EXPECT_EQ(miner.have_job, retry == A_JOB);  // the job that brought it back is mined
    if (retry == NO_JOB) {
      EXPECT_TRUE(primary.closed_by_client);  // before the next retry
    }
    EXPECT_EQ(primary.sent.size(), retry == REFUSED ? 0u : 1u);  // the Hello
    // For the monitor: the move to the backup and, with a job, back; the connections adopted.
    EXPECT_EQ(conn.urls.switches(), retry == A_JOB ? 2 : 1);
    EXPECT_EQ(conn.opened, retry == A_JOB ? 2 : 1);
  }
}

// Back on the primary the back-off starts over: the backup's refusals built it up to 4 s, but a
// returned primary that drops before the miner has a job is retried after 1 s.
TEST(ConnectionLoop, TheReturnedPrimaryStartsTheBackOffOver) {
  Harness h;
  h.refuse_next(5);  // the primary three times, then the backup twice
  ScriptedSocket& backup = h.add_socket();
  ScriptedSocket& primary = h.add_socket();
  primary.on_poll = [](ScriptedSocket& s) {
    if (s.polls == 2) s.arrive(pooltest::new_job("p1", "\"2\""));
    if (s.polls == 3) s.state = ScriptedSocket::CLOSED;
  };
  h.max_sleeps = 5;
  tarn::PoolConnection conn("ws://primary.test/,ws://backup.test/");
  FakeMiner miner(&h, &conn);
  miner.on_step = [&] {
    if (conn.url_index == 1) h.now_ns += 100 * kSecond;
  };
  tarn::ConnectionMiner hooks = miner.hooks();
  hooks.message = nullptr;  // the job that brought the primary back never reaches the miner
  tarn::run_connections(&conn, h.settings(), "[gpu0]", h.env(), hooks);

  EXPECT_EQ(h.count_lines("[gpu0] failover: the primary ws://primary.test/ is back " + kDash +
                          " switching to it\n"),
            1);
  EXPECT_TRUE(backup.closed_by_client);
  EXPECT_EQ(h.sleeps, (std::vector<double>{1, 2, 1, 2, 1}));
}

// The retry's connect runs beside the mining loop: a primary slow to answer costs the backup no
// launches.
TEST(ConnectionLoop, TheBackupIsMinedWhileThePrimaryConnects) {
  Harness h;
  ScriptedSocket backup;
  ScriptedSocket primary;
  primary.on_poll = [](ScriptedSocket& s) {
    if (s.polls == 2) s.arrive(pooltest::new_job("p1", "\"2\""));
  };
  std::atomic<int> backup_steps{0};
  std::atomic<int> steps_while_connecting{-1};
  int primary_connects = 0;
  tarn::WorkerEnv env = h.env();
  env.connect = [&](const std::string& url, std::string*) -> wsclient::WebSocket* {
    if (url == "ws://backup.test/") return &backup;
    if (++primary_connects <= 3) return nullptr;
    // The retry: answered once the backup has been mined five more times, or after 2 s.
    const int at = backup_steps;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (backup_steps < at + 5 && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    steps_while_connecting = backup_steps - at;
    return &primary;
  };
  env.background = [](std::function<void()> work) {
    auto t = std::make_shared<std::thread>(std::move(work));
    return std::function<void()>([t] { t->join(); });
  };
  tarn::PoolConnection conn("ws://primary.test/,ws://backup.test/");
  FakeMiner miner(&h, &conn);
  miner.on_step = [&] {
    if (conn.url_index == 1) {
      h.now_ns += 100 * kSecond;
      ++backup_steps;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (conn.url_index == 0) h.stop = true;
  };
  run(conn, miner, h.settings(), env);

  EXPECT_GE(steps_while_connecting.load(), 5);
  EXPECT_EQ(h.count_lines("[gpu0] connected to ws://primary.test/\n"), 1);
  EXPECT_TRUE(miner.have_job);
}

// What a pool does with every connect made to it.
enum class Pool {
  Refuses,
  Drops,          // answers, then closes at once
  Silent,         // answers, then sends nothing; a second passes per step
  JobThenDrops,   // a job, then closes 5 s later
  JobThenSilent,  // a job, then nothing; ten seconds pass per step
  JobAndLives,    // a job, then closes 30 s later: a good connection
  Healthy,        // the test ends at the connect to it
};

// A URL is left after three failures in a row of any kind: refused, or a connection that did not
// both deliver a job and live 30 s, or one closed by the job timeout. The next URL is tried at
// once; with every URL failing the worker goes round them in turn.
TEST(ConnectionLoop, FailoverLeavesAPoolThatFailsInAnyWay) {
  struct Case {
    const char* what;
    std::vector<Pool> pools;  // for ws://a.test/, ws://b.test/, ...
    double job_timeout;
    std::string order;  // the connects, by URL letter; the last one meets the stop
    std::vector<double> sleeps;
    std::vector<std::string> failovers;  // "ab": from a to b
  };
  const Case cases[] = {
      {"the primary drops at once", {Pool::Drops, Pool::Healthy}, 0, "aaab", {1, 2}, {"ab"}},
      {"the primary sends no job", {Pool::Silent, Pool::Healthy}, 3, "aaab", {1, 2}, {"ab"}},
      {"a job, then closed within 30 s", {Pool::JobThenDrops, Pool::Healthy}, 0, "aaab", {1, 1},
       {"ab"}},
      {"a job, then the job timeout", {Pool::JobThenSilent, Pool::Healthy}, 40, "aaab", {1, 1},
       {"ab"}},
      {"good connections keep the primary", {Pool::JobAndLives, Pool::Healthy}, 0, "aaaaa",
       {1, 1, 1, 1}, {}},
      {"a flapping first backup", {Pool::Refuses, Pool::Drops, Pool::Healthy}, 0, "aaabbbc",
       {1, 2, 1, 2}, {"ab", "bc"}},
      {"dead, dead, good", {Pool::Refuses, Pool::Refuses, Pool::Healthy}, 0, "aaabbbc",
       {1, 2, 1, 2}, {"ab", "bc"}},
      {"all refuse", {Pool::Refuses, Pool::Refuses}, 0, "aaabbbaa", {1, 2, 1, 2, 1}, {"ab", "ba"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    std::string list, order;
    for (size_t i = 0; i < c.pools.size(); ++i)
      list += std::string(i ? "," : "") + "ws://" + static_cast<char>('a' + i) + ".test/";
    std::vector<std::unique_ptr<ScriptedSocket>> sockets;
    tarn::WorkerEnv env = h.env();
    env.connect = [&](const std::string& url, std::string*) -> wsclient::WebSocket* {
      order += url[5];
      const Pool pool = c.pools[static_cast<size_t>(url[5] - 'a')];
      // A healthy pool would be mined for ever: the test ends there, early or not.
      if (order.size() >= c.order.size() || order.size() > 20 || pool == Pool::Healthy) {
        h.stop = true;
        return nullptr;
      }
      if (pool == Pool::Refuses) return nullptr;
      sockets.push_back(std::make_unique<ScriptedSocket>());
      sockets.back()->on_poll = [&h, pool](ScriptedSocket& s) {
        const bool job_pool = pool != Pool::Drops && pool != Pool::Silent;
        if (job_pool && s.polls == 2) s.arrive(pooltest::new_job("j1", "\"2\""));
        if (pool == Pool::Silent) h.now_ns += kSecond;
        if (pool == Pool::JobThenSilent) h.now_ns += 10 * kSecond;
        if (s.polls < 3) return;
        if (pool == Pool::Drops) s.state = ScriptedSocket::CLOSED;
        if (pool == Pool::JobThenDrops || pool == Pool::JobAndLives) {
          h.now_ns += (pool == Pool::JobAndLives ? 30 : 5) * kSecond;
          s.state = ScriptedSocket::CLOSED;
        }
      };
      return sockets.back().get();
    };
    tarn::PoolConnection conn(list);
    FakeMiner miner(&h, &conn);
    tarn::WorkerSettings settings = h.settings();
    settings.job_timeout = c.job_timeout;
    run(conn, miner, settings, env);

    EXPECT_EQ(order, c.order);
    EXPECT_EQ(h.sleeps, c.sleeps);
    std::vector<std::string> failovers, want;
    for (const std::string& l : h.lines)
      if (l.find("failover") != std::string::npos) failovers.push_back(l);
    for (const std::string& f : c.failovers)
      want.push_back(std::string("[gpu0] failover: ws://") + f[0] + ".test/ failed 3 times in a row " +
                     kDash + " switching to ws://" + f[1] + ".test/\n");
    EXPECT_EQ(failovers, want);
    EXPECT_EQ(conn.urls.switches(), static_cast<std::int64_t>(c.failovers.size()));
  }
}

// A connection that is closing, the pool's close frame answered or not, is published as
// disconnected at once: the monitor must not show a GPU connected that can send nothing.
TEST(ConnectionLoop, AClosingConnectionIsNotPublishedAsConnected) {
  Harness h;
  ScriptedSocket& s = h.add_socket();
  s.on_poll = [](ScriptedSocket& sock) {
    if (sock.polls == 3) sock.state = ScriptedSocket::CLOSING;
    if (sock.polls == 6) sock.state = ScriptedSocket::CLOSED;
  };
  h.on_connect = [&] { h.stop = h.connects > 1; };
  tarn::PoolConnection conn("ws://pool.test/");
  FakeMiner miner(&h, &conn);
  tarn::ConnectionMiner hooks = miner.hooks();
  int connected = 0, closing = 0;
  hooks.publish = [&] {
    if (s.state == ScriptedSocket::OPEN && conn.state == "connected") ++connected;
    if (s.state == ScriptedSocket::CLOSING) {
      ++closing;
      EXPECT_EQ(conn.state, "disconnected");
    }
  };
  tarn::run_connections(&conn, h.settings(), "[gpu0]", h.env(), hooks);
  EXPECT_GT(connected, 0);
  EXPECT_GT(closing, 0);
}

// With a job timeout, a pool silent for that long is left; messages of any kind keep it.
TEST(ConnectionLoop, JobTimeoutReconnectsOnlyAfterSilence) {
  for (const bool chatty : {false, true}) {
    SCOPED_TRACE(chatty ? "a message every step" : "silent");
    Harness h;
    ScriptedSocket& s = h.add_socket();
    tarn::PoolConnection conn("ws://pool.test/");
    FakeMiner miner(&h, &conn);
    miner.on_step = [&] {
      h.now_ns += 4 * kSecond;
      if (chatty) s.arrive("{\"SomethingNew\":{}}");
      if (miner.steps == 6) h.stop = true;
    };
    h.on_connect = [&] { h.stop = h.connects > 1; };
    tarn::WorkerSettings settings = h.settings();
    settings.job_timeout = 10;
    run(conn, miner, settings, h.env());

    EXPECT_EQ(h.count_lines("[gpu0] no message from the pool for 10s " + kDash + " reconnecting\n"),
              chatty ? 0 : 1);
    EXPECT_EQ(h.count_lines("disconnected"), chatty ? 0 : 1);
    // Silent: the timeout is seen at 12 s, after the third step; the fourth finds it closed.
    EXPECT_EQ(miner.steps, chatty ? 6 : 4);
  }
}

// A pool that hangs up before any job refuses as surely as one that refuses the connect: after
// the (shortened) limit the loop ends by itself with the reason. One that sends a job never does.
TEST(ConnectionLoop, APoolThatKeepsClosingBeforeAJobIsGivenUp) {
  for (const bool job : {false, true}) {
    SCOPED_TRACE(job ? "a job on every connection" : "closed before any job");
    Harness h;
    for (int i = 0; i < 20; ++i) {
      h.add_socket().on_poll = [job](ScriptedSocket& sock) {
        if (sock.polls == 2 && job) sock.arrive(pooltest::new_job("j1", "\"2\""));
        if (sock.polls == 3) sock.state = ScriptedSocket::CLOSED;
      };
    }
    h.max_sleeps = 15;  // what ends the loop when nothing else does
    tarn::PoolConnection conn("ws://pool.test/");
    FakeMiner miner(&h, &conn);
    tarn::WorkerSettings settings = h.settings();
    settings.permanent.refused_s = 100;
    const std::string line =
        tarn::run_connections(&conn, settings, "[gpu0]", h.env(), miner.hooks());
    if (job) {
      EXPECT_EQ(line, "");
      EXPECT_EQ(h.sleeps.size(), 15u);
    } else {
      // Back-offs 1, 2, 4, 8, 16, 32, 32, 32: the ninth close comes 127 s after the first.
      EXPECT_EQ(line, "permanent pool failure: ws://pool.test/: closed before sending a job on "
                      "every attempt for 100 s");
      EXPECT_EQ(h.connects, 9);
      EXPECT_FALSE(h.stop);
    }
    EXPECT_EQ(h.lines.back(), "[gpu0] stopped (lifetime: submitted=0 accepted=0 rejected=0 "
                              "staleskip=0 throttled=0)\n");
  }
}

// At a stop the answers still owed for this connection's shares are read for up to a second,
// 100 ms per poll here; the last answer or a dropped connection ends the wait at once.
TEST(ConnectionLoop, AStopWaitsUpToASecondForTheAnswersOwed) {
  struct Case {
    const char* what;
    int earlier_submitted;       // on a connection before this one, 2 of them answered
    int submitted;               // on this connection, just before the stop
    std::vector<int> answer_ms;  // after the stop
    int drop_ms;                 // the connection dies then; 0: it lives
    int accepted;                // this connection's answers counted by the lifetime line
    std::int64_t waited_ms;
  };
  const Case cases[] = {
      {"all answered within the second", 2, 3, {100, 200, 300, 400}, 0, 3, 300},
      {"one answer later than a second", 2, 3, {100, 200, 1500}, 0, 2, 1000},
      {"the connection drops", 2, 3, {100, 300, 400}, 200, 1, 200},
      {"nothing owed", 2, 0, {100}, 0, 0, 0},
      {"earlier connections owe nothing here", 5, 1, {100, 200}, 0, 1, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    ScriptedSocket& s = h.add_socket();
    std::int64_t stop_ns = 0;
    s.on_poll = [&](ScriptedSocket& sock) {
      if (!h.stop) return;
      const std::int64_t since = (h.now_ns - stop_ns) / kMs;
      for (const int at : c.answer_ms)
        if (at <= since && at > since - 100) sock.arrive("{\"ShareAccepted\":{}}");
      if (c.drop_ms > 0 && since >= c.drop_ms) sock.state = ScriptedSocket::CLOSED;
    };
    tarn::PoolConnection conn("ws://pool.test/");
    FakeMiner miner(&h, &conn);
    miner.counters.submitted = c.earlier_submitted;
    miner.counters.accepted = 2;
    miner.on_step = [&] {
      miner.counters.submitted = c.earlier_submitted + c.submitted;
      h.stop = true;
      stop_ns = h.now_ns;
    };
    run(h, conn, miner);

    EXPECT_EQ(miner.steps, 1);  // nothing more is mined while waiting
    EXPECT_EQ((h.now_ns - stop_ns) / kMs, c.waited_ms);
    EXPECT_EQ(h.lines.back(),
              "[gpu0] stopped (lifetime: submitted=" +
                  std::to_string(c.earlier_submitted + c.submitted) +
                  " accepted=" + std::to_string(2 + c.accepted) +
                  " rejected=0 staleskip=0 throttled=0)\n");
    EXPECT_TRUE(s.closed_by_client);
    EXPECT_TRUE(h.sleeps.empty());
  }
}

}  // namespace
