// Numeric words of the command line, read the way the program has always read them (strtod,
// strtol: the leading number, or 0 when there is none), with the reason a word deserves a warning.
#pragma once

#include <string>

namespace tarn {

// The value strtod gives; *fault is "" for a finite number and nothing else after it, otherwise
// "is not a number" or "is out of range".
double read_real_word(const char* word, std::string* fault);

// The value strtol gives; *fault is "" for a whole number from lo to hi and nothing else after it,
// otherwise "is not a whole number" or "is out of range (lo to hi)".
long long read_int_word(const char* word, long long lo, long long hi, std::string* fault);

// "MODE: NAME 'WORD' FAULT; using USED", the one warning line for such a word (its control
// characters shown as \xNN).
std::string word_warning(const char* mode, const char* name, const char* word,
                         const std::string& fault, const std::string& used);

// A value as the warnings name it: 0.2, 30, 1e+300, inf.
std::string used_value(double v);

}  // namespace tarn
