// Access to the Poseidon2 constant tables: device constant memory on the GPU, plain arrays on
// the host, both filled from tables_data.h.
#pragma once

#include <cstdint>

#include "field/hd.h"
#include "hash/tables_data.h"

// On the GPU the tables are constant-memory symbols that the device-code module defines before
// it includes this header (gpu/device_constants.cuh).

namespace tarn {
namespace host_tables {
inline constexpr uint64_t INIT_EXT_RC[48] = {INIT_EXT_RC_VALUES};
inline constexpr uint64_t TERM_EXT_RC[48] = {TERM_EXT_RC_VALUES};
inline constexpr uint64_t INTERNAL_RC[22] = {INTERNAL_RC_VALUES};
inline constexpr uint64_t MAT_DIAG[12] = {MAT_DIAG_VALUES};
inline constexpr uint64_t INIT_NEXT_RC[48] = {INIT_NEXT_RC_VALUES};
inline constexpr uint64_t TERM_NEXT_RC[48] = {TERM_NEXT_RC_VALUES};
inline constexpr uint64_t INTERNAL_NEXT_RC[22] = {INTERNAL_NEXT_RC_VALUES};
}  // namespace host_tables

#if defined(__CUDA_ARCH__)
#define TARN_TABLE(name) ::name
#else
#define TARN_TABLE(name) ::tarn::host_tables::name
#endif

TARN_HD uint64_t init_ext_rc(int i) { return TARN_TABLE(INIT_EXT_RC)[i]; }
TARN_HD uint64_t term_ext_rc(int i) { return TARN_TABLE(TERM_EXT_RC)[i]; }
TARN_HD uint64_t internal_rc(int i) { return TARN_TABLE(INTERNAL_RC)[i]; }
TARN_HD uint64_t mat_diag(int i) { return TARN_TABLE(MAT_DIAG)[i]; }
TARN_HD uint64_t init_next_rc(int i) { return TARN_TABLE(INIT_NEXT_RC)[i]; }
TARN_HD uint64_t term_next_rc(int i) { return TARN_TABLE(TERM_NEXT_RC)[i]; }
TARN_HD uint64_t internal_next_rc(int i) { return TARN_TABLE(INTERNAL_NEXT_RC)[i]; }

}  // namespace tarn
