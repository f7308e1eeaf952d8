// The Poseidon2 tables as device constant-memory symbols, under the names the runtime registers.
#pragma once

#include <cstdint>

#include "hash/folded_constants.h"

#if defined(__CUDACC__)
// Defined, not declared extern: the kernels form one translation unit built without relocatable
// device code, and that unit is the only CUDA source that includes the hash headers.
// The plain round constants and internal diagonal under their published names: the kernels read
// the folded tables below, but a tool that looks a table up by name on the GPU finds these.
__constant__ uint64_t INTERNAL_RC[22] = {INTERNAL_RC_VALUES};
__constant__ uint64_t MAT_DIAG[12] = {MAT_DIAG_VALUES};
__constant__ uint64_t TERM_EXT_RC[48] = {TERM_EXT_RC_VALUES};
__constant__ uint64_t INIT_EXT_RC[48] = {INIT_EXT_RC_VALUES};
__constant__ tarn::RoundTable<48> INIT_NEXT_RC = tarn::init_next_rc_table();
__constant__ tarn::RoundTable<48> INIT_ROUND_RC =
    tarn::through_external_inverse(tarn::init_next_rc_offset_table());
__constant__ tarn::RoundTable<48> TERM_ROUND_RC =
    tarn::through_external_inverse(tarn::term_next_rc_table());
__constant__ tarn::RoundTable<12> LANE_COEF_LO = tarn::lane_coef_table(false);
__constant__ tarn::RoundTable<12> LANE_COEF_HI = tarn::lane_coef_table(true);
__constant__ tarn::RoundTable<22> INTERNAL_NEXT_RC_LANE0 = tarn::internal_next_rc_lane0();
#endif
