// Worker output: each line is formatted whole and printed with one call, so lines from several
// worker threads never interleave.
#pragma once

#include <functional>
#include <string>

namespace tarn {

// Writes one complete line (newline included).
using PrintLine = std::function<void(const std::string& line)>;

// printf formatting into a string of any length.
std::string format_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tarn
