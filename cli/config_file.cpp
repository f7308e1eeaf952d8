// The --config reader, on nlohmann-json. Every key is known, typed and range-checked: a typo in a
// rig's settings file must stop the start, never be mined past.
#include "cli/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "pool/url_check.h"
#include "util/device_list.h"
#include "util/printable.h"
#include "util/word.h"

namespace tarn {
namespace {

using nlohmann::json;

// A settings file is a few hundred bytes; anything near this is not one.
constexpr size_t kMaxConfigBytes = 1u << 20;

std::string key_name(const std::string& key) { return "\"" + printable(key) + "\""; }

// Keys starting with "//" are comments, so the file can explain itself and stay plain JSON.
bool is_comment(const std::string& key) { return key.rfind("//", 0) == 0; }

bool read_file(const std::string& path, std::string* text, std::string* why) {
  // O_NONBLOCK: a FIFO named by mistake must not hang the start; regular files ignore it.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = true;
  if (fstat(fd, &st) != 0) {
    *why = std::strerror(errno);
    ok = false;
  } else if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    ok = false;
  }
  char buf[16384];
  while (ok) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::strerror(errno);
      ok = false;
    } else if (n == 0) {
      break;
    } else if (text->size() + static_cast<size_t>(n) > kMaxConfigBytes) {
      *why = "larger than 1 MiB";
      ok = false;
    } else {
      text->append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return ok;
}

// nlohmann keeps the last of two equal keys without a word; its parse callback sees every key,
// so a repeated one is caught here instead.
bool parse_json(const std::string& text, json* out, std::string* why) {
  struct Frame {
    std::string path;  // "\"pool\"." inside the pool object
    std::set<std::string> keys;
  };
  std::vector<Frame> frames;
  std::string key, repeated, last;  // last: the path of the key read last
  auto see = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) {
      frames.push_back({frames.empty() ? "" : frames.back().path + key_name(key) + ".", {}});
    } else if (event == json::parse_event_t::object_end) {
      if (!frames.empty()) frames.pop_back();
    } else if (event == json::parse_event_t::key && parsed.is_string()) {
      key = parsed.get<std::string>();
      if (!frames.empty()) last = frames.back().path + key_name(key);
      if (!frames.empty() && !is_comment(key) && !frames.back().keys.insert(key).second &&
          repeated.empty())
        repeated = frames.back().path + key_name(key);
    }
    return true;
  };
  try {
    *out = json::parse(text, see);
  } catch (const json::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ..." without its tag;
    // a number too large for a double has no position, so the key before it is named instead.
    std::string what = e.what();
    const size_t tag = what.find("] ");
    if (tag != std::string::npos) what.erase(0, tag + 2);
    const bool placed = dynamic_cast<const json::parse_error*>(&e) != nullptr || last.empty();
    *why = (placed ? "invalid JSON" : last) + ": " + printable(what);
    return false;
  }
  if (!repeated.empty()) {
    *why = repeated + ": given twice";
    return false;
  }
  return true;
}

bool wrong_type(const std::string& name, const char* wanted, const json& v, std::string* why) {
  *why = name + ": must be " + wanted + ", not " + v.type_name();
  return false;
}

// A string value. No control character belongs in a URL, name, path or token, and a NUL would
// cut the word short where it becomes a C string.
bool text_value(const json& v, const std::string& name, std::string* out, std::string* why) {
  if (!v.is_string()) return wrong_type(name, "a string", v, why);
  *out = v.get<std::string>();
  for (const char c : *out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      *why = name + ": holds a control character";
      return false;
    }
  }
  return true;
}

// A JSON number as the command line would write it: whole numbers exactly, others in the fewest
// digits that read back as the same double.
std::string number_word(const json& v) {
  if (v.is_number_unsigned()) return std::to_string(v.get<std::uint64_t>());
  if (v.is_number_integer()) return std::to_string(v.get<std::int64_t>());
  const double d = v.get<double>();
  char buf[40];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}

