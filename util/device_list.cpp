#include "util/device_list.h"

#include <algorithm>
#include <cstdint>

#include "util/number.h"
#include "util/word.h"

namespace tarn {

bool choose_devices(const std::string& list, int ngpu, int count, std::vector<int>* out,
                    std::string* why) {
  out->clear();
  if (list.empty() || list == "all") {
    const int n = list.empty() ? std::min(std::max(ngpu, 1), count) : count;
    for (int i = 0; i < n; ++i) out->push_back(i);
    return true;
  }
  size_t from = 0;
  for (;;) {
    const size_t comma = list.find(',', from);
    const std::string word =
        list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    std::uint64_t index = 0;
    if (!parse_u64(word, &index)) {
      *why = "--devices takes device numbers separated by commas, or all; got \"" + list + "\"";
      return false;
    }
    if (index >= static_cast<std::uint64_t>(count)) {
      *why = "device " + word + " does not exist (" + std::to_string(count) + " device(s): 0 to " +
             std::to_string(count - 1) + ")";
      return false;
    }
    if (std::find(out->begin(), out->end(), static_cast<int>(index)) != out->end()) {
      *why = "device " + word + " is listed twice in --devices";
      return false;
    }
    out->push_back(static_cast<int>(index));
    if (comma == std::string::npos) return true;
    from = comma + 1;
  }
}

std::string ngpu_warning(const char* mode, const char* word, int count) {
  std::string fault;
  const int ngpu = static_cast<int>(read_int_word(word, 1, count, &fault));  // narrowed as always
  if (fault.empty()) return std::string();
  return word_warning(mode, "ngpu", word, fault, std::to_string(std::min(std::max(ngpu, 1), count)));
}

}  // namespace tarn
