// Constant memory of the device-code module: the field's epsilon and the Poseidon2 tables.
#pragma once

#include <cstdint>

#include "hash/tables_data.h"

__constant__ uint32_t addend_epsilon32 = 0xFFFFFFFFu;
__constant__ uint64_t INIT_EXT_RC[48] = {INIT_EXT_RC_VALUES};
__constant__ uint64_t TERM_EXT_RC[48] = {TERM_EXT_RC_VALUES};
__constant__ uint64_t INTERNAL_RC[22] = {INTERNAL_RC_VALUES};
__constant__ uint64_t MAT_DIAG[12] = {MAT_DIAG_VALUES};
// Derived: the constants each linear layer folds in for the round that follows it.
__constant__ uint64_t INIT_NEXT_RC[48] = {INIT_NEXT_RC_VALUES};
__constant__ uint64_t TERM_NEXT_RC[48] = {TERM_NEXT_RC_VALUES};
__constant__ uint64_t INTERNAL_NEXT_RC[22] = {INTERNAL_NEXT_RC_VALUES};
