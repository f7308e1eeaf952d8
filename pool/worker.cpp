// One pool worker: connect loop with back-off, launches back to back, shares, statistics.
#include "pool/worker.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "hash/hash_ref.h"
#include "monitor/telemetry_line.h"
#include "pool/messages.h"
#include "search/target.h"
#include "util/bytes.h"
#include "util/printable.h"

namespace tarn {
namespace {

// While there is no job, wait this long for the pool instead of spinning on poll(0).
constexpr int kIdleWaitMs = 50;
// A connection that lived this long (or delivered a job) was useful: the back-off starts over.
constexpr double kHealthyConnectionSeconds = 30.0;
// Sensors are read this often; the telemetry line comes once a minute.
constexpr double kSensorSeconds = 1.0;
constexpr double kTelemetryLineSeconds = 60.0;
// Launches resume once the GPU has cooled this far below the limit.
constexpr unsigned int kTempHysteresis = 5;

double seconds_between(std::int64_t from_ns, std::int64_t to_ns) {
  return static_cast<double>(to_ns - from_ns) / 1e9;
}

}  // namespace

WorkerGeometry worker_geometry(const DeviceInfo& info) {
  WorkerGeometry g;
  g.dir = info.direction_layout();
  g.tpb = info.mine_tpb();
  g.blocks = static_cast<unsigned int>(info.sm_count) * blocks_per_sm(g.tpb);
  g.first_per_thread = g.dir ? 64 : 16;
  return g;
}

int backoff_seconds(int attempt) { return attempt <= 4 ? 1 << std::max(attempt, 0) : 32; }

PoolWorker::PoolWorker(WorkerSettings settings, WorkerEnv env)
    : settings_(std::move(settings)), env_(std::move(env)), urls_(settings_.url) {
  char tag[24];
  std::snprintf(tag, sizeof tag, "[gpu%d]", settings_.gpu);
  tag_ = tag;
}

PoolWorker::~PoolWorker() = default;

void PoolWorker::print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&line[0], line.size() + 1, fmt, again);
  va_end(again);
  env_.print(line);
}

// ---- Start-up and device state ---------------------------------------------------------------

bool PoolWorker::start() {
  for (int attempt = 0; !session_; ++attempt) {
    if (env_.stop_requested()) return false;
    Status why;
    std::unique_ptr<Device> dev = env_.open_device(settings_.gpu, &why);
    if (dev) {
      dev_ = std::move(dev);
      session_ = std::make_unique<DeviceSession>(dev_.get());
      break;
    }
    const int delay = backoff_seconds(attempt);
    print("%s cannot open the device: %s — retrying in %ds\n", tag_.c_str(), why.line().c_str(),
          delay);
    env_.sleep(delay);
  }
  const DeviceInfo& info = session_->info();
  geometry_ = worker_geometry(info);
  layout_ = make_launch_layout(geometry_.dir);
  per_thread_ = geometry_.first_per_thread;
  print("%s %s (%d SMs, sm_%d%d, %d blocks x %d threads) worker=%s\n", tag_.c_str(),
        info.name.c_str(), info.sm_count, info.major, info.minor,
        static_cast<int>(geometry_.blocks), static_cast<int>(geometry_.tpb),
        settings_.worker.c_str());

  const std::int64_t now = env_.now_ns();
  rng_ = (static_cast<std::uint64_t>(settings_.gpu) + 1) * 0x9E3779B97F4A7C15ull ^
         static_cast<std::uint64_t>(now);
  start_ns_ = window_start_ns_ = last_stats_ns_ = now;
  rates_.start(now);
  filter_.submit_gap = settings_.submit_gap;
  filter_.last_submit_ns = now;

  const Status s = session_->allocate();
  if (s.ok()) {
    device_ready_ = true;
  } else {
    device_failed(s);
  }
  return true;
}

JobUpload PoolWorker::job_upload() const {
  return JobUpload{job_.header.data(), job_.prefix.data(), job_.target.data()};
}

// A failed device call leaves nothing trustworthy on the device: no result of it is used, and
// the whole device state is rebuilt after a back-off.
void PoolWorker::device_failed(const Status& s) {
  ++counters_.device_errors;
  device_ready_ = false;
  print("%s CUDA error: %s — re-initialising the device in %ds\n", tag_.c_str(),
        s.line().c_str(), backoff_seconds(device_attempt_));
}

