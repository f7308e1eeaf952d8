#include "worker_harness.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gpu/host_kernels.h"
#include "pool/json_str.h"

namespace pooltest {

// ---- ScriptedSocket --------------------------------------------------------------------------

void ScriptedSocket::poll(int timeout) {
  ++polls;
  if (on_poll) on_poll(*this);
  if (clock_ns && timeout > 0 && (state == CLOSED || wire_.empty()))
    *clock_ns += static_cast<std::int64_t>(timeout) * 1000000;
  if (state == CLOSED) return;
  while (!wire_.empty()) {
    read_.push_back(wire_.front());
    wire_.pop_front();
  }
}

bool ScriptedSocket::send(const std::string& message) {
  if (state != OPEN) return false;
  sent.push_back(message);
  return true;
}

void ScriptedSocket::close() {
  closed_by_client = true;
  state = CLOSED;
}

void ScriptedSocket::_dispatch(wsclient::Callback_Imp& callback) {
  while (!read_.empty()) {
    const std::string m = read_.front();
    read_.pop_front();
    callback(m);
  }
}

// ---- TestDevice ------------------------------------------------------------------------------

TestDevice::TestDevice(int cc, int sm_count, std::unique_ptr<tarn::Device> inner)
    : inner_(std::move(inner)) {
  info_.name = "test device";
  info_.major = cc / 10;
  info_.minor = cc % 10;
  info_.sm_count = sm_count;
}

tarn::Status TestDevice::alloc(size_t bytes, void** out) {
  *out = nullptr;
  tarn::Status s = injected("alloc");
  return s.ok() ? inner_->alloc(bytes, out) : s;
}

tarn::Status TestDevice::copy_in(void* dst, const void* src, size_t bytes) {
  tarn::Status s = injected("copy_in");
  return s.ok() ? inner_->copy_in(dst, src, bytes) : s;
}

tarn::Status TestDevice::copy_out(void* dst, const void* src, size_t bytes) {
  tarn::Status s = injected("copy_out");
  return s.ok() ? inner_->copy_out(dst, src, bytes) : s;
}

tarn::Status TestDevice::fill(void* dst, int byte, size_t bytes) {
  tarn::Status s = injected("fill");
  return s.ok() ? inner_->fill(dst, byte, bytes) : s;
}

tarn::Status TestDevice::synchronize() {
  tarn::Status s = injected("synchronize");
  return s.ok() ? inner_->synchronize() : s;
}

tarn::Status TestDevice::event_create(std::unique_ptr<tarn::Event>* e) {
  tarn::Status s = injected("event_create");
  return s.ok() ? inner_->event_create(e) : s;
}

tarn::Status TestDevice::event_record(tarn::Event& e) {
  tarn::Status s = injected("event_record");
  return s.ok() ? inner_->event_record(e) : s;
}

tarn::Status TestDevice::event_elapsed_ms(const tarn::Event& start, const tarn::Event& stop,
                                          float* ms) {
  tarn::Status s = injected("event_elapsed_ms");
  if (!s.ok()) return s;
  s = inner_->event_elapsed_ms(start, stop, ms);
  if (gpu_ms >= 0.0f) *ms = gpu_ms;
  return s;
}

tarn::Status TestDevice::launch(const tarn::KernelLaunch& kernel) {
  if (const auto* m = std::get_if<tarn::MidstateLaunch>(&kernel)) {
    tarn::Status s = injected("launch_midstate");
    if (!s.ok()) return s;
    ++midstates;
    return tarn::host::launch(*m, info_.cc());
  }
  const auto* l = std::get_if<tarn::MineLaunch>(&kernel);
  if (!l) return tarn::status_error(tarn::kernel_name(kernel), "not used by the pool worker");
  tarn::Status s = injected("launch_mine");
  if (!s.ok()) return s;
  LaunchRecord r{l->grid.blocks, l->grid.tpb, l->per_thread, l->count, {}, {}};
  std::memcpy(r.start.data(), l->start, 32);
  std::memcpy(r.target.data(), l->target, 64);
  launches.push_back(r);
  tarn::MineLaunch capped = *l;
  capped.count = std::min(l->count, count_cap);
  s = tarn::host::launch(capped, info_.cc());
  if (after_launch) after_launch(l->result);
  return s;
}

// ---- Harness ---------------------------------------------------------------------------------

Harness::Harness(int cc_, int sm_count_) : cc(cc_), sm_count(sm_count_) {
  tarn::use_host_backend(120);
}

ScriptedSocket& Harness::add_socket() {
  sockets_.push_back(std::make_unique<ScriptedSocket>());
  sockets_.back()->clock_ns = &now_ns;
  return *sockets_.back();
}

tarn::WorkerEnv Harness::env() {
  tarn::WorkerEnv e;
  e.now_ns = [this] { return now_ns; };
  e.sleep = [this](double s) {
    sleeps.push_back(s);
    now_ns += static_cast<std::int64_t>(s * 1e9);
    if (max_sleeps > 0 && static_cast<int>(sleeps.size()) >= max_sleeps) stop = true;
  };
  e.connect = [this](const std::string& url, std::string*) -> wsclient::WebSocket* {
    connect_urls.push_back(url);
    if (++connects > 1000) stop = true;  // a runaway loop ends the test instead of hanging it
    if (on_connect) on_connect();
    if (refusals_ > 0) {
      --refusals_;
      return nullptr;
    }
    if (next_socket_ >= sockets_.size()) return nullptr;
    return sockets_[next_socket_++].get();
  };
  e.discard = [](wsclient::WebSocket*) {};  // the harness owns its sockets
  e.open_device = [this](int gpu, tarn::Status* why) -> std::unique_ptr<tarn::Device> {
    std::unique_ptr<tarn::Device> inner = tarn::backend().open(gpu, why);
    if (!inner) return nullptr;
    auto d = std::make_unique<TestDevice>(cc, sm_count, std::move(inner));
    d->fault = device_fault;
    device = d.get();
    return d;
  };
  e.print = [this](const std::string& line) { lines.push_back(line); };
  e.stop_requested = [this] { return stop; };
  return e;
}

tarn::WorkerSettings Harness::settings(double submit_gap) const {
  tarn::WorkerSettings s;
  s.gpu = 0;
  s.url = "ws://pool.test/";
  s.payout = "P";
  s.worker = "W";
  s.submit_gap = submit_gap;
  return s;
}

int Harness::count_lines(const std::string& part) const {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(part) != std::string::npos;
  }));
}

