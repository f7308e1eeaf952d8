// Pattern search for string-valued fields in pool messages.
#include "pool/json_str.h"

#include <cstring>

bool json_str(const std::string& text, const char* key, std::string& out) {
  out.clear();
  if (key == nullptr) return false;

  // The leading quote keeps "difficulty" from matching inside "share_difficulty".
  std::string pattern;
  pattern.reserve(std::strlen(key) + 4);
  pattern += '"';
  pattern += key;
  pattern += "\":\"";

  const std::size_t at = text.find(pattern);
  if (at == std::string::npos) return false;
  const std::size_t start = at + pattern.size();
  const std::size_t end = text.find('"', start);
  out = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return true;
}

std::string json_str(const std::string& text, const char* key) {
  std::string value;
  json_str(text, key, value);
  return value;
}
