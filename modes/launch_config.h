// Launch geometry of the mining modes, derived from the device generation.
#pragma once

#include <cstdint>

#include "gpu/device.h"
#include "search/launch_layout.h"

namespace tarn {

struct MineConfig : LaunchGeometry {
  unsigned int per_thread = 0;
  uint64_t span() const { return static_cast<uint64_t>(tpb) * per_thread; }
  uint64_t per_launch() const { return span() * blocks; }
};

// The solo-mining geometry: 512 threads x 16 blocks per SM x 64 from 12.0 on, else 256 x 32 x 32.
MineConfig solo_config(const DeviceInfo& info);

// The solo nonce prefix: byte i is (13 i mod 256) xor 0xA0.
void solo_nonce_prefix(unsigned char* prefix);

}  // namespace tarn
