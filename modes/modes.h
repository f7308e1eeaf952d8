// The mode functions: each returns the process exit status.
#pragma once

#include "monitor/pool_monitor.h"

int run_verify();
int run_hash();
int run_mine(char const* hdr, char const* difficulty, double secs);
int run_bench(int argc, char** argv);
int run_minesparsepath();
int run_minev(char const* hdr, char const* start);
int run_mulbench(int argc, char** argv);
int run_pool(char const* url, char const* payout, char const* worker, double submit_gap, int ngpu,
             const tarn::MonitorOptions& monitor = tarn::MonitorOptions());
