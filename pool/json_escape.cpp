// Escaping of values placed inside JSON strings of outgoing pool messages.
#include "pool/json_escape.h"

#include <cctype>
#include <cstddef>

namespace {

// Appends c, escaped when JSON forbids it raw in a string; backslashes are the caller's.
void append_plain(std::string& out, char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  switch (c) {
    case '"': out += "\\\""; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (u < 0x20) {
    static const char digits[] = "0123456789abcdef";
    out += "\\u00";
    out += digits[u >> 4];
    out += digits[u & 0xF];
    return;
  }
  out += c;
}

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Length of the valid escape sequence starting with the backslash at i, or 0.
std::size_t escape_length(const std::string& s, std::size_t i) {
  if (i + 1 >= s.size()) return 0;
  switch (s[i + 1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      return 2;
    case 'u':
      if (i + 5 < s.size() && is_hex(s[i + 2]) && is_hex(s[i + 3]) && is_hex(s[i + 4]) &&
          is_hex(s[i + 5]))
        return 6;
      return 0;
    default:
      return 0;
  }
}

}  // namespace

std::string json_escape_literal(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else
      append_plain(out, c);
  }
  return out;
}

std::string json_escape_received(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      append_plain(out, text[i]);
      continue;
    }
    const std::size_t n = escape_length(text, i);
    if (n == 0) {
      out += "\\\\";
    } else {
      out.append(text, i, n);
      i += n - 1;
    }
  }
  return out;
}
