// Pool protocol messages: the two texts the client sends and the reading of those it receives.
#include "pool/messages.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "pool/json_escape.h"
#include "util/bytes.h"
#include "util/number.h"
#include "util/printable.h"
#include "util/version.h"

std::string hello_message(const std::string& payout, const std::string& worker) {
  const std::string p = json_escape_literal(payout);
  const std::string w = json_escape_literal(worker);
  std::string m;
  m.reserve(75 + p.size() + w.size());
  m += "{\"Hello\":{\"payout_address\":\"";
  m += p;
  m += "\",\"worker_name\":\"";
  m += w;
  m += "\",\"client\":\"tarn-cuda/" TARN_VERSION "\"}}";
  return m;
}

std::string job_result_message(const std::string& job_id, const std::string& nonce_hex,
                               std::uint64_t hash_count) {
  const std::string id = json_escape_received(job_id);
  // Ordinary hex digits pass unchanged; escaping only guards against a malformed caller value.
  const std::string nonce = json_escape_literal(nonce_hex);
  char count[24];
  std::snprintf(count, sizeof count, "%" PRIu64, hash_count);

  std::string m;
  m.reserve(118 + id.size() + 2 * nonce.size() + 20);
  m += "{\"JobResult\":{\"status\":\"completed\",\"job_id\":\"";
  m += id;
  m += "\",\"nonce\":\"";
  m += nonce;
  m += "\",\"work\":\"";
  m += nonce;
  m += "\",\"hash_count\":";
  m += count;
  m += ",\"elapsed_time\":0.0,\"miner_id\":null}}";
  return m;
}

std::string nonce_hex(const std::uint8_t* nonce64) { return tarn::to_hex(nonce64, 64); }

MessageKind classify_message(const std::string& text) {
  // Order matters: a NewJob that mentions "SetDifficulty" is still a NewJob, and a rejection
  // whose reason is "HelloAck" is still a rejection.
  static const struct {
    const char* quoted;
    MessageKind kind;
  } kOrder[] = {
      {"\"NewJob\"", MessageKind::NewJob},
      {"\"SetDifficulty\"", MessageKind::SetDifficulty},
      {"\"ShareAccepted\"", MessageKind::ShareAccepted},
      {"\"ShareRejected\"", MessageKind::ShareRejected},
      {"\"HelloAck\"", MessageKind::HelloAck},
  };
  for (const auto& entry : kOrder) {
    if (text.find(entry.quoted) != std::string::npos) return entry.kind;
  }
  return MessageKind::Unknown;
}

std::array<std::uint8_t, 32> header_from_hex(const std::string& hex) {
  std::array<std::uint8_t, 32> header{};
  for (std::size_t i = 0; i < header.size(); ++i) {
    // Only the byte's own two characters are offered to sscanf, so a short or odd text can
    // never make one byte read into the next.
    char two[3] = {0, 0, 0};
    if (2 * i < hex.size()) two[0] = hex[2 * i];
    if (2 * i + 1 < hex.size()) two[1] = hex[2 * i + 1];
    unsigned int v = 0;
    if (std::sscanf(two, "%2x", &v) == 1) header[i] = static_cast<std::uint8_t>(v);
  }
  return header;
}

std::uint64_t difficulty_u64(const std::string& difficulty) {
  std::uint64_t v = 0;
  return tarn::parse_u64(difficulty, &v) ? v : 0;
}

double difficulty_f64(const std::string& difficulty) {
  return std::strtod(difficulty.c_str(), nullptr);
}

NewJob read_new_job(const std::string& text) {
  NewJob job;
  job.job_id = json_str(text, "job_id");
  job.difficulty = json_str(text, "difficulty");
  job.mining_hash = json_str(text, "mining_hash");
  job.header = header_from_hex(job.mining_hash);
  job.difficulty_value = difficulty_u64(job.difficulty);
  return job;
}

SetDifficulty read_set_difficulty(const std::string& text) {
  SetDifficulty sd{false, false, 0.0, std::string(), std::string()};
  const std::size_t key = text.find("share_difficulty");
  if (key == std::string::npos) return sd;
  sd.found = true;

  // Without a colon after the key, reading starts at the message's first character, which
  // gives 0 for any JSON object.
  const std::size_t colon = text.find(':', key);
  const char* begin = text.c_str() + (colon == std::string::npos ? 0 : colon + 1);
  char* end = nullptr;
  sd.value = std::strtod(begin, &end);
  if (end == begin) sd.value = 0.0;

  // strtod skips leading blanks; the ignored line shows only the number itself.
  const char* first = begin;
  while (first < end && (*first == ' ' || (*first >= '\t' && *first <= '\r'))) ++first;
  sd.number.assign(first, static_cast<std::size_t>(end - first));

  // 18446744073709551616.0 is 2^64; NaN fails both comparisons. The cast below is only
  // defined inside this range.
  sd.usable = sd.value >= 0.0 && sd.value < 18446744073709551616.0;
  if (sd.usable) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%" PRIu64, static_cast<std::uint64_t>(sd.value));
    sd.difficulty = digits;
  }
  return sd;
}

std::string set_difficulty_ignored_line(const std::string& tag, const SetDifficulty& sd) {
  return tag + " SetDifficulty ignored: share_difficulty " + tarn::printable_capped(sd.number) +
         " is negative, not finite or 2^64 or more\n";
}

std::string read_reject_reason(const std::string& text) { return json_str(text, "reason"); }

bool has_blank_after_colon(const std::string& text) {
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (in_string) {
      if (ch == '\\') {
        ++i;  // the escaped character, a quote included, cannot end the string
      } else if (ch == '"') {
        in_string = false;
      }
    } else if (ch == '"') {
      in_string = true;
    } else if (ch == ':' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == ' ' || next == '\t' || next == '\n' || next == '\r') return true;
    }
  }
  return false;
}
