// The device layer emulated on the host: memory is host memory, launches run the kernel bodies
// on CPU threads before returning, and the virtual device's compute capability picks the layout.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "gpu/backends.h"
#include "gpu/host_kernels.h"

namespace tarn {
namespace {

constexpr int kHostDevices = 2;

using Clock = std::chrono::steady_clock;

// Launches complete before they return, so the time of recording is the time on the device.
struct HostEvent final : Event {
  Clock::time_point at = Clock::now();
};

class HostDevice final : public Device {
 public:
  explicit HostDevice(DeviceInfo info) : info_(std::move(info)) {}
  const DeviceInfo& info() const override { return info_; }

  Status alloc(size_t bytes, void** out) override {
    *out = ::operator new(bytes == 0 ? 1 : bytes, std::nothrow);
    return *out ? Status{} : status_error("cudaMalloc", "out of memory");
  }
  void release(void* p) override { ::operator delete(p); }
  Status copy_in(void* dst, const void* src, size_t bytes) override {
    std::memcpy(dst, src, bytes);
    return Status{};
  }
  Status copy_out(void* dst, const void* src, size_t bytes) override {
    std::memcpy(dst, src, bytes);
    return Status{};
  }
  Status fill(void* dst, int byte, size_t bytes) override {
    std::memset(dst, byte, bytes);
    return Status{};
  }
  Status synchronize() override { return Status{}; }  // launches complete before returning

  Status event_create(std::unique_ptr<Event>* out) override {
    *out = std::make_unique<HostEvent>();
    return Status{};
  }
  Status event_record(Event& e) override {
    static_cast<HostEvent&>(e).at = Clock::now();
    return Status{};
  }
  Status event_elapsed_ms(const Event& start, const Event& stop, float* ms) override {
    const auto d = static_cast<const HostEvent&>(stop).at - static_cast<const HostEvent&>(start).at;
    *ms = std::chrono::duration<float, std::milli>(d).count();
    return Status{};
  }

  Status launch(const KernelLaunch& kernel) override { return host::launch(kernel, info_.cc()); }

 private:
  DeviceInfo info_;
};

class HostBackend final : public Backend {
 public:
  void set_cc(int cc) { cc_ = cc; }
  int device_count(Status*) override { return kHostDevices; }
  std::unique_ptr<Device> open(int index, Status* why) override {
    if (index < 0 || index >= kHostDevices) {
      *why = status_error("cudaSetDevice", "invalid device ordinal");
      return nullptr;
    }
    const unsigned int cores = host::host_cores();
    DeviceInfo info;
    info.major = cc_ / 10;
    info.minor = cc_ % 10;
    info.sm_count = static_cast<int>(cores);
    // The emulation's memory is the host's.
    info.memory_bytes = static_cast<unsigned long long>(sysconf(_SC_PHYS_PAGES)) *
                        static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
    info.pci_bus_id = "host";
    info.name = "host CPU emulation, cc " + std::to_string(info.major) + "." +
                std::to_string(info.minor) + ", " + std::to_string(cores) + " threads";
    return std::make_unique<HostDevice>(std::move(info));
  }
 private:
  int cc_ = 120;
};

}  // namespace

Backend* host_backend(int cc) {
  static HostBackend b;
  b.set_cc(cc);
  return &b;
}

}  // namespace tarn