void PoolWorker::recover_device() {
  env_.sleep(backoff_seconds(device_attempt_));
  ++device_attempt_;
  if (env_.stop_requested()) return;
  const JobUpload job = job_upload();
  const Status s = session_->rebuild(job_.have_job ? &job : nullptr);
  if (!s.ok()) {
    device_failed(s);
    return;
  }
  device_ready_ = true;
  print("%s device re-initialised\n", tag_.c_str());
}

// ---- Connections ----------------------------------------------------------------------------

double PoolWorker::backoff_delay(int attempt) const {
  return backoff_seconds(attempt) * (env_.jitter ? env_.jitter() : 1.0);
}

void PoolWorker::connect_failed(int index, const std::string& reason, double delay) {
  const int shown = static_cast<int>(delay + 0.5);
  if (reason.empty()) {
    print("%s connect failed: %s — retrying in %ds\n", tag_.c_str(), urls_.url(index).c_str(), shown);
  } else {
    print("%s connect failed: %s (%s) — retrying in %ds\n", tag_.c_str(), urls_.url(index).c_str(),
          printable(reason).c_str(), shown);
  }
  const std::string line = urls_.failed(index, env_.now_ns());
  if (!line.empty()) print("%s %s\n", tag_.c_str(), line.c_str());
}

wsclient::WebSocket* PoolWorker::try_primary() {
  if (!urls_.primary_due(env_.now_ns())) return nullptr;
  std::string reason;
  wsclient::WebSocket* ws = env_.connect(urls_.url(0), &reason);
  if (!ws) {
    urls_.failed(0, env_.now_ns());  // stay on the backup; the next try in five minutes
    return nullptr;
  }
  print("%s %s\n", tag_.c_str(), urls_.connected(0, env_.now_ns()).c_str());
  return ws;
}

void PoolWorker::run() {
  wsclient::WebSocket* moved_to = nullptr;  // a connection already open for the next round
  while (!env_.stop_requested()) {
    connection_ = "connecting";
    publish();
    wsclient::WebSocket* ws = moved_to;
    moved_to = nullptr;
    if (!ws) {
      url_index_ = urls_.next(env_.now_ns());
      std::string reason;
      ws = env_.connect(urls_.url(url_index_), &reason);
      if (!ws && env_.stop_requested()) break;  // the attempt ended because of the stop
      if (!ws) {
        const double delay = backoff_delay(connect_attempt_);
        connect_failed(url_index_, reason, delay);
        env_.sleep(delay);
        ++connect_attempt_;
        continue;
      }
      const std::string line = urls_.connected(url_index_, env_.now_ns());
      if (!line.empty()) print("%s %s\n", tag_.c_str(), line.c_str());
    }
    const std::int64_t connected_ns = env_.now_ns();
    const bool got_job = serve(ws, &moved_to);
    connection_ = "disconnected";
    publish();
    if (env_.stop_requested() || moved_to) {
      // Leaving for good or for the primary: say goodbye with a close frame rather than just
      // dropping the socket.
      ws->close();
      ws->poll(0);
      env_.discard(ws);
      if (moved_to) {
        url_index_ = 0;
        connect_attempt_ = 0;
        continue;
      }
      break;
    }
    print("%s disconnected (lifetime: submitted=%d accepted=%d rejected=%d staleskip=%d "
          "throttled=%d) — reconnecting...\n",
          tag_.c_str(), counters_.submitted, counters_.accepted, counters_.rejected,
          counters_.staleskip, counters_.throttled);
    env_.discard(ws);
    // Only a connection that proved useful resets the back-off: a pool that accepts and drops
    // at once is not hammered once a second.
    if (got_job || seconds_between(connected_ns, env_.now_ns()) >= kHealthyConnectionSeconds) {
      env_.sleep(1.0);
      connect_attempt_ = 0;
    } else {
      env_.sleep(backoff_delay(connect_attempt_));
      ++connect_attempt_;
    }
  }
  if (moved_to) {
    moved_to->close();
    moved_to->poll(0);
    env_.discard(moved_to);
  }
  connection_ = "stopped";
  publish();
  print("%s stopped (lifetime: submitted=%d accepted=%d rejected=%d staleskip=%d throttled=%d)\n",
        tag_.c_str(), counters_.submitted, counters_.accepted, counters_.rejected,
        counters_.staleskip, counters_.throttled);
}

