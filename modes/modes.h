// The mode functions: each returns the process exit status.
#pragma once

#include <string>

#include "monitor/pool_monitor.h"
#include "pool/pool_options.h"

int run_verify();
int run_hash();
int run_mine(char const* hdr, char const* difficulty, double secs);
// devices: a --devices list, or empty for the ngpu word.
// launch_timeout: seconds after which a launch is a hung GPU (exit status 4); 0: not watched.
int run_bench(int argc, char** argv, const std::string& devices = std::string(),
              double launch_timeout = 30.0);
int run_list_devices();
int run_minesparsepath();
int run_minev(char const* hdr, char const* start);
int run_mulbench(int argc, char** argv);
int run_pool(char const* url, char const* payout, char const* worker, double submit_gap, int ngpu,
             const tarn::MonitorOptions& monitor = tarn::MonitorOptions(),
             const tarn::PoolOptions& options = tarn::PoolOptions());