bool number_value(const json& v, const std::string& name, std::string* out, std::string* why) {
  if (!v.is_number()) return wrong_type(name, "a number", v, why);
  *out = number_word(v);
  return true;
}

bool comment_value(const json& v, const std::string& name, std::string* why) {
  return v.is_string() || wrong_type(name, "a string (a comment)", v, why);
}

bool unknown_key(const std::string& name, const char* known, std::string* why) {
  *why = name + ": unknown key (known: " + known + ")";
  return false;
}

enum class Kind { text, number, flag };

struct GlobalKey {
  const char* name;  // the option without its dashes
  Kind kind;
};

const GlobalKey kGlobalKeys[] = {
    {"devices", Kind::text},       {"api", Kind::text},         {"api-token", Kind::text},
    {"ca-file", Kind::text},       {"tls-no-verify", Kind::flag}, {"job-timeout", Kind::number},
    {"temp-limit", Kind::number},  {"launch-timeout", Kind::number}, {"log-file", Kind::text},
    {"timestamps", Kind::flag},
};
const char kTopKeys[] =
    "devices, api, api-token, ca-file, tls-no-verify, job-timeout, temp-limit, launch-timeout, "
    "log-file, timestamps, pool, bench";

// One global option, fed as its command-line words through the command line's parser, so the
// file can take no value the command line refuses.
bool apply_global(const GlobalKey& key, const json& v, GlobalOptions* opts, std::string* why) {
  const std::string name = key_name(key.name);
  std::vector<std::string> words = {"tarn-cuda", std::string("--") + key.name};
  std::string value;
  if (key.kind == Kind::flag) {
    if (!v.is_boolean()) return wrong_type(name, "true or false", v, why);
    if (!v.get<bool>()) return true;
  } else if (key.kind == Kind::number) {
    if (!number_value(v, name, &value, why)) return false;
    words.push_back(value);
  } else {
    if (!text_value(v, name, &value, why)) return false;
    words.push_back(value);
  }
  if (std::strcmp(key.name, "devices") == 0) {
    // The command line only warns about these; here the devices must be named now, while the
    // pool and bench modes check them against the GPUs present.
    std::vector<int> list;
    std::string bad;
    if (value.empty()) {
      *why = name + ": lists no device (use \"all\" or numbers such as \"0,2\")";
      return false;
    }
    if (value != "all" && !choose_devices(value, 1, INT_MAX, &list, &bad)) {
      *why = name + ": " + bad;
      return false;
    }
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  char** args = argv.data();
  const size_t warned = opts->warnings.size();
  std::string line;
  if (!parse_global_options(&argc, &args, opts, &line)) {
    // "--temp-limit takes ..." becomes "\"temp-limit\": takes ...".
    const std::string option = words[1] + " ";
    if (line.rfind(option, 0) == 0) line.erase(0, option.size());
    *why = name + ": " + line;
    return false;
  }
  // A value the command line would take with a warning is refused: nobody reads a service's
  // warnings.
  if (opts->warnings.size() > warned || argc != 1) {
    *why = name + ": " + (opts->warnings.size() > warned ? opts->warnings.back() : "not taken");
    opts->warnings.resize(warned);
    return false;
  }
  return true;
}

bool read_pool(const json& pool, std::vector<std::string>* words, std::string* why) {
  words->assign(4, "");
  for (auto it = pool.begin(); it != pool.end(); ++it) {
    const std::string& key = it.key();
    const json& v = it.value();
    const std::string name = "\"pool\"." + key_name(key);
    if (is_comment(key)) {
      if (!comment_value(v, name, why)) return false;
    } else if (key == "urls") {
      if (!v.is_array()) return wrong_type(name, "an array of strings", v, why);
      if (v.empty()) {
        *why = name + ": lists no URL";
        return false;
      }
      std::string list;
      for (const json& entry : v) {
        std::string url;
        if (!text_value(entry, name, &url, why)) return false;
        // The command line joins URLs with commas; one inside a URL would split it in two.
        if (url.empty() || url.find(',') != std::string::npos) {
          *why = name + ": \"" + url + "\" is not one URL";
          return false;
        }
        list += (list.empty() ? "" : ",") + url;
      }
      std::string bad;
      if (!check_pool_urls(list, &bad)) {
        *why = name + ": bad url " + bad;
        return false;
      }
      (*words)[0] = list;
    } else if (key == "payout" || key == "worker") {
      std::string text;
      if (!text_value(v, name, &text, why)) return false;
      if (text.empty()) {
        *why = name + ": is empty";
        return false;
      }
      (*words)[key == "payout" ? 1 : 2] = text;
    } else if (key == "submit-gap") {
      std::string word, fault;
      if (!number_value(v, name, &word, why)) return false;
      read_real_word(word.c_str(), &fault);
      if (!fault.empty()) {
        *why = name + ": " + word + " " + fault;
        return false;
      }
      (*words)[3] = word;
    } else {
      return unknown_key(name, "urls, payout, worker, submit-gap", why);
    }
  }
  return true;
}

bool read_bench(const json& bench, std::vector<std::string>* words, std::string* why) {
  words->assign(3, "");
  for (auto it = bench.begin(); it != bench.end(); ++it) {
    const std::string& key = it.key();
    const json& v = it.value();
    const std::string name = "\"bench\"." + key_name(key);
    if (is_comment(key)) {
      if (!comment_value(v, name, why)) return false;
      continue;
    }
    std::string word, fault;
    size_t slot = 0;
    if (key == "secs") {
      if (!number_value(v, name, &word, why)) return false;
      read_real_word(word.c_str(), &fault);
    } else if (key == "per-thread" || key == "tpb") {
      if (!number_value(v, name, &word, why)) return false;
      // The ranges the bench words are read with.
      const bool tpb = key == "tpb";
      read_int_word(word.c_str(), 0, tpb ? 1024 : UINT32_MAX, &fault);
      slot = tpb ? 2 : 1;
    } else {
      return unknown_key(name, "secs, per-thread, tpb", why);
    }
    if (!fault.empty()) {
      *why = name + ": " + word + " " + fault;
      return false;
    }
    (*words)[slot] = word;
  }
  return true;
}

bool read_config(const json& top, GlobalOptions* opts, ConfigWords* words, std::string* why) {
  if (!top.is_object()) {
    *why = std::string("the top level must be a JSON object, not ") + top.type_name();
    return false;
  }
  for (auto it = top.begin(); it != top.end(); ++it) {
    const std::string& key = it.key();
    const json& v = it.value();
    const std::string name = key_name(key);
    if (is_comment(key)) {
      if (!comment_value(v, name, why)) return false;
      continue;
    }
    if (key == "pool" || key == "bench") {
      if (!v.is_object()) return wrong_type(name, "an object", v, why);
      if (!(key == "pool" ? read_pool(v, &words->pool, why) : read_bench(v, &words->bench, why)))
        return false;
      continue;
    }
    const GlobalKey* known = nullptr;
    for (const GlobalKey& g : kGlobalKeys)
      if (key == g.name) known = &g;
    if (!known) return unknown_key(name, kTopKeys, why);
    if (!apply_global(*known, v, opts, why)) return false;
  }
  return true;
}

}  // namespace

bool load_config_file(const std::string& path, GlobalOptions* opts, ConfigWords* words,
                      std::string* why) {
  std::string text, fault;
  json top;
  const bool ok = read_file(path, &text, &fault) && parse_json(text, &top, &fault) &&
                  read_config(top, opts, words, &fault);
  if (!ok) *why = "config " + printable(path) + ": " + fault;
  return ok;
}

}  // namespace tarn