bool PoolWorker::serve(wsclient::WebSocket* ws, wsclient::WebSocket** moved_to) {
  print("%s connected to %s\n", tag_.c_str(), urls_.url(url_index_).c_str());
  ws->send(hello_message(settings_.payout, settings_.worker));
  ws->poll(0);
  // Whatever is already complete at this point is dropped, a NewJob included.
  ws->dispatch([](const std::string&) {});
  job_ = PoolJob{};
  connection_ = "connected";
  bool got_job = false;
  last_message_ns_ = env_.now_ns();
  while (ws->getReadyState() != wsclient::WebSocket::CLOSED && !env_.stop_requested()) {
    const bool open = ws->getReadyState() == wsclient::WebSocket::OPEN;
    // The protocol has no heartbeat, so silence is only a failure when the user says so.
    if (open && settings_.job_timeout > 0 &&
        seconds_between(last_message_ns_, env_.now_ns()) >= settings_.job_timeout) {
      print("%s no message from the pool for %.0fs — reconnecting\n", tag_.c_str(),
            settings_.job_timeout);
      ws->close();
    }
    if (ws->getReadyState() == wsclient::WebSocket::OPEN && (*moved_to = try_primary())) break;
    mining_step(ws);
    publish();
    got_job = got_job || job_.have_job;
  }
  return got_job;
}

void PoolWorker::pump(wsclient::WebSocket* ws) {
  ws->poll(0);
  ws->dispatch([this](const std::string& text) { on_message(text); });
}

// ---- Messages -------------------------------------------------------------------------------

void PoolWorker::on_message(const std::string& text) {
  last_message_ns_ = env_.now_ns();
  switch (classify_message(text)) {
    case MessageKind::NewJob:
      on_new_job(text);
      break;
    case MessageKind::SetDifficulty:
      on_set_difficulty(text);
      break;
    case MessageKind::ShareAccepted:
      ++counters_.accepted;
      break;
    case MessageKind::ShareRejected:
      ++counters_.rejected;
      print("%s   REJECTED: %s\n", tag_.c_str(), printable(read_reject_reason(text)).c_str());
      break;
    case MessageKind::HelloAck:
      print("%s HelloAck received\n", tag_.c_str());
      break;
    case MessageKind::Unknown:
      break;
  }
}

void PoolWorker::on_new_job(const std::string& text) {
  const NewJob j = read_new_job(text);
  if (j.difficulty_value == 0) {
    // The job in progress (if any) keeps its texts, so its shares keep their own job id.
    print("%s bad diff %s\n", tag_.c_str(), printable(j.difficulty).c_str());
    return;
  }
  job_.job_id = j.job_id;
  job_.difficulty = j.difficulty;
  job_.mining_hash = j.mining_hash;
  job_.header = j.header;
  target_from_difficulty(j.difficulty_value, job_.target.data());
  for (std::uint8_t& byte : job_.prefix) {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    byte = static_cast<std::uint8_t>(rng_);
  }
  if (device_ready_) {
    const Status s = session_->upload_job(job_upload());
    if (!s.ok()) device_failed(s);
  }
  job_.start_counter = 0;
  job_.have_job = true;
  // Pool text is shown with its control bytes escaped, so it cannot forge or wipe log lines.
  print("%s [job %s] diff=%s target=%02x%02x%02x%02x...\n", tag_.c_str(),
        printable(job_.job_id).c_str(),
        job_.difficulty.c_str(), job_.target[0], job_.target[1], job_.target[2], job_.target[3]);
}

void PoolWorker::on_set_difficulty(const std::string& text) {
  const SetDifficulty sd = read_set_difficulty(text);
  if (!sd.found) return;
  if (!sd.usable) {
    env_.print(set_difficulty_ignored_line(tag_, sd));
    return;
  }
  job_.difficulty = sd.difficulty;
  if (!job_.have_job) return;
  const std::uint64_t d = difficulty_u64(job_.difficulty);
  if (d >= 1) target_from_difficulty(d, job_.target.data());
  if (device_ready_) {
    const Status s = session_->upload_target(job_.target.data());
    if (!s.ok()) device_failed(s);
  }
}

// ---- Launches -------------------------------------------------------------------------------

