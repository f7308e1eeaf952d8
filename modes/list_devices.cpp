// "--list-devices": one line per device, so a user can pick them for --devices.
#include <cstdio>

#include "gpu/device.h"
#include "modes/modes.h"

int run_list_devices() {
  tarn::Status why;
  const int count = tarn::backend().device_count(&why);
  if (count < 1) {
    std::printf("no CUDA devices found\n");
    std::fprintf(stderr, "list-devices: %s\n", tarn::no_device_line(why).c_str());
    return 1;
  }
  int rc = 0;
  for (int i = 0; i < count; ++i) {
    tarn::Status s;
    std::unique_ptr<tarn::Device> dev = tarn::backend().open(i, &s);
    if (!dev) {
      std::printf("%d: cannot open: %s\n", i, s.line().c_str());
      rc = 1;
      continue;
    }
    const tarn::DeviceInfo& info = dev->info();
    std::printf("%d: %s | cc %d.%d | %d SMs | %llu MiB | bus %s\n", i, info.name.c_str(), info.major,
                info.minor, info.sm_count, info.memory_bytes >> 20, info.pci_bus_id.c_str());
  }
  return rc;
}
