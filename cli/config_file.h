// The --config file: a JSON object holding the global options and the pool and bench words, read
// under the command line, which overrides it word by word.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"

namespace tarn {

// The file's mode words in each mode's word order; "" where the file leaves one out.
struct ConfigWords {
  std::vector<std::string> pool;   // ws_url (the URLs joined by commas), payout, worker, submit_gap
  std::vector<std::string> bench;  // secs, per_thread, tpb
};

// Reads the JSON file at path, refusing unknown or repeated keys, wrong types and values out of
// range; its global options go into *opts through the command line's own parser, so both take
// the same values. False with the one refusal line in *why: "config PATH: WHAT".
bool load_config_file(const std::string& path, GlobalOptions* opts, ConfigWords* words,
                      std::string* why);

// argv[2] on for the mode argv[1]: the command line's words, then the file's for the places it
// leaves out (a gap before a later file word takes the mode's default). Other modes: argv's.
std::vector<std::string> mode_words(const ConfigWords& file, int argc, char** argv);

// --check-config: the file was loaded and the command line parsed over it; checks what the mode
// argv[1] would refuse at start (a pool without URL or payout, a bad URL). Prints
// "config PATH: OK" on standard output and returns 0, or prints one line on standard error and
// returns 1.
int check_config(const std::string& path, int argc, char** argv, const ConfigWords& file);

}  // namespace tarn
