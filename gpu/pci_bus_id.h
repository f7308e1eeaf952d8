// The PCI bus id of a CUDA device, the one name of a GPU that CUDA and NVML agree on.
#pragma once

#include <string>

namespace tarn {

// "0000:01:00.0", or empty when the runtime cannot say (no driver, bad ordinal).
std::string cuda_pci_bus_id(int ordinal);

}  // namespace tarn
