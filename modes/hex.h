// Hexadecimal text to bytes and back, and the checked number conversions of the modes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn {

// True when text is exactly 2 * n hexadecimal digits (either case); fills out[0..n-1].
bool parse_hex_exact(const char* text, size_t n, unsigned char* out);

// Lower-case digits, two per byte.
std::string to_hex(const unsigned char* bytes, size_t n);

// A whole decimal number from 0 to 2^64 - 1, nothing else (no sign, no blanks, no suffix).
bool parse_u64(const char* text, uint64_t* out);

}  // namespace tarn
