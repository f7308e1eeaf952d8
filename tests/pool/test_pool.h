// tools/testpool.py for the end-to-end tests, and the helpers that read its log lines.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"

namespace pooltest {

// The difficulty every end-to-end pool runs at.
inline const char* const kPoolDifficulty = "100000";

// Why the test pool cannot run here (python3 or its websockets package missing), or empty; asked
// once.
std::string missing_pool();

#define SKIP_WITHOUT_POOL()                         \
  do {                                              \
    const std::string why = pooltest::missing_pool(); \
    if (!why.empty()) GTEST_SKIP() << why;          \
  } while (0)

// Starts the pool at kPoolDifficulty with extra arguments; its port once it listens, or 0.
int start_pool(Child& pool, const std::vector<std::string>& args = {});

// The value of " key=value" in a log line (up to the next blank), or empty.
std::string field(const std::string& line, const std::string& key);

bool starts_with(const std::string& s, const std::string& prefix);

// How many lines contain `part`.
int count_with(const std::vector<std::string>& lines, const std::string& part);

// A loopback port nothing listens on (bound, then let go), or 0.
int unused_loopback_port();

// A fresh folder holding the certificates of tests/ws/make_test_certs.sh, with a trailing '/';
// empty when they could not be made.
std::string make_test_certs();

}  // namespace pooltest
