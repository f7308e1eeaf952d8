// What the program says about its own command line: the short usage for an unknown mode word,
// the full --help text, and the nearest known word to a mistyped one.
#pragma once

#include <string>

namespace tarn {

// The two lines printed, on standard output, for an unknown mode word.
void print_usage();

// The --help text on standard output: every mode, every global option, the exit statuses.
void print_help();

// Whether word is a mode word (the version words included).
bool is_mode_word(const char* word);

// The mode word (or, for a word starting with '-', the global option) that word is most likely a
// typing slip of, ignoring case; empty when none is close.
std::string nearest_word(const std::string& word);

}  // namespace tarn
