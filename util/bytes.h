// Bytes as hexadecimal text and back, and big-endian words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn {

// True when text is exactly 2 * n hexadecimal digits (either case); fills out[0..n-1].
bool parse_hex_exact(const char* text, size_t n, unsigned char* out);

// Lower-case digits, two per byte.
std::string to_hex(const unsigned char* bytes, size_t n);

// v as 8 big-endian bytes at out.
inline void put_be64(uint64_t v, unsigned char* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
}

}  // namespace tarn
