// The one checked reading of a decimal number, for every word and text that must be validated.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarn {

// A whole decimal number from 0 to 2^64 - 1, nothing else (no sign, no blanks, no suffix, no
// empty text).
bool parse_u64(std::string_view text, uint64_t* out);

}  // namespace tarn
