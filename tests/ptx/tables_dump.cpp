// Prints every table the device module keeps in constant memory, as the host computes it: one
// line per table, its name and its bytes in hex, for comparison with the module's initialisers.
#include <cstdio>
#include <cstring>

#include "field/epsilon.h"
#include "hash/folded_constants.h"

namespace {

template <typename T>
void dump(const char* name, const T& table) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &table, sizeof(T));
  std::printf("%s ", name);
  for (unsigned char b : bytes) std::printf("%02x", b);
  std::printf("\n");
}

}  // namespace

int main() {
  using namespace tarn::host_tables;
  dump("addend_epsilon32", tarn::tarn_epsilon());
  dump("INTERNAL_RC", INTERNAL_RC);
  dump("MAT_DIAG", MAT_DIAG);
  dump("TERM_EXT_RC", TERM_EXT_RC);
  dump("INIT_EXT_RC", INIT_EXT_RC);
  dump("INIT_NEXT_RC", INIT_NEXT_RC);
  dump("INIT_ROUND_RC", INIT_ROUND_RC);
  dump("TERM_ROUND_RC", TERM_ROUND_RC);
  dump("LANE_COEF_LO", LANE_COEF_LO);
  dump("LANE_COEF_HI", LANE_COEF_HI);
  dump("INTERNAL_NEXT_RC_LANE0", INTERNAL_NEXT_RC_LANE0);
  return 0;
}
