#include "cli/dispatch.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/banner.h"
#include "cli/config_file.h"
#include "cli/help.h"
#include "cli/options.h"
#include "gpu/device.h"
#include "modes/modes.h"
#include "util/log_output.h"
#include "util/printable.h"
#include "util/word.h"

namespace {

// A mode given fewer words than it needs: one line, status 1, no read past the vector.
int missing_words(const char* usage) {
  std::fprintf(stderr, "usage: tarn-cuda %s\n", usage);
  return 1;
}

void warn(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// An optional seconds word, read as it always was (strtod), with a warning when it is not a number.
double seconds_word(const char* mode, const char* name, const char* word) {
  std::string fault;
  const double v = tarn::read_real_word(word, &fault);
  if (!fault.empty()) warn(tarn::word_warning(mode, name, word, fault, tarn::used_value(v)));
  return v;
}

// Typed at a terminal, verify and hash would seem to hang: say what they wait for.
void terminal_hint(const char* mode) {
  if (!isatty(STDIN_FILENO)) return;
  if (std::strcmp(mode, "verify") == 0)
    warn("verify: reading lines 'header nonce expected-hash' (64, 128 and 128 hex digits) from "
         "the terminal; end with Ctrl-D");
  else
    warn("hash: reading lines 'header nonce' (64 and 128 hex digits) from the terminal; end "
         "with Ctrl-D");
}

// "pool URL payout --devices 1" would mine with the worker name "--devices": one line, true.
bool option_after_mode(const char* mode, int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0) {
      std::fprintf(stderr,
                   "%s: '%s' follows the mode word; global options stand before it: "
                   "tarn-cuda [global options] %s [arguments]\n",
                   mode, tarn::printable(argv[i]).c_str(), mode);
      return true;
    }
  }
  return false;
}

}  // namespace

int tarn_main(int argc, char** argv, const tarn::PermanentLimits& limits) {
  // Global options come before the mode word and are removed from the vector the modes see. A
  // copy is read first, for --config: the file's settings go in first, the command line over them.
  tarn::GlobalOptions opts;
  tarn::ConfigWords file_words;
  {
    std::vector<char*> copy(argv, argv + argc + 1);
    int n = argc;
    char** v = copy.data();
    tarn::GlobalOptions cli;
    if (!tarn::parse_global_options(&n, &v, &cli)) return 1;
    const char* first = n > 1 ? v[1] : "";
    if (cli.help || std::strcmp(first, "-h") == 0) {
      tarn::print_help();
      return 0;
    }
    if (cli.check_config && cli.config.empty()) {
      warn("--check-config needs --config FILE");
      return 1;
    }
    std::string why;
    if (!cli.config.empty() && !tarn::load_config_file(cli.config, &opts, &file_words, &why)) {
      warn(why);
      return 1;
    }
  }
  if (!tarn::parse_global_options(&argc, &argv, &opts)) return 1;  // passed above: cannot fail
  if (opts.cpu_cc != 0) tarn::use_host_backend(opts.cpu_cc);
  // The host emulation cannot hang, and on a busy machine its launches take as long as the CPU
  // allows: it is watched only with an explicit --launch-timeout. 0: no watchdog.
  const double launch_timeout =
      opts.cpu_cc != 0 && !opts.launch_timeout_given ? 0.0 : opts.launch_timeout;

  const char* mode = argc > 1 ? argv[1] : "verify";
  if (opts.check_config) {
    if (argc > 1 && !tarn::is_mode_word(mode)) {
      warn("unknown mode '" + tarn::printable(mode) + "'");
      return 1;
    }
    if (option_after_mode(mode, argc, argv)) return 2;
    return tarn::check_config(opts.config, argc, argv, file_words);
  }
  // Before the banner, so the log holds every line from there on; after the config check, which
  // opens nothing.
  tarn::LogOptions logs;
  logs.file = opts.log_file;
  logs.timestamps = opts.timestamps;
  std::string log_fault;
  if (!tarn::start_logs(logs, &log_fault)) {
    warn(log_fault);
    return 1;
  }
  if (std::strcmp(mode, "version") == 0 || std::strcmp(mode, "--version") == 0 ||
      std::strcmp(mode, "-V") == 0) {
    std::printf("%s\n", tarn_banner());
    return 0;
  }
  std::fprintf(stderr, "%s\n", tarn_banner());
  for (const std::string& w : opts.warnings) warn(w);

  if (opts.list_devices) return run_list_devices();
  if (!tarn::is_mode_word(mode)) {
    // Still status 0 with the short list on standard output, as always; the line says why.
    std::string line = "unknown mode '" + tarn::printable(mode) + "'";
    const std::string near = tarn::nearest_word(mode);
    if (!near.empty()) line += " (did you mean '" + near + "'?)";
    warn(line);
    tarn::print_usage();
    return 0;
  }
  if (option_after_mode(mode, argc, argv)) return 2;

  // The file's pool and bench words fill the places the command line leaves out.
  std::vector<std::string> words;
  std::vector<char*> merged;
  if (!opts.config.empty() && argc > 1) {
    words = tarn::mode_words(file_words, argc, argv);
    merged = {argv[0], argv[1]};
    for (std::string& w : words) merged.push_back(&w[0]);
    merged.push_back(nullptr);
    argc = static_cast<int>(merged.size()) - 1;
    argv = merged.data();
  }

  if (std::strcmp(mode, "verify") == 0) {
    terminal_hint(mode);
    return run_verify();
  }
  if (std::strcmp(mode, "hash") == 0) {
    terminal_hint(mode);
    return run_hash();
  }
  if (std::strcmp(mode, "minesparsepath") == 0) return run_minesparsepath();
  if (std::strcmp(mode, "minev") == 0) {
    if (argc < 4) return missing_words("minev <hdr> <start>");
    return run_minev(argv[2], argv[3]);
  }
  if (std::strcmp(mode, "bench") == 0) return run_bench(argc, argv, opts.devices, launch_timeout);
  if (std::strcmp(mode, "mulbench") == 0) return run_mulbench(argc, argv);
  if (std::strcmp(mode, "mine") == 0) {
    if (argc < 4) return missing_words("mine <hdr> <difficulty> [secs]");
    const double secs = argc > 4 ? seconds_word("mine", "secs", argv[4]) : 30.0;
    return run_mine(argv[2], argv[3], secs);
  }
  if (std::strcmp(mode, "pool") == 0) {
    if (argc < 4) return missing_words("pool <ws_url> <payout> [worker] [submit_gap_s] [ngpu]");
    const char* worker = argc > 4 ? argv[4] : "cuda-5090";
    const double gap = argc > 5 ? seconds_word("pool", "submit_gap", argv[5]) : 0.2;
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
    pool.ngpu_word = argc > 6 ? argv[6] : nullptr;
    pool.launch_timeout = launch_timeout;
    pool.permanent = limits;
    return run_pool(argv[2], argv[3], worker, gap, ngpu, monitor, pool);
  }
  tarn::print_usage();  // not reached: every mode word is taken above
  return 0;
}
