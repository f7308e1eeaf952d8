// Which pool URL a worker connects to: a primary and backups from one comma-separated list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarn {

// After this many failures in a row on one URL the worker moves to the next one. A failure is a
// refused connect, or a connection that ended before it proved useful (see proved()).
constexpr int kFailoverAfterFailures = 3;
// While on a backup, the primary is tried again this often.
constexpr double kPrimaryRetrySeconds = 300.0;

// Splits "ws://a:1/,wss://b:2/" at its commas; no other processing.
std::vector<std::string> split_url_list(const std::string& list);

class PoolUrls {
 public:
  explicit PoolUrls(const std::string& list);

  const std::string& url(int index) const { return urls_[static_cast<size_t>(index)]; }
  int current() const { return current_; }
  // Times current() changed, for the monitor.
  std::int64_t switches() const { return switches_; }
  // True while on a backup and the primary has not been tried for kPrimaryRetrySeconds.
  bool primary_due(std::int64_t now_ns) const;
  // The URL index for the next connect: the primary when it is due, else the current one.
  int next(std::int64_t now_ns) const { return primary_due(now_ns) ? 0 : current_; }

  // After a failure on index: the line that announces a switch, or empty.
  std::string failed(int index, std::int64_t now_ns);
  // After a connect to index that opened: the line that announces a switch, or empty. An open
  // connection alone does not clear the failures: a pool that answers and drops stays sick.
  std::string connected(int index, std::int64_t now_ns);
  // The connection on index delivered a job or lived long enough: its failures start over.
  void proved(int index);

 private:
  std::vector<std::string> urls_;
  int current_ = 0;
  int failures_ = 0;  // in a row, on the current URL
  std::int64_t switches_ = 0;
  std::int64_t primary_tried_ns_ = 0;
};

}  // namespace tarn
