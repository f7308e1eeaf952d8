// "minev": holds the counter-layout mining path (midstate, staged target test, tie rule, full
// hash) against an outside oracle's midstate and hashes read from standard input.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "gpu/device.h"
#include "modes/device_setup.h"
#include "util/bytes.h"
#include "modes/modes.h"
#include "modes/selftests.h"

namespace tarn {
namespace {

constexpr unsigned int kTpb = 256;
constexpr uint64_t kP = 0xFFFFFFFF00000001ull;
constexpr uint64_t kRInverse = 0xFFFFFFFE00000001ull;  // 2^-64 mod p

// One oracle line: the index, its hash, and the first 24 characters of the text as given.
struct Entry {
  uint32_t index;
  unsigned char hash[64];
  char text[25];
};

// Reads one line of at most 4095 characters; the rest of a longer line is dropped so that it
// cannot pass for a line of its own. False at end of input.
bool read_line(FILE* in, char (&line)[4096]) {
  if (!std::fgets(line, sizeof line, in)) return false;
  const size_t len = std::strlen(line);
  if (len == sizeof line - 1 && line[len - 1] != '\n') {
    int c;
    do c = std::fgetc(in);
    while (c != '\n' && c != EOF);
  }
  return true;
}

// A device midstate word in canonical form: Montgomery (x * 2^64) below 12.0, plain above.
uint64_t canonical_word(uint64_t x, int cc) {
  if (direction_layout(cc)) return x >= kP ? x - kP : x;
  return static_cast<uint64_t>(static_cast<unsigned __int128>(x) * kRInverse % kP);
}

enum class LineKind { kSkip, kEntry, kBad };

// "%u %128s", with the index held to 32 bits and the hash to exactly 128 hexadecimal digits.
LineKind parse_entry(const char* line, Entry* e, std::string* why) {
  const char* p = line;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return LineKind::kSkip;
  uint64_t idx = 0;
  bool too_big = false;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    idx = idx * 10 + static_cast<uint64_t>(*p - '0');
    if (idx > 0xFFFFFFFFull) too_big = true, idx = 0xFFFFFFFFull + 1;
  }
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char* tok = p;
  while (*p && !std::isspace(static_cast<unsigned char>(*p))) ++p;
  const size_t len = static_cast<size_t>(p - tok);
  if (len == 0) return LineKind::kSkip;
  if (too_big) {
    *why = "index is larger than 4294967295";
    return LineKind::kBad;
  }
  char text[129];
  if (len != 128) {
    *why = "hash is not 128 hexadecimal digits";
    return LineKind::kBad;
  }
  std::memcpy(text, tok, 128);
  text[128] = '\0';
  if (!parse_hex_exact(text, 64, e->hash)) {
    *why = "hash is not 128 hexadecimal digits";
    return LineKind::kBad;
  }
  e->index = static_cast<uint32_t>(idx);
  std::memcpy(e->text, text, 24);
  e->text[24] = '\0';
  return LineKind::kEntry;
}

// Host arrays sized by the index count, allocated without throwing.
struct HostResults {
  std::unique_ptr<unsigned char[]> hashes, decisions, ties;
  bool allocate(uint64_t n) {
    hashes.reset(new (std::nothrow) unsigned char[64 * n]);
    decisions.reset(new (std::nothrow) unsigned char[n]);
    ties.reset(new (std::nothrow) unsigned char[n]);
    return hashes && decisions && ties;
  }
};

// The command-line words, or one line on err naming the faulty one.
bool decode_words(const char* hdr, const char* start, unsigned char* header, unsigned char* nonce,
                  FILE* err) {
  if (!parse_hex_exact(hdr, 32, header)) {
    std::fprintf(err, "minev: hdr must be exactly 64 hexadecimal digits\n");
    return false;
  }
  if (!parse_hex_exact(start, 64, nonce)) {
    std::fprintf(err, "minev: start must be exactly 128 hexadecimal digits\n");
    return false;
  }
  return true;
}

}  // namespace

