// Access to the Poseidon2 constant tables: device constant memory on the GPU, plain constexpr
// tables on the host, both from folded_constants.h.
#pragma once

#include <cstdint>

#include "field/hd.h"
#include "hash/constant_symbols.h"
#include "hash/folded_constants.h"

namespace tarn {

#if defined(__CUDA_ARCH__)
#define TARN_TABLE(name) ::name
#else
#define TARN_TABLE(name) ::tarn::host_tables::name
#endif

TARN_HD uint64_t init_ext_rc(int i) { return TARN_TABLE(INIT_EXT_RC)[i]; }
TARN_HD uint64_t init_next_rc(int i) { return TARN_TABLE(INIT_NEXT_RC).v[i]; }
TARN_HD uint64_t init_round_rc(int i) { return TARN_TABLE(INIT_ROUND_RC).v[i]; }
TARN_HD uint64_t term_round_rc(int i) { return TARN_TABLE(TERM_ROUND_RC).v[i]; }
TARN_HD uint64_t lane_coef_lo(int i) { return TARN_TABLE(LANE_COEF_LO).v[i]; }
TARN_HD uint64_t lane_coef_hi(int i) { return TARN_TABLE(LANE_COEF_HI).v[i]; }
TARN_HD uint64_t internal_next_rc_lane0(int i) { return TARN_TABLE(INTERNAL_NEXT_RC_LANE0).v[i]; }

}  // namespace tarn
