#include "pool/failover.h"

namespace tarn {

std::vector<std::string> split_url_list(const std::string& list) {
  std::vector<std::string> out;
  size_t from = 0;
  for (;;) {
    const size_t comma = list.find(',', from);
    out.push_back(list.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
    if (comma == std::string::npos) return out;
    from = comma + 1;
  }
}

PoolUrls::PoolUrls(const std::string& list) : urls_(split_url_list(list)) {}

bool PoolUrls::primary_due(std::int64_t now_ns) const {
  return current_ != 0 && static_cast<double>(now_ns - primary_tried_ns_) / 1e9 >= kPrimaryRetrySeconds;
}

std::string PoolUrls::failed(int index, std::int64_t now_ns) {
  if (index != current_) {
    primary_tried_ns_ = now_ns;  // a retry of the primary from a backup: stay where we are
    return std::string();
  }
  if (++failures_ < kFailoverAfterFailures || urls_.size() < 2) return std::string();
  const int from = current_;
  current_ = (current_ + 1) % static_cast<int>(urls_.size());
  failures_ = 0;
  ++switches_;
  if (from == 0) primary_tried_ns_ = now_ns;
  return "failover: " + url(from) + " failed " + std::to_string(kFailoverAfterFailures) +
         " times in a row — switching to " + url(current_);
}

std::string PoolUrls::connected(int index, std::int64_t now_ns) {
  if (index == current_) return std::string();
  current_ = index;
  failures_ = 0;
  ++switches_;
  primary_tried_ns_ = now_ns;
  return "failover: the primary " + url(index) + " is back — switching to it";
}

void PoolUrls::proved(int index) {
  if (index == current_) failures_ = 0;
}

}  // namespace tarn
