// One pool worker: its device, the current job and the launches on it, joining the connection
// loop, the job state, the share path and the statistics and heat of their own files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gpu/device.h"
#include "gpu/device_session.h"
#include "monitor/stats_board.h"
#include "pool/connection_loop.h"
#include "pool/heat_guard.h"
#include "pool/job_state.h"
#include "pool/share_filter.h"
#include "pool/worker_env.h"
#include "pool/worker_stats.h"
#include "search/launch_layout.h"
#include "ws/websocket.h"

namespace tarn {

struct WorkerGeometry : LaunchGeometry {
  unsigned int first_per_thread = 0;
};

WorkerGeometry worker_geometry(const DeviceInfo& info);

class PoolWorker {
 public:
  PoolWorker(WorkerSettings settings, WorkerEnv env);
  ~PoolWorker();
  PoolWorker(const PoolWorker&) = delete;
  PoolWorker& operator=(const PoolWorker&) = delete;

  // Opens the device (retrying with back-off), prints the start line and sets up the device
  // state. False only when a stop was requested first.
  bool start();
  // Connects, mines and reconnects until a stop is requested or the pools failed for good;
  // ends with the lifetime line. The permanent failure's line, or empty.
  std::string run();

  const ShareCounters& counters() const { return counters_; }
  const WorkerGeometry& geometry() const { return geometry_; }
  unsigned int per_thread() const { return per_thread_; }
  // Mutable so tests can place the start counter next to a 2^32 boundary.
  PoolJob& job() { return job_; }

 private:
  // One round of the mining loop on ws: messages, heat, then one launch when there is work.
  void step(wsclient::WebSocket* ws);
  void launch(wsclient::WebSocket* ws);
  void pump(wsclient::WebSocket* ws);
  void on_message(const std::string& text);
  void apply(const JobChange& change);

  JobUpload job_upload() const;
  void device_failed(const Status& s);
  void recover_device();

  void statistics();
  void publish();

  WorkerSettings settings_;
  WorkerEnv env_;
  std::string tag_;

  // The device outlives its session: members are destroyed in reverse order.
  std::unique_ptr<Device> dev_;
  std::unique_ptr<DeviceSession> session_;
  bool device_ready_ = false;
  int device_attempt_ = 0;
  WorkerGeometry geometry_;
  std::unique_ptr<LaunchLayout> layout_;
  unsigned int per_thread_ = 0;

  PoolConnection conn_;
  PoolJob job_;
  bool warned_blank_ = false;  // about this connection's messages not being compact JSON
  std::uint64_t rng_ = 0;
  ShareFilter filter_;
  ShareCounters counters_;
  LaunchStats stats_;
  HeatGuard heat_;
};

}  // namespace tarn

// The body of one pool worker thread: device `gpu`, its own connection to url. Returns only
// once the pool mode has been asked to stop.
void run_pool_device(int gpu, std::string url, std::string payout, std::string worker,
                     double submit_gap);
// The same with monitoring: figures published on `board`, sensors read through `telemetry`,
// launches watched by `watchdog` (may be null). The permanent pool failure's line, or empty.
std::string run_pool_device_monitored(tarn::WorkerSettings settings, tarn::StatsBoard* board,
                                      std::function<tarn::Telemetry()> telemetry,
                                      tarn::LaunchWatchdog* watchdog = nullptr);
