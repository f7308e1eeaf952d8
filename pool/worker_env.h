// What a pool worker takes from outside: its settings, and the clock, sleep, connections, the
// device, output and the stop request. Tests swap in a scripted pool, a fake clock and a
// decorated host device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gpu/device.h"
#include "monitor/stats_board.h"
#include "monitor/telemetry.h"
#include "pool/permanent_failure.h"
#include "ws/websocket.h"

namespace tarn {

class LaunchWatchdog;

struct WorkerSettings {
  int gpu = 0;
  std::string url;  // the primary, then backups, separated by commas
  std::string payout;
  std::string worker;
  double submit_gap = 0.2;  // seconds between two submits below difficulty 1e8
  int temp_limit = 0;       // pause launches at this many degrees Celsius, resume 5 below; 0: off
  double job_timeout = 0.0;  // reconnect after this many seconds without a pool message; 0: off
  // Without a job timeout, one line once a pool has been silent this many seconds; 0: never.
  double silence_notice = 60.0;
  wsclient::TlsOptions tls;  // for wss:// URLs
  PermanentLimits permanent;  // when to give up on pools that keep failing the same way
};

struct WorkerEnv {
  // System clock in nanoseconds.
  std::function<std::int64_t()> now_ns;
  // Sleeps that long; a sleep cut short by a signal is resumed, but it ends early once a stop
  // has been requested.
  std::function<void(double seconds)> sleep;
  // A new connection to url (ws:// or wss://), or null after the reason was printed on standard
  // error; *reason then holds a short cause for the retry line when one is known.
  std::function<wsclient::WebSocket*(const std::string& url, std::string* reason)> connect;
  // A factor from 0.8 to 1.2 for each back-off, so restarted pools are not hit by every rig in
  // the same second. Unset: 1.
  std::function<double()> jitter;
  // Starts work beside the mining loop (a connect to the primary while a backup is mined) and
  // returns what waits for its end. Unset: the work runs at once, on the caller's thread.
  std::function<std::function<void()>(std::function<void()> work)> background;
  // Destroys a connection that connect() returned.
  std::function<void(wsclient::WebSocket*)> discard;
  // Selects device `gpu` for the calling thread.
  std::function<std::unique_ptr<Device>(int gpu, Status* why)> open_device;
  // Writes one complete line (newline included) with a single call.
  std::function<void(const std::string& line)> print;
  // True once the pool mode has been asked to end.
  std::function<bool()> stop_requested;

  // Monitoring, both optional: where the worker publishes its figures for the API and the total
  // lines, and its GPU's sensor readings (null: none to read).
  StatsBoard* board = nullptr;
  std::function<Telemetry()> telemetry;
  // Stamped around every launch so a hung GPU ends the process; null: not watched.
  LaunchWatchdog* watchdog = nullptr;
};

// Real clock and sleep, WebSocket::from_url, the process backend, standard output and the
// SIGINT/SIGTERM stop flag.
// wss:// connections check certificates as tls says.
WorkerEnv real_worker_env(const wsclient::TlsOptions& tls = wsclient::TlsOptions());

}  // namespace tarn
