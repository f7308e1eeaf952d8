// The config file's pool and bench words under the command line's, and --check-config's verdict.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/config_file.h"
#include "pool/url_check.h"
#include "util/printable.h"

namespace tarn {
namespace {

// The defaults the modes apply to a word left out, for a gap before a later word the file gives;
// "" for a word that has none (the pool's URL and payout).
const std::vector<std::string>& defaults_of(const char* mode) {
  static const std::vector<std::string> pool = {"", "", "cuda-5090", "0.2"};
  static const std::vector<std::string> bench = {"5", "64", "0"};
  static const std::vector<std::string> none;
  if (std::strcmp(mode, "pool") == 0) return pool;
  if (std::strcmp(mode, "bench") == 0) return bench;
  return none;
}

}  // namespace

std::vector<std::string> mode_words(const ConfigWords& file, int argc, char** argv) {
  std::vector<std::string> out;
  for (int i = 2; i < argc; ++i) out.push_back(argv[i]);
  if (argc < 2) return out;
  const char* mode = argv[1];
  const std::vector<std::string>& defaults = defaults_of(mode);
  const std::vector<std::string>* given = std::strcmp(mode, "pool") == 0    ? &file.pool
                                          : std::strcmp(mode, "bench") == 0 ? &file.bench
                                                                            : nullptr;
  if (!given) return out;
  size_t last = given->size();
  while (last > out.size() && (*given)[last - 1].empty()) --last;
  for (size_t i = out.size(); i < last; ++i) {
    const std::string& w = !(*given)[i].empty() ? (*given)[i] : defaults[i];
    if (w.empty()) break;  // a required word given nowhere: the mode's usage line says so
    out.push_back(w);
  }
  return out;
}

int check_config(const std::string& path, int argc, char** argv, const ConfigWords& file) {
  const std::string name = "config " + printable(path) + ": ";
  if (argc > 1 && std::strcmp(argv[1], "pool") == 0) {
    const std::vector<std::string> words = mode_words(file, argc, argv);
    if (words.size() < 2) {
      std::fprintf(stderr,
                   "%spool needs a URL and a payout: \"pool\": {\"urls\", \"payout\"} in the file "
                   "or the words after pool\n",
                   name.c_str());
      return 1;
    }
    std::string bad_url;
    if (!check_pool_urls(words[0], &bad_url)) {
      std::fprintf(stderr, "%spool: bad url %s\n", name.c_str(), printable(bad_url).c_str());
      return 1;
    }
  }
  std::printf("config %s: OK\n", printable(path).c_str());
  return 0;
}

}  // namespace tarn
