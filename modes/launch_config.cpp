#include "modes/launch_config.h"

namespace tarn {

MineConfig solo_config(const DeviceInfo& info) {
  MineConfig c;
  c.dir = info.direction_layout();
  c.tpb = info.mine_tpb();
  c.blocks = blocks_per_sm(c.tpb) * static_cast<unsigned int>(info.sm_count);
  c.per_thread = c.dir ? 64 : 32;
  return c;
}

void solo_nonce_prefix(unsigned char* prefix) {
  for (int i = 0; i < 32; ++i) prefix[i] = static_cast<unsigned char>((13 * i) % 256 ^ 0xA0);
}

}  // namespace tarn
