#include "cli/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/banner.h"
#include "gpu/device.h"
#include "util/number.h"
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

// "--cpu" or "--cpu=CC" (compute capability times ten, e.g. 86 or 120).
bool parse_cpu_option(const char* word, int* cc) {
  if (std::strcmp(word, "--cpu") == 0) {
    *cc = 120;
    return true;
  }
  if (std::strncmp(word, "--cpu=", 6) != 0) return false;
  uint64_t v = 0;
  if (!tarn::parse_u64(word + 6, &v) || v < 10 || v > 999) {
    *cc = -1;
    return true;
  }
  *cc = static_cast<int>(v);
  return true;
}

}  // namespace

int tarn_main(int argc, char** argv) {
  // Global options come before the mode word and are removed from the vector the modes see.
  int cc = 0;
  if (argc > 1 && parse_cpu_option(argv[1], &cc)) {
    if (cc < 0) {
      std::fprintf(stderr, "--cpu=CC takes a compute capability times ten, e.g. --cpu=86 or --cpu=120\n");
      return 1;
    }
    tarn::use_host_backend(cc);
    argv[1] = argv[0];
    ++argv;
    --argc;
  }

  const char* mode = argc > 1 ? argv[1] : "verify";
  if (std::strcmp(mode, "version") == 0 || std::strcmp(mode, "--version") == 0 ||
      std::strcmp(mode, "-V") == 0) {
    std::printf("%s\n", tarn_banner());
    return 0;
  }
  std::fprintf(stderr, "%s\n", tarn_banner());

  if (std::strcmp(mode, "verify") == 0) return run_verify();
  if (std::strcmp(mode, "hash") == 0) return run_hash();
  if (std::strcmp(mode, "minesparsepath") == 0) return run_minesparsepath();
  if (std::strcmp(mode, "minev") == 0) {
    if (argc < 4) return missing_words("minev <hdr> <start>");
    return run_minev(argv[2], argv[3]);
  }
  if (std::strcmp(mode, "bench") == 0) return run_bench(argc, argv);
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
    return run_pool(argv[2], argv[3], worker, gap, ngpu);
  }
  print_usage();
  return 0;
}
