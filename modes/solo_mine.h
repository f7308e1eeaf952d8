// The "mine" mode's body on a given device and geometry, so tests can run a small grid or a
// faulty device.
#pragma once

#include <cstdint>
#include <cstdio>

#include "gpu/device.h"
#include "modes/launch_config.h"

namespace tarn {

struct MineRequest {
  unsigned char header[32];
  const char* header_text = "";  // as the user wrote it, for the FOUND lines
  uint64_t difficulty = 0;
  double secs = 30.0;
};

// Checks the header and difficulty words; false after one line on err.
bool read_mine_request(const char* hdr, const char* difficulty, double secs, MineRequest* req,
                       FILE* err);

// Searches until a solution or secs; returns 0 (found), 2 (none in time) or 1 (failure).
int run_mine_on(Device* dev, const MineConfig& cfg, const MineRequest& req, FILE* out, FILE* err);

}  // namespace tarn
