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

// ---- input: the oracle's lines

// The hash entries in input order and the index count they span (the largest index plus one).
struct OracleEntries {
  std::vector<Entry> entries;
  uint32_t n = 0;
};

// The first line: a label and the 12 canonical felts. False after one line when it is missing
// or short.
bool read_oracle_midstate(FILE* in, FILE* out, FILE* err, unsigned long long (&mid)[12]) {
  char line[4096];
  if (!read_line(in, line)) {
    std::fprintf(out, "no MIDSTATE\n");
    return false;
  }
  char label[16];
  const int got = std::sscanf(line, "%15s %llx %llx %llx %llx %llx %llx %llx %llx %llx %llx %llx %llx",
                              label, &mid[0], &mid[1], &mid[2], &mid[3], &mid[4], &mid[5], &mid[6],
                              &mid[7], &mid[8], &mid[9], &mid[10], &mid[11]);
  if (got < 13) {
    std::fprintf(err, "minev: the MIDSTATE line needs a label and 12 hexadecimal felts\n");
    return false;
  }
  return true;
}

// Every further line; false after one line when a line is malformed, there is none, or the
// index count would wrap.
bool read_oracle_entries(FILE* in, FILE* out, FILE* err, OracleEntries* o) {
  char line[4096];
  uint32_t max_index = 0;
  int line_no = 1;  // the MIDSTATE line
  while (read_line(in, line)) {
    ++line_no;
    Entry e;
    std::string why;
    const LineKind kind = parse_entry(line, &e, &why);
    if (kind == LineKind::kSkip) continue;
    if (kind == LineKind::kBad) {
      std::fprintf(err, "minev: line %d rejected: %s\n", line_no, why.c_str());
      return false;
    }
    if (e.index > max_index) max_index = e.index;
    o->entries.push_back(e);
  }
  if (o->entries.empty()) {
    std::fprintf(out, "no hash lines\n");
    return false;
  }
  if (max_index == 0xFFFFFFFFu) {
    std::fprintf(err, "minev: index 4294967295 makes the index count wrap to 0\n");
    return false;
  }
  o->n = max_index + 1;
  return true;
}

// ---- the device phase

// The midstate of the command-line words, then one mining-path check over every index.
class DevicePhase {
 public:
  explicit DevicePhase(Device* dev) : dev_(dev) {}

  Status midstate(const unsigned char* header, const unsigned char* high, uint64_t (&out)[12]) {
    Status s = header_.allocate(dev_, 32);
    if (s.ok()) s = high_.allocate(dev_, 32);
    if (s.ok()) s = low_.allocate(dev_, 32);
    if (s.ok()) s = mid_.allocate(dev_, 12);
    if (s.ok()) s = dev_->copy_in(header_.get(), header, 32);
    if (s.ok()) s = dev_->copy_in(high_.get(), high, 32);
    if (s.ok()) s = dev_->launch(MidstateLaunch{header_.get(), high_.get(), mid_.get()});
    if (s.ok()) s = dev_->synchronize();
    if (s.ok()) s = dev_->copy_out(out, mid_.get(), sizeof out);
    return s;
  }

  // The buffers of n indices.
  Status allocate(uint32_t n) {
    Status s = hashes_.allocate(dev_, 64 * static_cast<size_t>(n));
    if (s.ok()) s = target_.allocate(dev_, 64);
    if (s.ok()) s = decisions_.allocate(dev_, n);
    if (s.ok()) s = ties_.allocate(dev_, n);
    return s;
  }

  // Hashes, decisions and ties of indices 0 .. n-1, the outputs first filled so that an index
  // the kernel skips reads as wrong.
  Status verify(const unsigned char* low, uint32_t n, const unsigned char* target, HostResults* h) {
    Status s = dev_->copy_in(target_.get(), target, 64);
    if (s.ok()) s = dev_->fill(decisions_.get(), 0xEE, n);
    if (s.ok()) s = dev_->fill(ties_.get(), 0xEE, n);
    if (s.ok()) s = dev_->copy_in(low_.get(), low, 32);
    if (s.ok())
      s = dev_->launch(MineVerifyLaunch{{(n + kTpb - 1) / kTpb, kTpb}, mid_.get(), low_.get(), n,
                                        hashes_.get(), target_.get(), decisions_.get(),
                                        ties_.get()});
    if (s.ok()) s = dev_->synchronize();
    if (s.ok()) s = dev_->copy_out(h->hashes.get(), hashes_.get(), 64 * static_cast<size_t>(n));
    if (s.ok()) s = dev_->copy_out(h->decisions.get(), decisions_.get(), n);
    if (s.ok()) s = dev_->copy_out(h->ties.get(), ties_.get(), n);
    return s;
  }

 private:
  Device* dev_;
  DeviceBuffer<unsigned char> header_, high_, low_;
  DeviceBuffer<uint64_t> mid_;
  DeviceBuffer<unsigned char> hashes_, target_, decisions_, ties_;
};

// ---- the report

void report_midstate(FILE* out, const uint64_t (&device_mid)[12],
                     const unsigned long long (&oracle_mid)[12], int cc) {
  int mismatched = 0;
  for (int i = 0; i < 12; ++i)
    if (canonical_word(device_mid[i], cc) != oracle_mid[i]) ++mismatched;
  std::fprintf(out, "MIDSTATE match: %s (%d/12 felts)\n", mismatched == 0 ? "OK" : "FAIL",
               12 - mismatched);
}

// The decisions, the ties and the hashes against the oracle's; returns the number of hashes
// that differ, the one count that fails the mode.
int report_paths(FILE* out, const std::vector<Entry>& entries, const unsigned char* target,
                 const HostResults& h) {
  const int L = static_cast<int>(entries.size());
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
  return hash_failures;
}

}  // namespace

int run_minev_on(Device* dev, const char* hdr, const char* start, FILE* in, FILE* out, FILE* err) {
  unsigned char header[32], nonce[64];
  if (!decode_words(hdr, start, header, nonce, err)) return 1;
  auto failed = [&](const Status& s) {
    std::fprintf(err, "minev: %s\n", s.line().c_str());
    return 1;
  };

  DevicePhase phase(dev);
  uint64_t device_mid[12];
  Status s = phase.midstate(header, nonce, device_mid);
  if (!s.ok()) return failed(s);
  unsigned long long oracle_mid[12];
  if (!read_oracle_midstate(in, out, err, oracle_mid)) return 1;
  report_midstate(out, device_mid, oracle_mid, dev->info().cc());

  OracleEntries o;
  if (!read_oracle_entries(in, out, err, &o)) return 1;
  // The target ties with the entry at L/3 on the first half, so the second half decides it.
  unsigned char target[64];
  std::memcpy(target, o.entries[o.entries.size() / 3].hash, 32);
  std::memset(target + 32, 0x80, 32);

  HostResults h;
  if (!h.allocate(o.n)) {
    std::fprintf(err, "minev: %u indices need more host memory than is available\n", o.n);
    return 1;
  }
  s = phase.allocate(o.n);
  if (!s.ok()) {
    std::fprintf(err, "minev: cannot allocate the buffers for %u indices (%s)\n", o.n,
                 s.line().c_str());
    return 1;
  }
  s = phase.verify(nonce + 32, o.n, target, &h);
  if (!s.ok()) return failed(s);
  return report_paths(out, o.entries, target, h) != 0 ? 1 : 0;
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
