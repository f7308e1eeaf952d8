// Drives a PoolWorker without a GPU, a pool or real time: a scripted connection, a fake clock and
// sleep, and a host-emulated device whose calls can be watched, slowed, cut short or failed.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gpu/device.h"
#include "pool/worker.h"
#include "pool/worker_env.h"
#include "ws/websocket.h"

namespace pooltest {

// A connection whose incoming messages the test places on the wire.
class ScriptedSocket : public wsclient::WebSocket {
 public:
  void arrive(const std::string& message) { wire_.push_back(message); }
  // Runs at the start of every poll, before the wire is read.
  std::function<void(ScriptedSocket&)> on_poll;

  std::vector<std::string> sent;  // text messages, in order
  ReadyState state = OPEN;
  bool closed_by_client = false;
  int polls = 0;
  // The fake clock: a poll that finds nothing to read waits out its timeout on it.
  std::int64_t* clock_ns = nullptr;

  void poll(int timeout) override;
  bool send(const std::string& message) override;
  bool sendBinary(const std::string&) override { return false; }
  bool sendBinary(const std::vector<uint8_t>&) override { return false; }
  void sendPing() override {}
  void close() override;
  ReadyState getReadyState() const override { return state; }
  void _dispatch(wsclient::Callback_Imp& callback) override;
  void _dispatchBinary(wsclient::BytesCallback_Imp&) override {}

 private:
  std::deque<std::string> wire_;  // sent by the pool, not yet read by poll
  std::deque<std::string> read_;  // read by poll, not yet dispatched
};

struct LaunchRecord {
  unsigned int blocks, tpb, per_thread;
  unsigned long long count;              // as the worker asked
  std::array<unsigned char, 32> start;   // start block at launch time
  std::array<unsigned char, 64> target;  // device target at launch time
};

// The host backend's device for memory, copies and events; mine_kernel and midstate_kernel run
// the host kernel bodies for the compute capability this device claims.
class TestDevice : public tarn::Device {
 public:
  TestDevice(int cc, int sm_count, std::unique_ptr<tarn::Device> inner);

  // Called first by every call; a non-empty status makes that call fail with it.
  std::function<tarn::Status(const char* call)> fault;
  // Runs after each mining launch (the clock may move, messages may arrive, hits may be forged).
  std::function<void(FoundResult* found)> after_launch;
  unsigned long long count_cap = 512;  // indices evaluated per launch at most, to keep tests fast
  float gpu_ms = -1.0f;                // reported GPU time per launch when >= 0
  std::vector<LaunchRecord> launches;
  int midstates = 0;
  int resets = 0;

  const tarn::DeviceInfo& info() const override { return info_; }
  tarn::Status alloc(size_t bytes, void** out) override;
  void release(void* p) override { inner_->release(p); }
  tarn::Status copy_in(void* dst, const void* src, size_t bytes) override;
  tarn::Status copy_out(void* dst, const void* src, size_t bytes) override;
  tarn::Status fill(void* dst, int byte, size_t bytes) override;
  tarn::Status synchronize() override;
  tarn::Status reset() override {
    ++resets;
    return tarn::Status{};
  }
  tarn::Status event_create(std::unique_ptr<tarn::Event>* e) override;
  tarn::Status event_record(tarn::Event& e) override;
  tarn::Status event_elapsed_ms(const tarn::Event& start, const tarn::Event& stop,
                                float* ms) override;
  // midstate_kernel and mine_kernel only; mining launches are recorded and capped.
  tarn::Status launch(const tarn::KernelLaunch& kernel) override;

 private:
  tarn::Status injected(const char* call) { return fault ? fault(call) : tarn::Status{}; }
  tarn::DeviceInfo info_;
  std::unique_ptr<tarn::Device> inner_;
};

// Everything a worker meets, fake; sockets and the device stay inspectable.
struct Harness {
  explicit Harness(int cc = 120, int sm_count = 1);

  std::int64_t now_ns = 1700000000000000000;
  std::vector<double> sleeps;
  std::vector<std::string> lines;
  bool stop = false;
  int max_sleeps = 0;  // when > 0, the stop comes with that many sleeps
  int connects = 0;
  std::vector<std::string> connect_urls;  // in the order asked
  std::function<void()> on_connect;  // runs inside every connect, before its answer
  int cc;
  int sm_count;
  TestDevice* device = nullptr;  // owned by the worker once opened
  // Installed on the device when it is opened, so it also covers the start-up allocations.
  std::function<tarn::Status(const char* call)> device_fault;

  // Connections handed out in order; null once they are used up (a refused connect).
  ScriptedSocket& add_socket();
  void refuse_next(int n) { refusals_ += n; }

  tarn::WorkerEnv env();
  tarn::WorkerSettings settings(double submit_gap = 0.0) const;

  int count_lines(const std::string& part) const;
  bool has_line(const std::string& whole) const;

 private:
  std::vector<std::unique_ptr<ScriptedSocket>> sockets_;
  size_t next_socket_ = 0;
  int refusals_ = 0;
};

std::string new_job(const std::string& id, const std::string& difficulty_json,
                    const std::string& header_hex = std::string(64, 'a'));
std::string set_difficulty(const std::string& number);

// Fields of a sent JobResult.
struct SentShare {
  std::string job_id;
  std::array<std::uint8_t, 64> nonce;
  std::uint64_t hash_count;
};
bool parse_job_result(const std::string& message, SentShare* out);
// The job_id text of a message, as a pool reads it.
std::string json_job_id(const std::string& message);

// Sent JobResults of a socket (the Hello is skipped).
std::vector<SentShare> shares_of(const ScriptedSocket& s);

}  // namespace pooltest
