#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/number.h"

namespace tarn {
namespace {

// "--name=value" or "--name value": the value, or null when word is not this option.
const char* option_value(const char* name, int* i, int argc, char** argv, bool* missing) {
  const char* word = argv[*i];
  const size_t n = std::strlen(name);
  if (std::strncmp(word, name, n) != 0) return nullptr;
  if (word[n] == '=') return word + n + 1;
  if (word[n] != '\0') return nullptr;
  if (*i + 1 >= argc) {
    *missing = true;
    return nullptr;
  }
  return argv[++*i];
}

// The refusal line goes to *why when the caller words it itself (the config file), else to
// standard error.
bool bad(const std::string& line, std::string* why) {
  if (why)
    *why = line;
  else
    std::fprintf(stderr, "%s\n", line.c_str());
  return false;
}

}  // namespace

bool parse_global_options(int* argc, char*** argv, GlobalOptions* out, std::string* why) {
  char** v = *argv;
  int i = 1;
  for (; i < *argc && std::strncmp(v[i], "--", 2) == 0; ++i) {
    const char* word = v[i];
    bool missing = false;
    const char* value = nullptr;
    if (std::strcmp(word, "--cpu") == 0) {
      out->cpu_cc = 120;
    } else if (std::strncmp(word, "--cpu=", 6) == 0) {
      uint64_t cc = 0;
      if (!parse_u64(word + 6, &cc) || cc < 10 || cc > 999)
        return bad("--cpu=CC takes a compute capability times ten, e.g. --cpu=86 or --cpu=120",
                   why);
      out->cpu_cc = static_cast<int>(cc);
      // The GPUs the device code is built for run from 7.5 to 12.0.
      if (cc < 75 || cc > 120) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "%s is out of range (75 to 120); using compute capability %d.%d", word,
                      out->cpu_cc / 10, out->cpu_cc % 10);
        out->warnings.push_back(line);
      }
    } else if (std::strcmp(word, "--help") == 0) {
      out->help = true;
    } else if (std::strcmp(word, "--tls-no-verify") == 0) {
      out->tls_no_verify = true;
    } else if (std::strcmp(word, "--list-devices") == 0) {
      out->list_devices = true;
    } else if (std::strcmp(word, "--timestamps") == 0) {
      out->timestamps = true;
    } else if (std::strcmp(word, "--check-config") == 0) {
      out->check_config = true;
    } else if ((value = option_value("--config", &i, *argc, v, &missing))) {
      // An empty path (an unset variable in a unit file) would silently run without the file.
      if (*value == '\0') return bad("--config needs a path", why);
      out->config = value;
    } else if ((value = option_value("--log-file", &i, *argc, v, &missing))) {
      if (*value == '\0') return bad("--log-file needs a path", why);
      out->log_file = value;
    } else if ((value = option_value("--launch-timeout", &i, *argc, v, &missing))) {
      uint64_t secs = 0;
      if (!parse_u64(value, &secs) || secs == 0 || secs > 86400)
        return bad("--launch-timeout takes a whole number of seconds from 1 to 86400", why);
      out->launch_timeout = static_cast<double>(secs);
      out->launch_timeout_given = true;
    } else if ((value = option_value("--ca-file", &i, *argc, v, &missing))) {
      out->ca_file = value;
    } else if ((value = option_value("--job-timeout", &i, *argc, v, &missing))) {
      uint64_t secs = 0;
      if (!parse_u64(value, &secs) || secs == 0 || secs > 86400)
        return bad("--job-timeout takes a whole number of seconds from 1 to 86400", why);
      out->job_timeout = static_cast<double>(secs);
    } else if ((value = option_value("--devices", &i, *argc, v, &missing))) {
      out->devices = value;
      if (out->devices.empty())
        out->warnings.push_back("--devices '' lists no device; using the mode's own GPU count");
    } else if ((value = option_value("--api-token", &i, *argc, v, &missing))) {
      out->api_token = value;
    } else if ((value = option_value("--api", &i, *argc, v, &missing))) {
      out->api = value;
    } else if ((value = option_value("--temp-limit", &i, *argc, v, &missing))) {
      uint64_t c = 0;
      if (!parse_u64(value, &c) || c < 30 || c > 120)
        return bad("--temp-limit takes a whole number of degrees Celsius from 30 to 120", why);
      out->temp_limit = static_cast<int>(c);
    } else if (missing) {
      return bad(std::string(word) + " needs a value", why);
    } else {
      break;  // a mode word ("--version") or an unknown word: the mode dispatch answers it
    }
  }
  // Keep argv[0]; the mode word follows it directly.
  const int taken = i - 1;
  if (taken > 0) {
    v[taken] = v[0];
    *argv = v + taken;
    *argc -= taken;
  }
  return true;
}

const char* global_options_help() {
  return "global options (before the mode word):\n"
         "  --cpu[=CC]          run on the host emulation of compute capability CC x10 (default 120)\n"
         "  --devices LIST      GPUs for pool and bench: 0,2,5 or all\n"
         "  --list-devices      print the devices and exit\n"
         "  --ca-file PATH      also trust this CA for wss:// pools\n"
         "  --tls-no-verify     do not verify the pool's certificate (warned on every connect)\n"
         "  --job-timeout SECS  reconnect when the pool sends nothing for SECS seconds\n"
         "  --api ADDR:PORT     serve the read-only HTTP API (/summary, /metrics)\n"
         "  --api-token TOKEN   bearer token the API requires (needed off loopback)\n"
         "  --temp-limit C      pause a GPU at C degrees Celsius, resume at C-5\n"
         "  --launch-timeout SECS\n"
         "                      a launch running longer is a hung GPU: exit with status 4\n"
         "                      (default 30; with --cpu only when given)\n"
         "  --log-file PATH     append every line to PATH too (mode 0640; reopened on SIGHUP)\n"
         "  --timestamps        prefix each line with an ISO-8601 UTC time\n"
         "  --config FILE       read these options and the pool/bench words from a JSON file;\n"
         "                      the command line overrides it. Keys: the options above without\n"
         "                      dashes (devices, api, api-token, ca-file, tls-no-verify,\n"
         "                      job-timeout, temp-limit, launch-timeout, log-file, timestamps),\n"
         "                      \"pool\": {urls [..], payout, worker, submit-gap} and\n"
         "                      \"bench\": {secs, per-thread, tpb}; see contrib/config.README.md\n"
         "  --check-config      validate the --config file and exit\n"
         "  --help, -h          this text\n";
}

}  // namespace tarn
