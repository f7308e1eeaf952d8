#include "pool/format_line.h"

#include <cstdarg>
#include <cstdio>

namespace tarn {

std::string format_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&line[0], line.size() + 1, fmt, again);
  va_end(again);
  return line;
}

}  // namespace tarn
