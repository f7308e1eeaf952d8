// One pool worker: the device, the launches, and the messages that steer them.
#include "pool/worker.h"

#include <utility>

#include "pool/format_line.h"
#include "pool/launch_watchdog.h"
#include "pool/messages.h"
#include "pool/share_path.h"
#include "util/printable.h"

namespace tarn {
namespace {

// While there is no job, wait this long for the pool instead of spinning on poll(0).
constexpr int kIdleWaitMs = 50;

}  // namespace

WorkerGeometry worker_geometry(const DeviceInfo& info) {
  WorkerGeometry g;
  g.dir = info.direction_layout();
  g.tpb = info.mine_tpb();
  g.blocks = static_cast<unsigned int>(info.sm_count) * blocks_per_sm(g.tpb);
  g.first_per_thread = g.dir ? 64 : 16;
  return g;
}

PoolWorker::PoolWorker(WorkerSettings settings, WorkerEnv env)
    : settings_(std::move(settings)),
      env_(std::move(env)),
      tag_(format_line("[gpu%d]", settings_.gpu)),
      conn_(settings_.url) {
  heat_.limit = settings_.temp_limit;
}

PoolWorker::~PoolWorker() = default;

// ---- The device --------------------------------------------------------------------------------

bool PoolWorker::start() {
  // The ages the monitor shows count from here until the first job and share, and are shown
  // from now on, a device that will not open included.
  stats_.last_job_ns = stats_.last_accepted_ns = env_.now_ns();
  publish();
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
    env_.print(format_line("%s cannot open the device: %s — retrying in %ds\n", tag_.c_str(),
                           why.line().c_str(), delay));
    env_.sleep(delay);
  }
  const DeviceInfo& info = session_->info();
  geometry_ = worker_geometry(info);
  layout_ = make_launch_layout(geometry_.dir);
  per_thread_ = geometry_.first_per_thread;
  env_.print(format_line("%s %s (%d SMs, sm_%d%d, %d blocks x %d threads) worker=%s\n",
                         tag_.c_str(), info.name.c_str(), info.sm_count, info.major, info.minor,
                         static_cast<int>(geometry_.blocks), static_cast<int>(geometry_.tpb),
                         settings_.worker.c_str()));

  const std::int64_t now = env_.now_ns();
  rng_ = prefix_seed(settings_.gpu, now);
  start_stats(&stats_, now);
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
  env_.print(format_line("%s CUDA error: %s — re-initialising the device in %ds\n", tag_.c_str(),
                         s.line().c_str(), backoff_seconds(device_attempt_)));
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
  env_.print(tag_ + " device re-initialised\n");
}

// ---- Connections and messages ------------------------------------------------------------------

std::string PoolWorker::run() {
  ConnectionMiner miner;
  miner.fresh_job = [this] {
    job_ = PoolJob{};
    warned_blank_ = false;
  };
  miner.step = [this](wsclient::WebSocket* ws) { step(ws); };
  miner.message = [this](const std::string& text) { on_message(text); };
  miner.have_job = [this] { return job_.have_job; };
  miner.publish = [this] { publish(); };
  miner.counters = [this] { return counters_; };
  miner.listen = [this](wsclient::WebSocket* ws, int timeout_ms) {
    ws->poll(timeout_ms);
    ws->dispatch([this](const std::string& text) {
      // Stopping: a new job or difficulty would only touch a device that mines no more.
      const MessageKind kind = classify_message(text);
      if (kind == MessageKind::ShareAccepted || kind == MessageKind::ShareRejected) on_message(text);
    });
  };
  return run_connections(&conn_, settings_, tag_, env_, miner);
}

void PoolWorker::pump(wsclient::WebSocket* ws) {
  ws->poll(0);
  ws->dispatch([this](const std::string& text) { on_message(text); });
}

void PoolWorker::on_message(const std::string& text) {
  conn_.last_message_ns = env_.now_ns();
  // Once per connection: a pool that writes this way writes every message so.
  if (!warned_blank_ && has_blank_after_colon(text)) {
    warned_blank_ = true;
    env_.print(tag_ + " WARNING: a pool message has a blank after a colon; pool messages must be "
                      "compact JSON (\"key\":\"value\"), or their fields read as missing\n");
  }
  switch (classify_message(text)) {
    case MessageKind::NewJob: {
      const JobChange change = take_new_job(&job_, &rng_, read_new_job(text), tag_);
      apply(change);
      // A valid job, shown at once: the next publish may be a whole launch away.
      if (change.upload == DeviceUpdate::job) {
        stats_.last_job_ns = env_.now_ns();
        publish();
      }
      break;
    }
    case MessageKind::SetDifficulty:
      apply(take_set_difficulty(&job_, read_set_difficulty(text), tag_));
      break;
    case MessageKind::ShareAccepted:
      ++counters_.accepted;
      stats_.last_accepted_ns = env_.now_ns();
      publish();
      break;
    case MessageKind::ShareRejected:
      ++counters_.rejected;
      env_.print(format_line("%s   REJECTED: %s\n", tag_.c_str(),
                             printable_capped(read_reject_reason(text)).c_str()));
      break;
    case MessageKind::HelloAck:
      env_.print(tag_ + " HelloAck received\n");
      break;
    case MessageKind::Unknown:
      break;
  }
}

