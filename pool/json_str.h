// Pattern search for string-valued fields in pool messages (there is no JSON parser).
#pragma once

#include <string>

// Finds the first "key":" in text and takes the value up to the next double quote (or to the
// end of the text). Escapes are not interpreted, only string values are found, the first
// occurrence anywhere wins, and a blank after the colon hides the field.
// Returns whether the pattern was present; out is the value, empty when it was not.
bool json_str(const std::string& text, const char* key, std::string& out);

// The same value, or an empty string when the field is absent.
std::string json_str(const std::string& text, const char* key);
