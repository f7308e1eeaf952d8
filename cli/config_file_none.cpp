// The --config reader of a build without nlohmann-json: the file cannot be read, so it is refused
// rather than run without.
#include "cli/config_file.h"
#include "util/printable.h"

namespace tarn {

bool load_config_file(const std::string& path, GlobalOptions*, ConfigWords*, std::string* why) {
  *why = "config " + printable(path) +
         ": this build has no JSON reader (build with nlohmann-json3-dev for --config)";
  return false;
}

}  // namespace tarn
