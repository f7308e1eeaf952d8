#include "cli/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/banner.h"
#include "gpu/device.h"
#include "cli/options.h"
#include "modes/modes.h"

namespace {

void print_usage() {
  std::printf(
      "modes: version | verify | minesparsepath | minev <hdr> <start> | bench <secs> "
      "[per_thread] [tpb] [ngpu]\n");
  std::printf("       mine <hdr> <difficulty> [secs] | pool <ws_url> <payout> [worker] "
              "[submit_gap_s] [ngpu]\n");
}

// A mode given fewer words than it needs: one line, status 1, no read past the vector.
int missing_words(const char* usage) {
  std::fprintf(stderr, "usage: tarn-cuda %s\n", usage);
  return 1;
}

}  // namespace

int tarn_main(int argc, char** argv) {
  // Global options come before the mode word and are removed from the vector the modes see.
  tarn::GlobalOptions opts;
  if (!tarn::parse_global_options(&argc, &argv, &opts)) return 1;
  if (opts.cpu_cc != 0) tarn::use_host_backend(opts.cpu_cc);
  if (opts.help) {
    print_usage();
    std::printf("%s", tarn::global_options_help());
    return 0;
  }

  const char* mode = argc > 1 ? argv[1] : "verify";
  if (std::strcmp(mode, "version") == 0 || std::strcmp(mode, "--version") == 0 ||
      std::strcmp(mode, "-V") == 0) {
    std::printf("%s\n", tarn_banner());
    return 0;
  }
  std::fprintf(stderr, "%s\n", tarn_banner());

  if (opts.list_devices) return run_list_devices();
  if (std::strcmp(mode, "verify") == 0) return run_verify();
  if (std::strcmp(mode, "hash") == 0) return run_hash();
  if (std::strcmp(mode, "minesparsepath") == 0) return run_minesparsepath();
  if (std::strcmp(mode, "minev") == 0) {
    if (argc < 4) return missing_words("minev <hdr> <start>");
    return run_minev(argv[2], argv[3]);
  }
  if (std::strcmp(mode, "bench") == 0) return run_bench(argc, argv, opts.devices);
  if (std::strcmp(mode, "mulbench") == 0) return run_mulbench(argc, argv);
  if (std::strcmp(mode, "mine") == 0) {
    if (argc < 4) return missing_words("mine <hdr> <difficulty> [secs]");
    const double secs = argc > 4 ? std::strtod(argv[4], nullptr) : 30.0;
    return run_mine(argv[2], argv[3], secs);
  }
  if (std::strcmp(mode, "pool") == 0) {
    if (argc < 4) return missing_words("pool <ws_url> <payout> [worker] [submit_gap_s] [ngpu]");
    const char* worker = argc > 4 ? argv[4] : "cuda-5090";
    const double gap = argc > 5 ? std::strtod(argv[5], nullptr) : 0.2;
    const int ngpu = argc > 6 ? static_cast<int>(std::strtol(argv[6], nullptr, 10)) : 1;
    tarn::MonitorOptions monitor;
    monitor.api = opts.api;
    monitor.api_token = opts.api_token;
    monitor.temp_limit = opts.temp_limit;
    monitor.host_emulation = opts.cpu_cc != 0;
    tarn::PoolOptions pool;
    pool.ca_file = opts.ca_file;
    pool.tls_no_verify = opts.tls_no_verify;
    pool.job_timeout = opts.job_timeout;
    pool.devices = opts.devices;
    return run_pool(argv[2], argv[3], worker, gap, ngpu, monitor, pool);
  }
  print_usage();
  return 0;
}
