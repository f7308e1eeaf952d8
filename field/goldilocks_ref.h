// The host reference of the field: 128-bit integers, canonical values, no tricks.
#pragma once

#include <cstdint>

namespace ref {

constexpr uint64_t P = 0xFFFFFFFF00000001ull;

uint64_t canon(uint64_t a);
uint64_t add(uint64_t a, uint64_t b);
uint64_t sub(uint64_t a, uint64_t b);
uint64_t mul(uint64_t a, uint64_t b);
uint64_t pow7(uint64_t a);

}  // namespace ref
