// The devices a mode runs on: a --devices list ("0,2,5" or "all") or the first ngpu.
#pragma once

#include <string>
#include <vector>

namespace tarn {

// With an empty list: devices 0 to ngpu - 1, ngpu raised to 1 and capped at count. Otherwise
// the listed indices in the order given; false with the reason in *why when one is not a
// number, is listed twice or does not exist.
bool choose_devices(const std::string& list, int ngpu, int count, std::vector<int>* out,
                    std::string* why);

// The warning line "MODE: ngpu 'WORD' ...; using N" for an ngpu word that is not a whole number
// from 1 to count, N being the count choose_devices then uses; empty for a good word.
std::string ngpu_warning(const char* mode, const char* word, int count);

}  // namespace tarn
