#include "gpu/pci_bus_id.h"

#include <cuda_runtime_api.h>

namespace tarn {

std::string cuda_pci_bus_id(int ordinal) {
  char id[32] = {0};
  if (cudaDeviceGetPCIBusId(id, static_cast<int>(sizeof id), ordinal) != cudaSuccess) {
    cudaGetLastError();  // not sticky, but leave nothing behind for the next check
    return std::string();
  }
  return id;
}

}  // namespace tarn
