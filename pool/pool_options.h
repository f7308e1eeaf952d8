// How the pool mode reaches its pools and which devices it mines on (global options).
#pragma once

#include <string>

#include "pool/permanent_failure.h"

namespace tarn {

struct PoolOptions {
  std::string ca_file;         // one more trusted CA for wss:// pools
  bool tls_no_verify = false;  // certificates not checked; warned on every connect
  double job_timeout = 0.0;    // reconnect after this long without a pool message; 0: off
  std::string devices;         // "0,2,5", "all", or empty for the ngpu word
  const char* ngpu_word = nullptr;  // the ngpu word as typed, for its warning; null when absent
  double launch_timeout = 30.0;     // a launch running longer is a hung GPU; 0: not watched
  PermanentLimits permanent;        // when pools that keep failing the same way are given up
};

}  // namespace tarn
