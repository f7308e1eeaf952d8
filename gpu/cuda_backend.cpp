// The device layer on the CUDA runtime.
#include <cuda_runtime_api.h>
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>

#include "gpu/backends.h"
#include "gpu/cuda_launch.h"

namespace tarn {
namespace {

Status check(const char* step, cudaError_t e) {
  if (e == cudaSuccess) return Status{};
  return status_error(step, cudaGetErrorString(e));
}

Status check(const char* step, int e) { return check(step, static_cast<cudaError_t>(e)); }

// Whether the driver library that the runtime loads is installed at all.
bool driver_library_present() {
  void* lib = dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (!lib) return false;
  dlclose(lib);
  return true;
}

class CudaEvent final : public Event {
 public:
  explicit CudaEvent(cudaEvent_t e) : e_(e) {}
  CudaEvent(const CudaEvent&) = delete;
  CudaEvent& operator=(const CudaEvent&) = delete;
  ~CudaEvent() override { cudaEventDestroy(e_); }
  cudaEvent_t get() const { return e_; }

 private:
  cudaEvent_t e_;
};

class CudaDevice final : public Device {
 public:
  explicit CudaDevice(DeviceInfo info) : info_(std::move(info)) {}
  const DeviceInfo& info() const override { return info_; }
  Status alloc(size_t bytes, void** out) override { return check("cudaMalloc", cudaMalloc(out, bytes)); }
  void release(void* p) override { cudaFree(p); }
  Status copy_in(void* dst, const void* src, size_t bytes) override {
    return check("cudaMemcpy to device", cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice));
  }
  Status copy_out(void* dst, const void* src, size_t bytes) override {
    return check("cudaMemcpy from device", cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost));
  }
  Status fill(void* dst, int byte, size_t bytes) override {
    return check("cudaMemset", cudaMemset(dst, byte, bytes));
  }
  Status synchronize() override { return check("cudaDeviceSynchronize", cudaDeviceSynchronize()); }
  Status reset() override {
    Status s = check("cudaDeviceReset", cudaDeviceReset());
    // The next context is created on first use; it takes the same blocking-sync flag.
    if (s.ok()) cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync);
    cudaGetLastError();
    return s;
  }

  Status event_create(std::unique_ptr<Event>* out) override {
    cudaEvent_t ev = nullptr;
    Status s = check("cudaEventCreate", cudaEventCreate(&ev));
    if (s.ok()) *out = std::make_unique<CudaEvent>(ev);
    return s;
  }
  Status event_record(Event& e) override {
    return check("cudaEventRecord", cudaEventRecord(static_cast<CudaEvent&>(e).get()));
  }
  Status event_elapsed_ms(const Event& start, const Event& stop, float* ms) override {
    return check("cudaEventElapsedTime",
                 cudaEventElapsedTime(ms, static_cast<const CudaEvent&>(start).get(),
                                      static_cast<const CudaEvent&>(stop).get()));
  }

  Status launch(const KernelLaunch& kernel) override {
    const int e = std::visit([](const auto& l) { return cuda_launch(l); }, kernel);
    if (e == cudaSuccess) return Status{};
    return check((std::string(kernel_name(kernel)) + " launch").c_str(), e);
  }

 private:
  DeviceInfo info_;
};

class CudaBackend final : public Backend {
 public:
  int device_count(Status* why) override {
    int n = 0;
    const cudaError_t e = cudaGetDeviceCount(&n);
    if (e != cudaSuccess) {
      cudaGetLastError();  // clear the sticky error so later calls report their own
      // Without the driver library the runtime only says the driver "is insufficient".
      *why = driver_library_present() ? check("cudaGetDeviceCount", e)
                                      : status_error("cudaGetDeviceCount", kNoNvidiaDriver);
      return 0;
    }
    if (n < 1) *why = status_error("cudaGetDeviceCount", "no CUDA-capable device is detected");
    return n;
  }

  std::unique_ptr<Device> open(int index, Status* why) override {
    Status s = check("cudaSetDevice", cudaSetDevice(index));
    // Flags can only be set before the context exists; a second open on the thread is fine.
    if (s.ok() && cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync) != cudaSuccess)
      cudaGetLastError();
    cudaDeviceProp prop{};
    if (s.ok()) s = check("cudaGetDeviceProperties", cudaGetDeviceProperties(&prop, index));
    if (!s.ok()) {
      *why = s;
      return nullptr;
    }
    DeviceInfo info;
    info.name = prop.name;
    info.major = prop.major;
    info.minor = prop.minor;
    info.sm_count = prop.multiProcessorCount;
    info.memory_bytes = prop.totalGlobalMem;
    char bus[32];
    std::snprintf(bus, sizeof bus, "%04x:%02x:%02x.0", static_cast<unsigned>(prop.pciDomainID),
                  static_cast<unsigned>(prop.pciBusID), static_cast<unsigned>(prop.pciDeviceID));
    info.pci_bus_id = bus;
    return std::make_unique<CudaDevice>(std::move(info));
  }
};

}  // namespace

int cuda_runtime_version() { return CUDART_VERSION; }

Backend* cuda_backend() {
  static CudaBackend b;
  return &b;
}

}  // namespace tarn
