// Small helpers shared by the tests.
#pragma once

#include <string>
#include <vector>

namespace testutil {

inline std::vector<unsigned char> from_hex(const std::string& s) {
  std::vector<unsigned char> out(s.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(std::stoi(s.substr(2 * i, 2), nullptr, 16));
  return out;
}

inline std::string to_hex(const unsigned char* b, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[b[i] >> 4];
    s += d[b[i] & 15];
  }
  return s;
}

}  // namespace testutil
