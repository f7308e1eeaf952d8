// A miner's hold on its GPU: the search buffers and events, a job's upload with its midstate,
// one timed mining launch, and the rebuild after a failure. Used by the solo and pool modes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "gpu/device.h"
#include "search/found_result.h"

namespace tarn {

// The job as the device needs it.
struct JobUpload {
  const std::uint8_t* header;  // 32 bytes
  const std::uint8_t* prefix;  // 32 bytes
  const std::uint8_t* target;  // 64 bytes
};

// What one launch reported; meaningful only when its status was ok.
struct LaunchOutcome {
  FoundResult found{};
  float gpu_ms = 0.0f;
  std::int64_t wall_ns = 0;  // from just before the launch to the end of the wait
};

class DeviceSession {
 public:
  // The device is not owned and must outlive the session.
  explicit DeviceSession(Device* dev);
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  const DeviceInfo& info() const { return dev_->info(); }

  // Buffers and events, released first if held.
  Status allocate();
  void release();
  // Header, prefix and target, then the midstate.
  Status upload_job(const JobUpload& job);
  Status upload_target(const std::uint8_t* target);
  // Clears the hit record, places the start block, launches and waits; now_ns times the wall.
  Status mine(const Grid& grid, const std::array<unsigned char, 32>& start, std::uint64_t count,
              unsigned int per_thread, const std::function<std::int64_t()>& now_ns,
              LaunchOutcome* out);
  // After a failure nothing on the device is trusted: drop everything, reset the context (a
  // sticky error survives in it), allocate again and upload the job when there is one.
  Status rebuild(const JobUpload* job);

 private:
  Device* dev_;
  DeviceBuffer<unsigned char> d_header_, d_prefix_, d_start_, d_target_;
  DeviceBuffer<std::uint64_t> d_midstate_;
  DeviceBuffer<FoundResult> d_found_;
  std::unique_ptr<Event> start_event_, stop_event_;
};

}  // namespace tarn
