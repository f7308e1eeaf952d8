// Difficulty to target: floor((2^512 - 1) / D) as 64 big-endian bytes.
#pragma once

#include <cstdint>

// D must be at least 1; callers refuse 0 before calling.
void target_from_difficulty(uint64_t difficulty, unsigned char* target);