bool Harness::has_line(const std::string& whole) const {
  return std::find(lines.begin(), lines.end(), whole) != lines.end();
}

// ---- Messages --------------------------------------------------------------------------------

std::string new_job(const std::string& id, const std::string& difficulty_json,
                    const std::string& header_hex) {
  return "{\"NewJob\":{\"job_id\":\"" + id + "\",\"difficulty\":" + difficulty_json +
         ",\"mining_hash\":\"" + header_hex + "\"}}";
}

std::string set_difficulty(const std::string& number) {
  return "{\"SetDifficulty\":{\"share_difficulty\":" + number + "}}";
}

bool parse_job_result(const std::string& message, SentShare* out) {
  if (message.find("\"JobResult\"") == std::string::npos) return false;
  out->job_id = json_str(message, "job_id");
  const std::string hex = json_str(message, "nonce");
  if (hex.size() != 128 || json_str(message, "work") != hex) return false;
  for (int i = 0; i < 64; ++i) {
    out->nonce[i] = static_cast<std::uint8_t>(std::strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
  }
  const std::size_t at = message.find("\"hash_count\":");
  if (at == std::string::npos) return false;
  out->hash_count = std::strtoull(message.c_str() + at + 13, nullptr, 10);
  return true;
}

std::string json_job_id(const std::string& message) { return json_str(message, "job_id"); }

std::vector<SentShare> shares_of(const ScriptedSocket& s) {
  std::vector<SentShare> shares;
  for (const std::string& m : s.sent) {
    SentShare share;
    if (parse_job_result(m, &share)) shares.push_back(share);
  }
  return shares;
}

}  // namespace pooltest
