#include "pool/url_check.h"

#include <cstdint>

#include "pool/failover.h"
#include "util/number.h"

namespace tarn {
namespace {

bool check_one(const std::string& url, std::string* why) {
  const auto refuse = [&](const std::string& what) {
    *why = url + ": " + what;
    return false;
  };
  if (url.size() > 511) return refuse("longer than 511 characters");
  size_t at = 0;
  if (url.compare(0, 5, "ws://") == 0) {
    at = 5;
  } else if (url.compare(0, 6, "wss://") == 0) {
    at = 6;
  } else {
    return refuse("the scheme must be ws:// or wss://");
  }
  size_t host_end;
  if (at < url.size() && url[at] == '[') {
    host_end = url.find(']', at);
    if (host_end == std::string::npos) return refuse("the IPv6 address has no closing ]");
    if (host_end == at + 1) return refuse("empty host");
    ++host_end;
    if (host_end < url.size() && url[host_end] != ':' && url[host_end] != '/')
      return refuse("unexpected text after the IPv6 address");
  } else {
    host_end = url.find_first_of(":/", at);
    if (host_end == std::string::npos) host_end = url.size();
    if (host_end == at) return refuse("empty host");
  }
  if (host_end < url.size() && url[host_end] == ':') {
    const size_t port_end = url.find('/', host_end);
    const std::string port = url.substr(host_end + 1, port_end == std::string::npos
                                                          ? std::string::npos
                                                          : port_end - host_end - 1);
    std::uint64_t p = 0;
    if (!parse_u64(port, &p) || p < 1 || p > 65535)
      return refuse("the port \"" + port + "\" is not a number from 1 to 65535");
  }
  return true;
}

}  // namespace

bool check_pool_urls(const std::string& list, std::string* why) {
  for (const std::string& url : split_url_list(list)) {
    if (url.empty()) {
      *why = "\"" + list + "\": the URL list has an empty entry";
      return false;
    }
    if (!check_one(url, why)) return false;
  }
  return true;
}

}  // namespace tarn
