// The global options: words before the mode word that set how the program runs rather than
// what it does. They are taken off the argument vector before the modes see it.
#pragma once

#include <string>
#include <vector>

namespace tarn {

struct GlobalOptions {
  int cpu_cc = 0;  // --cpu[=CC]: the host emulation of compute capability CC (x10); 0: CUDA

  // Pools: --ca-file PATH (extra trusted CA for wss://), --tls-no-verify (warned on every
  // connect), --job-timeout SECS (reconnect after that long without a pool message; 0: off).
  std::string ca_file;
  bool tls_no_verify = false;
  double job_timeout = 0.0;

  // Devices: --devices LIST ("0,2,5" or "all"; empty: the mode's own GPU count), and
  // --list-devices (print them and exit).
  std::string devices;
  bool list_devices = false;

  // Monitoring: --api ADDR:PORT (read-only HTTP API; empty: none), --api-token TOKEN, and
  // --temp-limit C (pause a GPU at C degrees Celsius, resume at C - 5; 0: none).
  std::string api;
  std::string api_token;
  int temp_limit = 0;

  // Supervision: --launch-timeout SECS (a launch running longer is a hung GPU: one line, then the
  // hung-GPU exit status so the service manager restarts the miner).
  double launch_timeout = 30.0;
  bool launch_timeout_given = false;  // the host emulation is watched only when asked to be

  // Logs: --log-file PATH (every line appended too; reopened on SIGHUP), --timestamps (an
  // ISO-8601 UTC time before each line).
  std::string log_file;
  bool timestamps = false;

  // Config: --config FILE (a JSON file with the same settings; the command line overrides it),
  // --check-config (validate it and exit).
  std::string config;
  bool check_config = false;

  bool help = false;  // --help

  // Values that were taken although they look like mistakes, one line each, naming what is used.
  std::vector<std::string> warnings;
};

// Reads the global options at the head of argv (argv[1] on) and removes them, so argv[1] is the
// mode word afterwards. False after one line naming the bad option on standard error, or in *why
// when why is given.
bool parse_global_options(int* argc, char*** argv, GlobalOptions* out, std::string* why = nullptr);

// The usage lines of the global options, for --help.
const char* global_options_help();

}  // namespace tarn