// The device follows the job before its line is printed.
void PoolWorker::apply(const JobChange& change) {
  if (device_ready_ && change.upload != DeviceUpdate::none) {
    const Status s = change.upload == DeviceUpdate::job ? session_->upload_job(job_upload())
                                                        : session_->upload_target(job_.target.data());
    if (!s.ok()) device_failed(s);
  }
  if (!change.line.empty()) env_.print(change.line);
}

// ---- Launches ----------------------------------------------------------------------------------

void PoolWorker::step(wsclient::WebSocket* ws) {
  const bool open = ws->getReadyState() == wsclient::WebSocket::OPEN;
  ws->poll(open && job_.have_job && !heat_.paused ? 0 : kIdleWaitMs);
  ws->dispatch([this](const std::string& text) { on_message(text); });
  const bool hot = heat_check(&heat_, env_.now_ns(), env_.telemetry, tag_, env_.print);
  // A connection that is closing has nothing more to mine for: its shares could not be sent.
  if (ws->getReadyState() != wsclient::WebSocket::OPEN) return;
  if (!job_.have_job) return;
  if (hot) return;
  if (!device_ready_) {
    recover_device();
    return;
  }
  launch(ws);
}

void PoolWorker::launch(wsclient::WebSocket* ws) {
  const LaunchCopy copy = launch_copy(job_);
  const LaunchPlan plan = layout_->plan(geometry_, per_thread_, job_.start_counter);
  LaunchOutcome outcome;
  if (env_.watchdog) env_.watchdog->started(settings_.gpu);
  const Status s = session_->mine(Grid{geometry_.blocks, geometry_.tpb}, plan.start, plan.count,
                                  per_thread_, env_.now_ns, &outcome);
  if (env_.watchdog) {
    const std::string warning = env_.watchdog->completed(settings_.gpu, s.ok());
    if (!warning.empty()) env_.print(warning);
  }
  if (!s.ok()) {
    // Nothing was searched for sure: the job goes on from the same counter after recovery.
    device_failed(s);
    return;
  }
  device_attempt_ = 0;

  const double wall_ms = static_cast<double>(outcome.wall_ns) / 1e6;
  const LaunchPlace place{layout_.get(), geometry_, per_thread_, job_.start_counter};
  per_thread_ = layout_->tune(per_thread_, wall_ms, plan);
  count_launch(&stats_, env_.now_ns(), plan.count, outcome.gpu_ms, wall_ms);
  job_.start_counter += plan.count;
  if (outcome.found.count >= 1) {
    ShareLink link;
    link.pump = [this, ws] { pump(ws); };
    link.send = [ws](const std::string& message) {
      if (!ws->send(message)) return false;
      ws->poll(0);
      return true;
    };
    link.now_ns = env_.now_ns;
    link.print = env_.print;
    submit_hits(copy, outcome.found, place, job_, &filter_, &counters_, tag_, link);
  }
  statistics();
}

// ---- Statistics and the monitor ----------------------------------------------------------------

void PoolWorker::statistics() {
  const std::string line = statistics_line(&stats_, env_.now_ns(), tag_, job_.difficulty,
                                           counters_, per_thread_);
  if (line.empty()) return;
  env_.print(line);
  // With several GPUs, the last worker to complete a round of statistics lines adds the total.
  if (env_.board && env_.board->gpus() > 1) {
    publish();
    if (env_.board->statistics_printed(settings_.gpu)) env_.print(total_line(env_.board->snapshot()));
  }
}

void PoolWorker::publish() {
  if (!env_.board) return;
  GpuStats s;
  s.gpu = settings_.gpu;
  if (session_) s.name = session_->info().name;
  s.url = conn_.urls.url(conn_.url_index);
  s.connection = conn_.state;
  s.url_index = conn_.url_index;
  s.backup = conn_.urls.current() != 0;
  s.reconnects = conn_.opened > 1 ? conn_.opened - 1 : 0;
  s.failovers = conn_.urls.switches();
  s.shares = counters_;
  s.have_job = job_.have_job;
  if (job_.have_job) {
    s.job_id = capped(job_.job_id);  // the API shows pool text capped, like the log
    s.difficulty = capped(job_.difficulty);
  }
  publish_rates(stats_, env_.now_ns(), &s);
  publish_heat(heat_, &s);
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

std::string run_pool_device_monitored(tarn::WorkerSettings settings, tarn::StatsBoard* board,
                                      std::function<tarn::Telemetry()> telemetry,
                                      tarn::LaunchWatchdog* watchdog) {
  tarn::WorkerEnv env = tarn::real_worker_env(settings.tls);
  env.board = board;
  env.telemetry = std::move(telemetry);
  env.watchdog = watchdog;
  tarn::PoolWorker w(std::move(settings), std::move(env));
  return w.start() ? w.run() : std::string();
}
