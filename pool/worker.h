// One pool worker: owns a device, one connection at a time, the current job and the counters.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "gpu/device.h"
#include "monitor/rate_windows.h"
#include "gpu/device_session.h"
#include "pool/failover.h"
#include "pool/share_filter.h"
#include "pool/worker_env.h"
#include "search/found_result.h"
#include "search/launch_layout.h"
#include "ws/websocket.h"

namespace tarn {

struct WorkerSettings {
  int gpu = 0;
  std::string url;
  std::string payout;
  std::string worker;
  double submit_gap = 0.2;  // seconds between two submits below difficulty 1e8
  int temp_limit = 0;       // pause launches at this many degrees Celsius, resume 5 below; 0: off
  double job_timeout = 0.0;  // reconnect after this many seconds without a pool message; 0: off
  wsclient::TlsOptions tls;  // for wss:// URLs
};

struct ShareCounters {
  int submitted = 0;
  int accepted = 0;
  int rejected = 0;
  int staleskip = 0;
  int throttled = 0;
  int device_faults = 0;  // hits the host re-check refused; never sent
  int device_errors = 0;  // failed device calls, each followed by a re-initialisation
};

// The job as the pool last described it; reset at every connection.
struct PoolJob {
  std::string job_id;
  std::string difficulty;  // replaced by SetDifficulty; parsed again at every use
  std::string mining_hash;
  std::array<std::uint8_t, 32> header{};
  std::array<std::uint8_t, 64> target{};
  std::array<std::uint8_t, 32> prefix{};
  std::uint64_t start_counter = 0;  // indices launched for this job so far
  bool have_job = false;
};

struct WorkerGeometry : LaunchGeometry {
  unsigned int first_per_thread = 0;
};

WorkerGeometry worker_geometry(const DeviceInfo& info);

// Back-off after the attempt-th failure in a row (from 0): 1, 2, 4, 8, 16, then 32 seconds.
int backoff_seconds(int attempt);

class PoolWorker {
 public:
  PoolWorker(WorkerSettings settings, WorkerEnv env);
  ~PoolWorker();
  PoolWorker(const PoolWorker&) = delete;
  PoolWorker& operator=(const PoolWorker&) = delete;

  // Opens the device (retrying with back-off), prints the start line and sets up the device
  // state. False only when a stop was requested first.
  bool start();
  // Connects, mines and reconnects until a stop is requested; ends with the lifetime line.
  void run();

  const ShareCounters& counters() const { return counters_; }
  const WorkerGeometry& geometry() const { return geometry_; }
  unsigned int per_thread() const { return per_thread_; }
  std::uint64_t total_launched() const { return total_launched_; }
  // Mutable so tests can place the start counter next to a 2^32 boundary.
  PoolJob& job() { return job_; }

 private:
  // What one launch reports under, whatever messages arrive while it runs.
  struct LaunchCopy {
    std::string job_id;
    std::string difficulty;
    std::array<std::uint8_t, 32> prefix;
    std::array<std::uint8_t, 32> header;
    std::array<std::uint8_t, 64> target;
  };

  // Mines on one connection until it closes or a stop; true when it delivered a job. A primary
  // that came back while on a backup is left in *moved_to, the old connection closing.
  bool serve(wsclient::WebSocket* ws, wsclient::WebSocket** moved_to);
  // While on a backup, a connect to the primary when it is due; the new connection or null.
  wsclient::WebSocket* try_primary();
  // Back-off with jitter, after the attempt-th failure in a row.
  double backoff_delay(int attempt) const;
  // The retry line after a failed connect, with the reason when one is known.
  void connect_failed(int index, const std::string& reason, double delay);
  void mining_step(wsclient::WebSocket* ws);
  void pump(wsclient::WebSocket* ws);

  void on_message(const std::string& text);
  void on_new_job(const std::string& text);
  void on_set_difficulty(const std::string& text);

  JobUpload job_upload() const;
  void device_failed(const Status& s);
  void recover_device();

  void handle_shares(wsclient::WebSocket* ws, const LaunchCopy& copy, const FoundResult& found,
                     std::uint64_t start0, unsigned int per_thread);
  bool hit_checks_out(const LaunchCopy& copy, const std::uint8_t* nonce);
  void statistics();
  // Reads the sensors (at most once a second), applies the temperature limit and prints the
  // telemetry line; true while launches are paused for heat.
  bool too_hot();
  void publish();
  void print(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

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
  ShareFilter filter_;
  unsigned int per_thread_ = 0;
  PoolJob job_;
  ShareCounters counters_;
  std::uint64_t rng_ = 0;
  std::uint64_t total_launched_ = 0;
  int connect_attempt_ = 0;
  PoolUrls urls_;
  int url_index_ = 0;                 // of the connection being served
  std::int64_t last_message_ns_ = 0;  // for the job timeout

  std::int64_t start_ns_ = 0;
  std::int64_t window_start_ns_ = 0;
  std::uint64_t window_total_ = 0;
  double rate60_ = 0.0;
  std::int64_t last_stats_ns_ = 0;
  std::uint64_t launches_since_ = 0;
  double gpu_ms_sum_ = 0.0;
  double wall_ms_sum_ = 0.0;

  RateWindows rates_;
  double line_mhs_ = 0.0;  // the lifetime rate of the last statistics line
  std::string connection_ = "starting";
  Telemetry telemetry_;
  std::int64_t last_sensor_ns_ = 0;
  std::int64_t last_telemetry_line_ns_ = 0;
  bool sensors_read_ = false;
  bool temp_paused_ = false;
  std::int64_t temp_pauses_ = 0;
  std::int64_t temp_resumes_ = 0;
};

}  // namespace tarn

// The body of one pool worker thread: device `gpu`, its own connection to url. Returns only
// once the pool mode has been asked to stop.
void run_pool_device(int gpu, std::string url, std::string payout, std::string worker,
                     double submit_gap);
// The same with monitoring: figures published on `board`, sensors read through `telemetry`.
void run_pool_device_monitored(tarn::WorkerSettings settings, tarn::StatsBoard* board,
                               std::function<tarn::Telemetry()> telemetry);