int run_minev_on(Device* dev, const char* hdr, const char* start, FILE* in, FILE* out, FILE* err) {
  unsigned char header[32], nonce[64];
  if (!decode_words(hdr, start, header, nonce, err)) return 1;
  auto failed = [&](const Status& s) {
    std::fprintf(err, "minev: %s\n", s.line().c_str());
    return 1;
  };

  DeviceBuffer<unsigned char> d_header, d_high, d_low;
  DeviceBuffer<uint64_t> d_mid;
  uint64_t device_mid[12];
  Status s = d_header.allocate(dev, 32);
  if (s.ok()) s = d_high.allocate(dev, 32);
  if (s.ok()) s = d_low.allocate(dev, 32);
  if (s.ok()) s = d_mid.allocate(dev, 12);
  if (s.ok()) s = dev->copy_in(d_header.get(), header, 32);
  if (s.ok()) s = dev->copy_in(d_high.get(), nonce, 32);
  if (s.ok()) s = dev->launch(MidstateLaunch{d_header.get(), d_high.get(), d_mid.get()});
  if (s.ok()) s = dev->synchronize();
  if (s.ok()) s = dev->copy_out(device_mid, d_mid.get(), sizeof device_mid);
  if (!s.ok()) return failed(s);
  const int cc = dev->info().cc();

  char line[4096];
  if (!read_line(in, line)) {
    std::fprintf(out, "no MIDSTATE\n");
    return 1;
  }
  char label[16];
  unsigned long long oracle_mid[12];
  const int got = std::sscanf(line, "%15s %llx %llx %llx %llx %llx %llx %llx %llx %llx %llx %llx %llx",
                              label, &oracle_mid[0], &oracle_mid[1], &oracle_mid[2], &oracle_mid[3],
                              &oracle_mid[4], &oracle_mid[5], &oracle_mid[6], &oracle_mid[7],
                              &oracle_mid[8], &oracle_mid[9], &oracle_mid[10], &oracle_mid[11]);
  if (got < 13) {
    std::fprintf(err, "minev: the MIDSTATE line needs a label and 12 hexadecimal felts\n");
    return 1;
  }
  int mismatched = 0;
  for (int i = 0; i < 12; ++i)
    if (canonical_word(device_mid[i], cc) != oracle_mid[i]) ++mismatched;
  std::fprintf(out, "MIDSTATE match: %s (%d/12 felts)\n", mismatched == 0 ? "OK" : "FAIL",
               12 - mismatched);

  std::vector<Entry> entries;
  uint32_t max_index = 0;
  int line_no = 1;
  while (read_line(in, line)) {
    ++line_no;
    Entry e;
    std::string why;
    const LineKind kind = parse_entry(line, &e, &why);
    if (kind == LineKind::kSkip) continue;
    if (kind == LineKind::kBad) {
      std::fprintf(err, "minev: line %d rejected: %s\n", line_no, why.c_str());
      return 1;
    }
    if (e.index > max_index) max_index = e.index;
    entries.push_back(e);
  }
  if (entries.empty()) {
    std::fprintf(out, "no hash lines\n");
    return 1;
  }
  if (max_index == 0xFFFFFFFFu) {
    std::fprintf(err, "minev: index 4294967295 makes the index count wrap to 0\n");
    return 1;
  }
  const uint32_t n = max_index + 1;
  const int L = static_cast<int>(entries.size());

  // The target ties with the entry at L/3 on the first half, so the second half decides it.
  unsigned char target[64];
  std::memcpy(target, entries[entries.size() / 3].hash, 32);
  std::memset(target + 32, 0x80, 32);

  HostResults h;
  if (!h.allocate(n)) {
    std::fprintf(err, "minev: %u indices need more host memory than is available\n", n);
    return 1;
  }
  DeviceBuffer<unsigned char> d_hashes, d_target, d_decisions, d_ties;
  s = d_hashes.allocate(dev, 64 * static_cast<size_t>(n));
  if (s.ok()) s = d_target.allocate(dev, 64);
  if (s.ok()) s = d_decisions.allocate(dev, n);
  if (s.ok()) s = d_ties.allocate(dev, n);
  if (!s.ok()) {
    std::fprintf(err, "minev: cannot allocate the buffers for %u indices (%s)\n", n,
                 s.line().c_str());
    return 1;
  }
  s = dev->copy_in(d_target.get(), target, 64);
  if (s.ok()) s = dev->fill(d_decisions.get(), 0xEE, n);
  if (s.ok()) s = dev->fill(d_ties.get(), 0xEE, n);
  if (s.ok()) s = dev->copy_in(d_low.get(), nonce + 32, 32);
  if (s.ok())
    s = dev->launch(MineVerifyLaunch{{(n + kTpb - 1) / kTpb, kTpb}, d_mid.get(), d_low.get(), n,
                                     d_hashes.get(), d_target.get(), d_decisions.get(),
                                     d_ties.get()});
  if (s.ok()) s = dev->synchronize();
  if (s.ok()) s = dev->copy_out(h.hashes.get(), d_hashes.get(), 64 * static_cast<size_t>(n));
  if (s.ok()) s = dev->copy_out(h.decisions.get(), d_decisions.get(), n);
  if (s.ok()) s = dev->copy_out(h.ties.get(), d_ties.get(), n);
  if (!s.ok()) return failed(s);

  int accepts = 0, decision_failures = 0;
  for (const Entry& e : entries) {
    const int oracle_decision = std::memcmp(e.hash, target, 64) < 0 ? 0 : 1;
    if (oracle_decision == 0) ++accepts;
    if (h.decisions[e.index] != oracle_decision) ++decision_failures;
  }
  std::fprintf(out,
               "MINEPATH: %d/%d mining-path decisions match the oracle (%d accepts, %d rejects, "
               "%d failed)\n",
               L - decision_failures, L, accepts, L - accepts, decision_failures);

  int tie_failures = 0;
  for (const Entry& e : entries)
    if (h.ties[e.index] != 1) ++tie_failures;
  std::fprintf(out,
               "MINETIE: %d self-target ties resolved through the full final layer and perm 5, "
               "%d wrong\n",
               L - tie_failures, tie_failures);

  int hash_failures = 0;
  for (const Entry& e : entries) {
    const unsigned char* got_hash = h.hashes.get() + 64 * static_cast<size_t>(e.index);
    if (std::memcmp(e.hash, got_hash, 64) == 0) continue;
    if (++hash_failures <= 2)
      std::fprintf(out, "  MID MISMATCH idx=%u\n   want %.24s...\n   got  %s...\n", e.index,
                   e.text, to_hex(got_hash, 12).c_str());
  }
  std::fprintf(out, "MINEV: %d/%d hashes match oracle (%d failed)\n", L - hash_failures, L,
               hash_failures);
  return hash_failures != 0 ? 1 : 0;
}

}  // namespace tarn

int run_minev(char const* hdr, char const* start) {
  using namespace tarn;
  unsigned char header[32], nonce[64];
  if (!decode_words(hdr, start, header, nonce, stderr)) return 1;  // before touching the device
  std::unique_ptr<Device> dev = open_mode_device("minev");
  if (!dev) return 1;
  return run_minev_on(dev.get(), hdr, start, stdin, stdout, stderr);
}
