#include "cli/banner.h"

#include <cstdio>

#include "gpu/device.h"
#include "util/version.h"

namespace {

// __DATE__ pads a one-digit day with a blank ("Dec  8 2026"); the banner shows "Dec 08 2026".
void build_date(char* out) {
  const char* d = __DATE__;
  for (int i = 0; i < 11; ++i) out[i] = d[i];
  if (out[4] == ' ') out[4] = '0';
  out[11] = '\0';
}

}  // namespace

const char* tarn_banner() {
  static char buf[128];
  char date[12];
  build_date(date);
  std::snprintf(buf, sizeof buf, "tarn-cuda %s (built %s, CUDA %d.%d)", TARN_VERSION, date,
                tarn::cuda_runtime_version() / 1000, (tarn::cuda_runtime_version() % 1000) / 10);
  return buf;
}
