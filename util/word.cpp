#include "util/word.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "util/printable.h"

namespace tarn {

double read_real_word(const char* word, std::string* fault) {
  char* end = nullptr;
  const double v = std::strtod(word, &end);
  if (end == word || *end != '\0') {
    *fault = "is not a number";
  } else if (!std::isfinite(v)) {
    *fault = "is out of range";
  } else {
    fault->clear();
  }
  return v;
}

long long read_int_word(const char* word, long long lo, long long hi, std::string* fault) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtol(word, &end, 10);
  if (end == word || *end != '\0') {
    *fault = "is not a whole number";
  } else if (errno == ERANGE || v < lo || v > hi) {
    *fault = "is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")";
  } else {
    fault->clear();
  }
  return v;
}

std::string word_warning(const char* mode, const char* name, const char* word,
                         const std::string& fault, const std::string& used) {
  return std::string(mode) + ": " + name + " '" + printable(word) + "' " + fault + "; using " + used;
}

std::string used_value(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace tarn
