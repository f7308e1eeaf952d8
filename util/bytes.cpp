#include "util/bytes.h"

#include <cstring>

namespace tarn {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parse_hex_exact(const char* text, size_t n, unsigned char* out) {
  if (!text || std::strlen(text) != 2 * n) return false;
  for (size_t k = 0; k < n; ++k) {
    const int hi = hex_digit(text[2 * k]);
    const int lo = hex_digit(text[2 * k + 1]);
    if (hi < 0 || lo < 0) return false;
    out[k] = static_cast<unsigned char>(hi * 16 + lo);
  }
  return true;
}

std::string to_hex(const unsigned char* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s(2 * n, '0');
  for (size_t k = 0; k < n; ++k) {
    s[2 * k] = digits[bytes[k] >> 4];
    s[2 * k + 1] = digits[bytes[k] & 15];
  }
  return s;
}

}  // namespace tarn
