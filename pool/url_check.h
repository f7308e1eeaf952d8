// The pool URL list checked once at start: a URL that can never work is refused before any
// worker starts, instead of being retried for ever.
#pragma once

#include <string>

namespace tarn {

// True when every comma-separated entry is "ws://" or "wss://", a host (an IPv6 literal in
// brackets), an optional port from 1 to 65535 and an optional path. Otherwise false with the
// reason in *why.
bool check_pool_urls(const std::string& list, std::string* why);

}  // namespace tarn
