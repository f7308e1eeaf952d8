// The device layer: everything the modes ask of a GPU, served by the CUDA runtime or by the
// host emulation (--cpu). Modes never include CUDA headers or kernel code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "gpu/launch_bounds.h"
#include "gpu/launches.h"

namespace tarn {

// Success, or the step that failed (a runtime call, a kernel's launch) and the runtime's words
// for the failure, kept apart so a report can print either.
struct Status {
  std::string step;  // empty on success
  std::string text;
  bool ok() const { return step.empty(); }
  // "<step>: <text>", as failure lines print it; empty on success.
  std::string line() const { return ok() ? std::string() : step + ": " + text; }
};

Status status_error(const char* step, const std::string& text);

struct DeviceInfo {
  std::string name;
  int major = 0;
  int minor = 0;
  int sm_count = 0;
  unsigned long long memory_bytes = 0;  // global memory (host RAM for the emulation)
  std::string pci_bus_id;               // "0000:01:00.0"; "host" for the emulation
  int cc() const { return major * 100 + minor * 10; }
  bool direction_layout() const { return tarn::direction_layout(cc()); }
  unsigned int mine_tpb() const { return policy_for(cc()).mine_tpb; }
};

// A point on the device's timeline, of the kind its backend makes; it releases itself, so no
// path leaks one or frees one twice.
class Event {
 public:
  virtual ~Event() = default;
};

// One device, opened (selected) by the thread that uses it.
class Device {
 public:
  virtual ~Device() = default;
  virtual const DeviceInfo& info() const = 0;

  virtual Status alloc(size_t bytes, void** out) = 0;
  virtual void release(void* p) = 0;
  virtual Status copy_in(void* dst, const void* src, size_t bytes) = 0;   // host to device
  virtual Status copy_out(void* dst, const void* src, size_t bytes) = 0;  // device to host
  virtual Status fill(void* dst, int byte, size_t bytes) = 0;
  virtual Status synchronize() = 0;
  // Destroys the device's context after a failure that leaves it unusable (a sticky error);
  // every buffer and event of the device must be released first. The host has nothing to reset.
  virtual Status reset() { return Status{}; }

  // An event of this device, to be released before the device is reset.
  virtual Status event_create(std::unique_ptr<Event>* out) = 0;
  virtual Status event_record(Event& e) = 0;
  virtual Status event_elapsed_ms(const Event& start, const Event& stop, float* ms) = 0;

  // Runs one kernel; returns the launch error only, completion is synchronize()'s.
  virtual Status launch(const KernelLaunch& kernel) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Number of devices; 0 with the reason in *why when there are none or the query failed.
  virtual int device_count(Status* why) = 0;
  // Makes `index` the calling thread's device and returns it.
  virtual std::unique_ptr<Device> open(int index, Status* why) = 0;
};

// The process-wide backend: CUDA unless use_host_backend() was called first (the --cpu option).
Backend& backend();
void use_host_backend(int cc);

// The CUDA runtime version the program was built with (CUDART_VERSION: major x 1000 + minor x 10);
// 0 in a build without the CUDA backend.
int cuda_runtime_version();

// One line for "no usable device": names the reason and the --cpu option.
std::string no_device_line(const Status& why);

// The reason device_count gives when the NVIDIA driver is not installed at all.
extern const char kNoNvidiaDriver[];

// Device memory owned for a scope.
template <class T>
class DeviceBuffer {
 public:
  DeviceBuffer() = default;
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;
  ~DeviceBuffer() { reset(); }

  Status allocate(Device* dev, size_t count) {
    reset();
    dev_ = dev;
    void* p = nullptr;
    Status s = dev->alloc(count * sizeof(T), &p);
    ptr_ = static_cast<T*>(p);
    return s;
  }
  void reset() {
    if (dev_ && ptr_) dev_->release(ptr_);
    ptr_ = nullptr;
  }
  T* get() const { return ptr_; }

 private:
  Device* dev_ = nullptr;
  T* ptr_ = nullptr;
};

}  // namespace tarn