void PoolWorker::mining_step(wsclient::WebSocket* ws) {
  const bool open = ws->getReadyState() == wsclient::WebSocket::OPEN;
  ws->poll(open && job_.have_job && !temp_paused_ ? 0 : kIdleWaitMs);
  ws->dispatch([this](const std::string& text) { on_message(text); });
  const bool hot = too_hot();
  // A connection that is closing has nothing more to mine for: its shares could not be sent.
  if (ws->getReadyState() != wsclient::WebSocket::OPEN) return;
  if (!job_.have_job) return;
  if (hot) return;
  if (!device_ready_) {
    recover_device();
    return;
  }

  const LaunchCopy copy{job_.job_id, job_.difficulty, job_.prefix, job_.header, job_.target};
  const LaunchPlan plan = layout_->plan(geometry_, per_thread_, job_.start_counter);
  LaunchOutcome outcome;
  const Status s = session_->mine(Grid{geometry_.blocks, geometry_.tpb}, plan.start, plan.count,
                                  per_thread_, env_.now_ns, &outcome);
  if (!s.ok()) {
    // Nothing was searched for sure: the job goes on from the same counter after recovery.
    device_failed(s);
    return;
  }
  device_attempt_ = 0;

  const double wall_ms = static_cast<double>(outcome.wall_ns) / 1e6;
  wall_ms_sum_ += wall_ms;
  gpu_ms_sum_ += outcome.gpu_ms;
  ++launches_since_;
  // Hits are rebuilt with the per_thread they were launched with.
  const unsigned int launched_per_thread = per_thread_;
  per_thread_ = layout_->tune(per_thread_, wall_ms, plan);

  const std::uint64_t start0 = job_.start_counter;
  total_launched_ += plan.count;
  rates_.add(env_.now_ns(), plan.count);
  job_.start_counter += plan.count;
  if (outcome.found.count >= 1) handle_shares(ws, copy, outcome.found, start0, launched_per_thread);
  statistics();
}

// The device's word is not taken on trust: every hit is hashed again on the host against the
// header and target its launch ran with.
bool PoolWorker::hit_checks_out(const LaunchCopy& copy, const std::uint8_t* nonce) {
  std::uint8_t hash[64];
  ref::hash_full(copy.header.data(), nonce, hash);
  if (ref::below_target(hash, copy.target.data())) return true;
  ++counters_.device_faults;
  print("%s device fault: nonce %s hashes to %s..., not below the target; not sent (faults=%d)\n",
        tag_.c_str(), to_hex(nonce, 64).c_str(), to_hex(hash, 16).c_str(),
        counters_.device_faults);
  return false;
}

void PoolWorker::handle_shares(wsclient::WebSocket* ws, const LaunchCopy& copy,
                               const FoundResult& found, std::uint64_t start0,
                               unsigned int per_thread) {
  // A NewJob or SetDifficulty that came during the launch is applied before any share goes out.
  pump(ws);
  const unsigned int slots = std::min<unsigned int>(found.count, FOUND_SLOTS);
  for (unsigned int k = 0; k < slots; ++k) {
    std::uint8_t nonce[64];
    std::memcpy(nonce, copy.prefix.data(), 32);
    layout_->nonce_low(found, k, start0, geometry_, per_thread, nonce + 32);
    const std::uint64_t hash_count = start0 + found.index[k];
    if (!hit_checks_out(copy, nonce)) continue;
    if (layout_->pump_between_shares()) pump(ws);

    const std::int64_t now = env_.now_ns();
    switch (filter_.judge(copy.difficulty, job_.difficulty, now)) {
      case ShareVerdict::stale:
        ++counters_.staleskip;  // the difficulty rose since the launch began
        continue;
      case ShareVerdict::throttled:
        ++counters_.throttled;
        continue;
      case ShareVerdict::send:
        break;
    }
    // Counted only when it was really queued on an open connection.
    if (!ws->send(job_result_message(copy.job_id, nonce_hex(nonce), hash_count))) continue;
    ws->poll(0);
    ++counters_.submitted;
    filter_.sent(now);
  }
}

void PoolWorker::statistics() {
  const std::int64_t now = env_.now_ns();
  const double since = seconds_between(last_stats_ns_, now);
  if (since < 5.0) return;
  const double elapsed = seconds_between(start_ns_, now);
  const double window = seconds_between(window_start_ns_, now);
  if (window >= 60.0) {
    rate60_ = static_cast<double>(total_launched_ - window_total_) / window / 1e6;
    window_total_ = total_launched_;
    window_start_ns_ = now;
  }
  const double launches = static_cast<double>(launches_since_);
  line_mhs_ = static_cast<double>(total_launched_) / elapsed / 1e6;
  print("%s [%.0fs] %.1f MH/s (60s: %.1f) | diff=%s submitted=%d accepted=%d rejected=%d "
        "staleskip=%d throttled=%d | pt=%u launches/s=%.1f gpu=%.1fms wall=%.1fms\n",
        tag_.c_str(), elapsed, static_cast<double>(total_launched_) / elapsed / 1e6, rate60_,
        job_.difficulty.c_str(), counters_.submitted, counters_.accepted, counters_.rejected,
        counters_.staleskip, counters_.throttled, per_thread_, launches / since,
        launches_since_ ? gpu_ms_sum_ / launches : 0.0,
        launches_since_ ? wall_ms_sum_ / launches : 0.0);
  gpu_ms_sum_ = 0.0;
  wall_ms_sum_ = 0.0;
  launches_since_ = 0;
  last_stats_ns_ = now;
  // With several GPUs, the last worker to complete a round of statistics lines adds the total.
  if (env_.board && env_.board->gpus() > 1) {
    publish();
    if (env_.board->statistics_printed(settings_.gpu)) env_.print(total_line(env_.board->snapshot()));
  }
}

