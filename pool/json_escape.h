// Escaping of values placed inside JSON strings of outgoing pool messages.
#pragma once

#include <string>

// For a literal value (payout address, worker name): escapes ", \ and control characters.
// Other bytes, UTF-8 included, pass unchanged.
std::string json_escape_literal(const std::string& value);

// For a text taken unparsed from a JSON string by json_str (the job id): its valid escape
// sequences (\" \\ \/ \b \f \n \r \t \uXXXX) stay as they are, so the pool gets back exactly
// what it sent; a backslash that starts no valid sequence, a bare " and control characters
// are escaped, so the result is always a valid JSON string body.
std::string json_escape_received(const std::string& text);
