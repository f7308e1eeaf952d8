#include "cli/help.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/options.h"

namespace tarn {
namespace {

const char* const kModes[] = {"verify", "hash", "mine", "bench", "pool", "minesparsepath",
                              "minev", "mulbench", "version", "--version", "-V"};
const char* const kOptions[] = {"--cpu", "--devices", "--list-devices", "--ca-file",
                                "--tls-no-verify", "--job-timeout", "--api", "--api-token",
                                "--temp-limit", "--help", "-h", "--version", "-V",
                                "--config", "--check-config"};

// Edit distance with adjacent transpositions (optimal string alignment): "mien" is one step
// from "mine".
size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

void print_usage() {
  std::printf(
      "modes: version | verify | minesparsepath | minev <hdr> <start> | bench <secs> "
      "[per_thread] [tpb] [ngpu]\n");
  std::printf("       mine <hdr> <difficulty> [secs] | pool <ws_url> <payout> [worker] "
              "[submit_gap_s] [ngpu]\n");
}

void print_help() {
  std::printf(
      "usage: tarn-cuda [global options] <mode> [arguments]\n"
      "\n"
      "modes:\n"
      "  verify              (also: no mode word) hash the lines 'header nonce expected-hash'\n"
      "                      (64, 128, 128 hex digits) on standard input and compare\n"
      "  hash                print the hash of each line 'header nonce' on standard input\n"
      "  mine <hdr> <difficulty> [secs]\n"
      "                      solo search for one nonce below the difficulty's target (secs 30)\n"
      "  bench [secs] [per_thread] [tpb] [ngpu]\n"
      "                      hash rate of the mining kernel (defaults 5, 64, automatic, 1)\n"
      "  pool <ws_url> <payout> [worker] [submit_gap_s] [ngpu]\n"
      "                      mine for a pool over ws:// or wss://, backup URLs after commas\n"
      "                      (defaults cuda-5090, 0.2, 1) until SIGINT or SIGTERM\n"
      "  minesparsepath      self-test of the direction-layout mining path\n"
      "  minev <hdr> <start> self-test of the mining path against oracle lines on standard input\n"
      "  mulbench [iters|sqr|dbg]\n"
      "                      field-multiplication rates and exactness checks (iters 2048)\n"
      "  version, --version, -V\n"
      "                      the version banner on standard output\n"
      "\n"
      "%s"
      "\n"
      "exit status:\n"
      "  0  done; also for an unknown mode word, which prints the short list of modes\n"
      "  1  a failure: a missing or bad word, no usable device, a rejected input line,\n"
      "     a failed check or a device fault\n"
      "  2  mine found no solution within secs; or a word starting with -- after the mode word\n"
      "  3  pool: a permanent pool failure (see the README's Operating a farm)\n"
      "  4  a GPU launch ran past --launch-timeout: the GPU is hung\n",
      global_options_help());
}

bool is_mode_word(const char* word) {
  for (const char* m : kModes)
    if (std::strcmp(word, m) == 0) return true;
  return false;
}

std::string nearest_word(const std::string& word) {
  const std::string w = lower(word);
  std::string best;
  size_t best_d = 0;
  auto consider = [&](const char* candidate) {
    const std::string c = candidate;
    // One slip in a short word, two in a longer one.
    const size_t allowed = c.size() <= 4 ? 1 : 2;
    const size_t d = distance(w, lower(c));
    if (d <= allowed && (best.empty() || d < best_d)) {
      best = c;
      best_d = d;
    }
  };
  if (!word.empty() && word[0] == '-') {
    for (const char* o : kOptions) consider(o);
  } else {
    for (const char* m : kModes) consider(m);
  }
  return best;
}

}  // namespace tarn
