// The CUDA part's stand-in for builds without it (the sanitizer build): no CUDA device, with a
// reason that says so, so every mode points to --cpu as it does on a machine without a GPU.
#include "gpu/backends.h"
#include "gpu/pci_bus_id.h"

namespace tarn {
namespace {

Status not_built() {
  return status_error("CUDA backend",
                      "not built into this sanitizer build, which runs the host emulation only");
}

class NoCudaBackend final : public Backend {
 public:
  int device_count(Status* why) override {
    *why = not_built();
    return 0;
  }
  std::unique_ptr<Device> open(int, Status* why) override {
    *why = not_built();
    return nullptr;
  }
};

}  // namespace

int cuda_runtime_version() { return 0; }

std::string cuda_pci_bus_id(int) { return std::string(); }

Backend* cuda_backend() {
  static NoCudaBackend b;
  return &b;
}

}  // namespace tarn