// ---- Monitoring -----------------------------------------------------------------------------

bool PoolWorker::too_hot() {
  if (!env_.telemetry) return false;
  const std::int64_t now = env_.now_ns();
  if (sensors_read_ && seconds_between(last_sensor_ns_, now) < kSensorSeconds) return temp_paused_;
  if (!sensors_read_) last_telemetry_line_ns_ = now;
  sensors_read_ = true;
  last_sensor_ns_ = now;
  telemetry_ = env_.telemetry();

  if (seconds_between(last_telemetry_line_ns_, now) >= kTelemetryLineSeconds) {
    last_telemetry_line_ns_ = now;
    if (telemetry_.any()) env_.print(telemetry_line(tag_, telemetry_));
  }

  const int limit = settings_.temp_limit;
  // Without a reading the state stays as it is: a GPU paused for heat is not resumed blind.
  if (limit <= 0 || !telemetry_.temperature_c) return temp_paused_;
  const unsigned int t = *telemetry_.temperature_c;
  if (!temp_paused_ && t >= static_cast<unsigned int>(limit)) {
    temp_paused_ = true;
    ++temp_pauses_;
    print("%s temperature %uC reached the limit of %dC: launches paused\n", tag_.c_str(), t, limit);
  } else if (temp_paused_ && t + kTempHysteresis <= static_cast<unsigned int>(limit)) {
    temp_paused_ = false;
    ++temp_resumes_;
    print("%s temperature %uC: launches resumed\n", tag_.c_str(), t);
  }
  return temp_paused_;
}

void PoolWorker::publish() {
  if (!env_.board) return;
  const std::int64_t now = env_.now_ns();
  GpuStats s;
  s.gpu = settings_.gpu;
  if (session_) s.name = session_->info().name;
  s.url = urls_.url(url_index_);
  s.connection = connection_;
  s.rate_10s = rates_.rate(RateWindows::kWindows[0], now);
  s.rate_60s = rates_.rate(RateWindows::kWindows[1], now);
  s.rate_15m = rates_.rate(RateWindows::kWindows[2], now);
  s.line_mhs = line_mhs_;
  s.line60_mhs = rate60_;
  s.hashes = total_launched_;
  s.submitted = counters_.submitted;
  s.accepted = counters_.accepted;
  s.rejected = counters_.rejected;
  s.staleskip = counters_.staleskip;
  s.throttled = counters_.throttled;
  s.device_faults = counters_.device_faults;
  s.device_errors = counters_.device_errors;
  s.have_job = job_.have_job;
  if (job_.have_job) {
    s.job_id = job_.job_id;
    s.difficulty = job_.difficulty;
  }
  s.telemetry = telemetry_;
  s.temp_limit = settings_.temp_limit;
  s.temp_paused = temp_paused_;
  s.temp_pauses = temp_pauses_;
  s.temp_resumes = temp_resumes_;
  env_.board->publish(s);
}

}  // namespace tarn

void run_pool_device(int gpu, std::string url, std::string payout, std::string worker,
                     double submit_gap) {
  tarn::WorkerSettings settings;
  settings.gpu = gpu;
  settings.url = std::move(url);
  settings.payout = std::move(payout);
  settings.worker = std::move(worker);
  settings.submit_gap = submit_gap;
  run_pool_device_monitored(std::move(settings), nullptr, nullptr);
}

void run_pool_device_monitored(tarn::WorkerSettings settings, tarn::StatsBoard* board,
                               std::function<tarn::Telemetry()> telemetry) {
  tarn::WorkerEnv env = tarn::real_worker_env(settings.tls);
  env.board = board;
  env.telemetry = std::move(telemetry);
  tarn::PoolWorker w(std::move(settings), std::move(env));
  if (w.start()) w.run();
}
