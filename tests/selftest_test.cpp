// The self-test kernels and the minesparsepath and minev modes on the host emulation: kernels
// against the host reference, mode checks against injected faults, and the program end to end
// against the outside oracle.
#include <gtest/gtest.h>

#include <regex>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gpu/backends.h"
#include "gpu/host_kernels.h"
#include "hash/hash_ref.h"
#include "hash/sponge.h"
#include "util/bytes.h"
#include "modes/selftests.h"
#include "search/found_result.h"
#include "search/nonce_layout.h"
#include "tests/run_binary.h"

namespace {

using namespace tarn;
using Bytes = std::vector<unsigned char>;

Device* host_device() {
  static std::unique_ptr<Device> dev = [] {
    Status why;
    return host_backend(120)->open(0, &why);
  }();
  return dev.get();
}

// Forwards everything to the host device; tests override pieces to inject faults.
class ForwardingDevice : public Device {
 public:
  explicit ForwardingDevice(Device* inner) : info_(inner->info()), in_(inner) {}
  const DeviceInfo& info() const override { return info_; }
  Status alloc(size_t bytes, void** out) override { return in_->alloc(bytes, out); }
  void release(void* p) override { in_->release(p); }
  Status copy_in(void* d, const void* s, size_t n) override { return in_->copy_in(d, s, n); }
  Status copy_out(void* d, const void* s, size_t n) override { return in_->copy_out(d, s, n); }
  Status fill(void* d, int b, size_t n) override { return in_->fill(d, b, n); }
  Status synchronize() override { return in_->synchronize(); }
  Status event_create(std::unique_ptr<Event>* e) override { return in_->event_create(e); }
  Status event_record(Event& e) override { return in_->event_record(e); }
  Status event_elapsed_ms(const Event& a, const Event& b, float* ms) override {
    return in_->event_elapsed_ms(a, b, ms);
  }
  // Kernels run on the host as a GPU of this device's own compute capability would run them.
  Status launch(const KernelLaunch& k) override { return host::launch(k, info_.cc()); }
  DeviceInfo info_;

 private:
  Device* in_;
};

// Everything a FILE received, for the modes that print to one.
struct Capture {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  ~Capture() {
    std::fclose(f);
    std::free(buf);
  }
  std::string text() {
    std::fflush(f);
    return std::string(buf, size);
  }
};

Bytes pattern(size_t n, int seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed + 29 * i + (i >> 8));
  return b;
}

Bytes ref_hash(const Bytes& header, const unsigned char* nonce) {
  Bytes h(64);
  ref::hash_full(header.data(), nonce, h.data());
  return h;
}

// ------------------------------------------------------------------------- sparse-path kernel

// One launch on the host emulation (its device memory is host memory), outputs pre-filled with
// the mode's fill values.
struct SparseRun {
  size_t n;
  std::vector<uint64_t> indices = std::vector<uint64_t>(n, ~0ull);
  Bytes nonces = Bytes(64 * n, 0xCD), sparse = nonces, direct = nonces;
  Bytes decisions = Bytes(n, 0xEE), ties = decisions;
  FoundResult seed{};
};

SparseRun run_sparse(const Bytes& header, const Bytes& prefix, uint64_t g0, const Bytes& target,
                     unsigned int blocks, unsigned int tpb, unsigned int per_thread) {
  SparseRun r{size_t{blocks} * tpb * per_thread};
  uint64_t mid[12];
  ref::midstate(header.data(), prefix.data(), mid);
  unsigned char start[32] = {};
  put_be64(g0, start + 24);
  const Status s = host_device()->launch(SparsePathLaunch{
      {blocks, tpb}, mid, start, prefix.data(), target.data(), target.data(), per_thread,
      r.indices.data(), r.nonces.data(), r.sparse.data(), r.direct.data(), r.decisions.data(),
      r.ties.data(), &r.seed});
  EXPECT_TRUE(s.ok()) << s.line();
  return r;
}

TEST(SparseKernel, EveryOutputMatchesTheReferenceAcrossGroupWrap) {
  const Bytes header = pattern(32, 3), prefix = pattern(32, 101);
  const Bytes target(64, 0x80);
  for (const uint64_t g0 : {0x0123456789ABull, 0xFFFFFFFFFFFFFFFFull}) {
    SCOPED_TRACE(g0);
    const SparseRun r = run_sparse(header, prefix, g0, target, 2, 2, 2);
    EXPECT_EQ(r.seed.count, 1u);
    EXPECT_EQ(r.seed.index[0], 0u);
    EXPECT_EQ(r.seed.base[0], g0);
    int accepted = 0;
    for (size_t i = 0; i < r.n; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(r.indices[i], i);
      Bytes nonce(prefix);
      nonce.resize(64);
      tarn_nonce_dir_result_low(g0, i, 2, 2, nonce.data() + 32);
      EXPECT_EQ(Bytes(&r.nonces[64 * i], &r.nonces[64 * i + 64]), nonce);
      const Bytes want = ref_hash(header, nonce.data());
      EXPECT_EQ(Bytes(&r.sparse[64 * i], &r.sparse[64 * i + 64]), want);
      EXPECT_EQ(Bytes(&r.direct[64 * i], &r.direct[64 * i + 64]), want);
      const bool below = ref::below_target(want.data(), target.data());
      accepted += below;
      EXPECT_EQ(r.decisions[i], below ? 0 : 1);
      EXPECT_EQ(r.ties[i], 1);
    }
    EXPECT_GT(accepted, 0);  // both decisions occur, so neither value is hard-wired
    EXPECT_LT(accepted, 8);
  }
}

TEST(SparseKernel, SecondHalfDecidesAFirstHalfTie) {
  const Bytes header = pattern(32, 7), prefix = pattern(32, 55);
  const uint64_t g0 = 0x3FFFFE;
  const SparseRun base = run_sparse(header, prefix, g0, Bytes(64, 0x80), 2, 2, 2);
  const Bytes hash3(&base.sparse[64 * 3], &base.sparse[64 * 3 + 64]);
  struct Case {
    int fill;  // bytes 32-63 of the target; -1 keeps the hash itself
    unsigned char decision;
  } cases[] = {{0xFF, 0}, {0x00, 1}, {-1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fill);
    Bytes target(hash3);
    if (c.fill >= 0) std::memset(target.data() + 32, c.fill, 32);
    const SparseRun r = run_sparse(header, prefix, g0, target, 2, 2, 2);
    EXPECT_EQ(r.decisions[3], c.decision);
    for (size_t i = 0; i < r.n; ++i)
      EXPECT_EQ(r.decisions[i], ref::below_target(&r.sparse[64 * i], target.data()) ? 0 : 1) << i;
  }
}

TEST(SparseKernel, OversizeSpanWritesNothing) {
  const Bytes header = pattern(32, 1), prefix = pattern(32, 2);
  const SparseRun r = run_sparse(header, prefix, 5, Bytes(64, 0x80), 1, 512, 65);
  EXPECT_EQ(r.seed.count, 0u);
  EXPECT_EQ(r.seed.base[0], 0u);
  const SparseRun untouched{r.n};
  EXPECT_TRUE(r.indices == untouched.indices && r.nonces == untouched.nonces &&
              r.sparse == untouched.sparse && r.direct == untouched.direct &&
              r.decisions == untouched.decisions && r.ties == untouched.ties);
}

TEST(SparseKernel, EmptyBelowComputeCapability12AndLaunchLimits) {
  ForwardingDevice dev86(host_device());
  dev86.info_.major = 8;
  dev86.info_.minor = 6;
  std::vector<uint64_t> idx(4, 7);
  FoundResult seed{};
  uint64_t mid[12] = {};
  unsigned char start[32] = {}, prefix[32] = {}, target[64] = {};
  Bytes out(64 * 4, 0xCD), small(4, 0xEE);
  Status s = dev86.launch(SparsePathLaunch{{1, 2}, mid, start, prefix, target, target, 2,
                                          idx.data(), out.data(), out.data(), out.data(),
                                          small.data(), small.data(), &seed});
  EXPECT_TRUE(s.ok());
  EXPECT_EQ(idx, std::vector<uint64_t>(4, 7));
  EXPECT_EQ(out, Bytes(64 * 4, 0xCD));
  EXPECT_EQ(seed.count, 0u);
  // As on a GPU: more threads than the launch bounds allow is a launch error.
  s = host_device()->launch(SparsePathLaunch{{1, 513}, mid, start, prefix, target, target, 1,
                                            idx.data(), out.data(), out.data(), out.data(),
                                            small.data(), small.data(), &seed});
  EXPECT_EQ(s.line(), "minesparsepath_kernel launch: too many resources requested for launch");
}

TEST(OracleKernel, HashesFromScratchOnlyBelowCount) {
  const Bytes header = pattern(32, 9), nonces = pattern(64 * 4, 77);
  Bytes out(64 * 4, 0x5A);
  const Status s =
      host_device()->launch(FullOracleLaunch{{1, 4}, header.data(), nonces.data(), 3, out.data()});
  ASSERT_TRUE(s.ok()) << s.line();
  for (int g = 0; g < 3; ++g)
    EXPECT_EQ(Bytes(&out[64 * g], &out[64 * g + 64]), ref_hash(header, &nonces[64 * g])) << g;
  EXPECT_EQ(Bytes(&out[192], &out[256]), Bytes(64, 0x5A));
}

// ------------------------------------------------------------------- mining-path check kernel

Bytes counter_nonce(const Bytes& start, uint32_t i) {
  Bytes n(start);
  const uint32_t v = (uint32_t{start[60]} << 24 | uint32_t{start[61]} << 16 |
                      uint32_t{start[62]} << 8 | start[63]) + i;
  for (int b = 0; b < 4; ++b) n[60 + b] = static_cast<unsigned char>(v >> (24 - 8 * b));
  return n;
}

// Both generations: the Montgomery midstate below 12.0 and the canonical one from 12.0, with the
// counter passing 2^32 inside the run and a partial last block.
TEST(MineverifyKernel, BothGenerationsMatchTheReference) {
  const Bytes header = pattern(32, 11);
  Bytes start = pattern(64, 200);
  start[60] = start[61] = start[62] = 0xFF;
  start[63] = 0x80;  // v = 2^32 - 128
  uint64_t canon[12];
  ref::midstate(header.data(), start.data(), canon);
  const uint32_t n = 300;
  ForwardingDevice dev86(host_device());
  dev86.info_.major = 8;
  dev86.info_.minor = 6;
  for (Device* dev : {host_device(), static_cast<Device*>(&dev86)}) {
    SCOPED_TRACE(dev->info().cc());
    uint64_t mid[12];
    for (int i = 0; i < 12; ++i) mid[i] = dev == &dev86 ? to_montgomery(canon[i]) : canon[i];
    Bytes target = ref_hash(header, counter_nonce(start, 7).data());
    std::memset(target.data() + 32, 0x80, 32);
    Bytes hashes(64 * 512, 0xEE), decisions(512, 0xEE), ties(512, 0xEE);
    const Status s = dev->launch(MineVerifyLaunch{{2, 256}, mid, start.data() + 32, n,
                                                  hashes.data(), target.data(), decisions.data(),
                                                  ties.data()});
    ASSERT_TRUE(s.ok()) << s.line();
    int accepted = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const Bytes want = ref_hash(header, counter_nonce(start, i).data());
      ASSERT_EQ(Bytes(&hashes[64 * i], &hashes[64 * i + 64]), want) << i;
      const bool below = ref::below_target(want.data(), target.data());
      accepted += below;
      ASSERT_EQ(decisions[i], below ? 0 : 1) << i;
      ASSERT_EQ(ties[i], 1) << i;
    }
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, static_cast<int>(n));
    EXPECT_EQ(Bytes(hashes.begin() + 64 * n, hashes.end()), Bytes(64 * (512 - n), 0xEE));
    EXPECT_EQ(Bytes(decisions.begin() + n, decisions.end()), Bytes(512 - n, 0xEE));
  }
}

// ------------------------------------------------------------------------------- minev mode

const char kHdr[] = "314e6b88a5c2dffc193653708daac7e4011e3b587592afcce90623405d7a97b4";

std::string start_hex() { return std::string(120, 'c') + "fffffffe"; }  // wraps after index 1

// The oracle's lines computed with the host reference.
struct OracleText {
  std::string midstate_line;
  std::vector<std::pair<uint32_t, std::string>> lines;  // index, hash text
  std::string text() const {
    std::string s = midstate_line + "\n";
    for (const auto& l : lines) s += std::to_string(l.first) + " " + l.second + "\n";
    return s;
  }
};

OracleText oracle_text(const std::vector<uint32_t>& indices) {
  Bytes header(32), start(64);
  parse_hex_exact(kHdr, 32, header.data());
  parse_hex_exact(start_hex().c_str(), 64, start.data());
  uint64_t mid[12];
  ref::midstate(header.data(), start.data(), mid);
  OracleText o;
  o.midstate_line = "MIDSTATE";
  char word[20];
  for (uint64_t m : mid) {
    std::snprintf(word, sizeof word, " %016llx", static_cast<unsigned long long>(m));
    o.midstate_line += word;
  }
  for (uint32_t i : indices)
    o.lines.emplace_back(i, to_hex(ref_hash(header, counter_nonce(start, i).data()).data(), 64));
  return o;
}

struct MinevResult {
  int status;
  std::string out, err;
};

MinevResult minev(std::string input, const char* hdr = kHdr,
                  const std::string& start = start_hex()) {
  FILE* in = input.empty() ? std::tmpfile() : fmemopen(&input[0], input.size(), "r");
  Capture out, err;
  MinevResult r;
  r.status = run_minev_on(host_device(), hdr, start.c_str(), in, out.f, err.f);
  std::fclose(in);
  r.out = out.text();
  r.err = err.text();
  return r;
}

TEST(MinevMode, ComparesOnlyListedIndicesOfTheWholeRun) {
  const OracleText o = oracle_text({9, 5, 9});
  // The target ties with entry 1 (index 5) on the first half and holds 0x80 bytes after it.
  std::string target = o.lines[1].second.substr(0, 64) + std::string(64, '8');
  for (size_t k = 65; k < 128; k += 2) target[k] = '0';
  int accepts = 0;
  for (const auto& l : o.lines) accepts += l.second < target;
  const MinevResult r = minev(o.text());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "MIDSTATE match: OK (12/12 felts)\n"
                   "MINEPATH: 3/3 mining-path decisions match the oracle (" +
                       std::to_string(accepts) + " accepts, " + std::to_string(3 - accepts) +
                       " rejects, 0 failed)\n"
                       "MINETIE: 3 self-target ties resolved through the full final layer and "
                       "perm 5, 0 wrong\n"
                       "MINEV: 3/3 hashes match oracle (0 failed)\n");
}

TEST(MinevMode, ReportsWrongHashesDecisionsAndMidstate) {
  OracleText o = oracle_text({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});  // target from entry 4
  // Three hashes wrong in their second half: only the first two are shown, decisions hold.
  for (int k : {1, 2, 3}) o.lines[k].second[100] = o.lines[k].second[100] == '0' ? '1' : '0';
  // Entry 6 moved to the other side of the target flips the oracle's decision.
  std::string& h = o.lines[6].second;
  h = std::string(128, h.compare(0, 64, o.lines[4].second, 0, 64) < 0 ? 'f' : '0');
  o.midstate_line[10] = o.midstate_line[10] == 'a' ? 'b' : 'a';  // lane 0
  const MinevResult r = minev(o.text());
  EXPECT_EQ(r.status, 1);
  const std::string want1 = o.lines[1].second.substr(0, 24);
  for (const std::string& part :
       {std::string("MIDSTATE match: FAIL (11/12 felts)\nMINEPATH: 11/12 mining-path decisions"),
        std::string(", 1 failed)\nMINETIE: 12 self-target"),
        "  MID MISMATCH idx=1\n   want " + want1 + "...\n   got  " + want1 + "...\n  MID MISMATCH "
        "idx=2\n",
        std::string("...\nMINEV: 8/12 hashes match oracle (4 failed)\n")})
    EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n--- got:\n" << r.out;
}

TEST(MinevMode, MissingInputEndsWithTheSpecifiedLines) {
  MinevResult r = minev("");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "no MIDSTATE\n");
  const OracleText o = oracle_text({});
  r = minev(o.midstate_line + "\nnot a hash line\n\n42\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "MIDSTATE match: OK (12/12 felts)\nno hash lines\n");
}

TEST(MinevMode, SkipsUnscannableLinesAndTheTailOfAnOverlongLine) {
  OracleText o = oracle_text({4, 2});
  const OracleText extra = oracle_text({3});
  // A 5000-character line whose cut-off tail would read as a valid line for index 3.
  std::string longline = "2 " + o.lines[1].second + std::string(4095 - 130, ' ');
  longline += "3 " + extra.lines[0].second;
  ASSERT_GT(longline.size(), 4095u);
  const std::string text = o.text() + "garbage line\n" + longline + "\n";
  const MinevResult r = minev(text);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("MINEV: 3/3 hashes match oracle (0 failed)\n"), std::string::npos) << r.out;
}

TEST(MinevMode, RefusesMalformedInputWithOneLine) {
  const OracleText o = oracle_text({0, 1});
  const std::string good_hash = o.lines[0].second;
  const std::string mid = o.midstate_line + "\n";
  struct Case {
    const char* name;
    std::string input;
    std::string hdr, start;
    const char* says;
  } cases[] = {
      {"short hdr", mid, std::string(kHdr).substr(2), start_hex(), "hdr must be"},
      {"non-hex start", mid, kHdr, "g" + start_hex().substr(1), "start must be"},
      {"eleven felts", o.midstate_line.substr(0, o.midstate_line.size() - 17) + "\n0 " + good_hash,
       kHdr, start_hex(), "MIDSTATE line"},
      {"non-hex hash", mid + "0 " + good_hash.substr(0, 127) + "x\n", kHdr, start_hex(),
       "line 2 rejected: hash"},
      {"short hash", mid + "0 " + good_hash.substr(0, 100) + "\n", kHdr, start_hex(),
       "line 2 rejected: hash"},
      {"index above 32 bits", mid + "1 " + good_hash + "\n4294967296 " + good_hash + "\n", kHdr,
       start_hex(), "line 3 rejected: index"},
      {"count wraps", mid + "4294967295 " + good_hash + "\n", kHdr, start_hex(), "wrap"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MinevResult r = minev(c.input, c.hdr.c_str(), c.start);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out.find("MINEV"), std::string::npos) << r.out;
  }
}

// ---------------------------------------------------------------------- minesparsepath mode

// Corrupts what the mode reads back, by the order of its reads (eight per seed: indices,
// nonces, sparse, direct, oracle, decisions, ties, seed capture).
class CorruptingDevice : public ForwardingDevice {
 public:
  using ForwardingDevice::ForwardingDevice;
  std::function<void(int read, void* dst)> corrupt;
  std::function<Status(size_t call)> fail_fill;
  Status copy_out(void* d, const void* s, size_t n) override {
    Status st = ForwardingDevice::copy_out(d, s, n);
    if (corrupt) corrupt(reads_, d);
    ++reads_;
    return st;
  }
  Status fill(void* d, int b, size_t n) override {
    if (fail_fill) {
      Status st = fail_fill(fills_++);
      if (!st.ok()) return st;
    }
    return ForwardingDevice::fill(d, b, n);
  }
  Status alloc(size_t bytes, void** out) override {
    if (++allocs_ == fail_alloc) {
      *out = nullptr;
      return status_error("cudaMalloc", "out of memory");
    }
    return ForwardingDevice::alloc(bytes, out);
  }
  int fail_alloc = 0;

 private:
  int reads_ = 0;
  size_t fills_ = 0;
  int allocs_ = 0;
};

TEST(MinesparsepathMode, EveryCheckCountsAnInjectedFault) {
  CorruptingDevice dev(host_device());
  dev.corrupt = [](int read, void* dst) {
    auto* b = static_cast<unsigned char*>(dst);
    switch (read) {
      case 0: static_cast<uint64_t*>(dst)[10] = 99; break;  // index 10
      case 2: b[64 * 11 + 40] ^= 1; break;                      // sparse hash 11
      case 3: b[64 * 12 + 5] ^= 1; break;                       // direct hash 12
      case 5: b[13] ^= 1; break;                                // decision 13
      case 6: b[14] = 0; break;                                 // tie 14
      case 15: static_cast<FoundResult*>(dst)->base[0] ^= 1; break;  // seed 0x3FFFFE
      default: break;
    }
  };
  Capture out;
  EXPECT_EQ(run_minesparsepath_on(&dev, out.f), 1);
  const std::string text = out.text();
  for (const char* line : {
           "MINESPARSE INDEX MISMATCH seed=0000000000000000 expected=10 got=99 block=0 local=10 "
           "k=0\n",
           "MINESPARSE NONCE MISMATCH seed=0000000000000000 idx=99 block=0 local=10 k=0\n",
           "MINESPARSE HASH MISMATCH seed=0000000000000000 idx=11 block=0 local=11 k=0\n",
           "MINESPARSE RESUMED-ORACLE MISMATCH seed=0000000000000000 idx=12 block=0 local=12 k=0\n",
           "MINESPARSE DECISION MISMATCH seed=0000000000000000 idx=13 block=0 local=13 k=0 ",
           "MINESPARSE TIE MISMATCH seed=0000000000000000 idx=14 block=0 local=14 k=0 expected=1 "
           "got=0\n",
           "MINESPARSE SEED-CAPTURE MISMATCH launch=00000000003ffffe captured=00000000003fffff "
           "replacement=9e3779b97f8a7c13 found=1 idx=0\n",
           "MINESPARSE: 524287/524288 sparse-path hashes match the oracle (1 failed), "
           "524287/524288 nonces round-trip (1 failed), 3/4 launch seeds survive replacement (1 "
           "failed), 1/1 difficulty guards discard only hardened results (0 failed), "
           "524287/524288 ordinary resumed hashes match the oracle (1 failed), 524287/524288 "
           "mining decisions match, 524287/524288 self-target ties reject, 262144/262144 swept "
           "nonces injective, 2097152/2097152 swept felts in range\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n--- got:\n" << text;
  // The value rows under the reports: label with its padding, 128 digits.
  const std::string hex = "[0-9a-f]{128}\n";
  for (const std::string& rows : {"k=0\n  hashed    " + hex + "  submitted " + hex,
                                 "k=0\n  nonce  " + hex + "  sparse " + hex + "  oracle " + hex,
                                 "k=0\n  nonce  " + hex + "  resumed " + hex + "  oracle  " + hex})
    EXPECT_TRUE(std::regex_search(text, std::regex(rows))) << rows;
}

TEST(MinesparsepathMode, RuntimeFailuresEndTheTest) {
  {
    CorruptingDevice dev(host_device());
    dev.fail_alloc = 13;  // oracle hashes
    Capture out;
    EXPECT_EQ(run_minesparsepath_on(&dev, out.f), 1);
    EXPECT_EQ(out.text(),
              "MINESPARSE CUDA FAILURE at cudaMalloc(oracle hashes): out of memory\n"
              "MINESPARSE: 0/524288 sparse-path hashes match the oracle (524288 failed), 0/524288 "
              "nonces round-trip (524288 failed)\n");
  }
  {
    CorruptingDevice dev(host_device());
    dev.fail_fill = [](size_t call) {
      return call == 1 || call == 5 ? status_error("cudaMemset", "unspecified launch failure")
                                    : Status{};
    };
    Capture out;
    EXPECT_EQ(run_minesparsepath_on(&dev, out.f), 1);
    EXPECT_EQ(out.text(),
              "MINESPARSE CUDA FAILURE at initialize nonces: unspecified launch failure\n"
              "MINESPARSE CUDA FAILURE at initialize ties: unspecified launch failure\n");
  }
}

// ------------------------------------------------------------------------------- end to end

using testutil::run_program;

TEST(MinesparsepathEndToEnd, MinesparsepathPassesOnTheDirectionGenerationOnly) {
  testutil::RunResult r = run_program(TARN_BINARY, {"--cpu", "minesparsepath"}, "", 480);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "MINESPARSE: 524288/524288 sparse-path hashes match the oracle (0 failed), "
            "524288/524288 nonces round-trip (0 failed), 4/4 launch seeds survive replacement (0 "
            "failed), 1/1 difficulty guards discard only hardened results (0 failed), "
            "524288/524288 ordinary resumed hashes match the oracle (0 failed), 524288/524288 "
            "mining decisions match, 524288/524288 self-target ties reject, 262144/262144 swept "
            "nonces injective, 2097152/2097152 swept felts in range\n");
  r = run_program(TARN_BINARY, {"--cpu=86", "minesparsepath"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "MINESPARSE: not applicable (device 0 is sm_86, sparse path requires sm_120+)\n");
}

class MinevEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(TARN_PYTHON3).empty() || access(TARN_PYTHON3, X_OK) != 0)
      GTEST_SKIP() << "python3 not found: the oracle cannot run";
  }
  // The oracle's standard input for minev; *lines is the number of hash lines.
  static std::string oracle(std::vector<std::string> args, int* lines) {
    args.insert(args.begin(), {TARN_ORACLE, "minev", kHdr, kStart});
    const testutil::RunResult r = run_program(TARN_PYTHON3, args, "", 240);
    EXPECT_EQ(r.status, 0) << r.err;
    *lines = static_cast<int>(std::count(r.out.begin(), r.out.end(), '\n')) - 1;
    return r.out;
  }
  static testutil::RunResult minev_fed(const char* cpu, const std::string& input) {
    return run_program(TARN_BINARY, {cpu, "minev", kHdr, kStart}, input);
  }
  // The counter passes 2^32 inside the run.
  static constexpr const char* kStart =
      "d7f29db8436e09d4ff9aa5406b36d1fc87a24d6833def984af4a1530dbe681ac"
      "5a65707b86919ca7b2bdc8d3dee9f4ff0a15202b36414c57000000fffffffa00";
};

// Every generation range of field/arch_policy.h, each running its own arithmetic forms.
TEST_F(MinevEndToEnd, EveryGenerationAgreesWithTheOracle) {
  // 2,500 entries: a run, gaps, repeats and indices out of order.
  int L = 0;
  const std::string input = oracle({"--range", "0", "2000", "--range", "2600", "3090", "--indices",
                                    "4096,7,7,3500,1999,0,5000,12"},
                                   &L);
  ASSERT_EQ(L, 2498);
  for (const char* cpu : {"--cpu", "--cpu=86", "--cpu=90"}) {
    SCOPED_TRACE(cpu);
    const testutil::RunResult r = minev_fed(cpu, input);
    EXPECT_EQ(r.status, 0);
    const std::string n = std::to_string(L);
    EXPECT_EQ(r.out.rfind("MIDSTATE match: OK (12/12 felts)\nMINEPATH: " + n + "/" + n, 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find(", 0 failed)\nMINETIE: " + n +
                         " self-target ties resolved through the full final layer and perm 5, 0 "
                         "wrong\nMINEV: " + n + "/" + n + " hashes match oracle (0 failed)\n"),
              std::string::npos)
        << r.out;
  }
}

TEST_F(MinevEndToEnd, InjectedFaultsAreReported) {
  for (const char* cpu : {"--cpu", "--cpu=86"}) {
    SCOPED_TRACE(cpu);
    int L = 0;
    std::string input =
        oracle({"--range", "0", "40", "--corrupt-index", "17", "--corrupt-index", "30"}, &L);
    ASSERT_EQ(L, 40);
    testutil::RunResult r = minev_fed(cpu, input);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("  MID MISMATCH idx=17\n   want "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  MID MISMATCH idx=30\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MINEV: 38/40 hashes match oracle (2 failed)\n"), std::string::npos);

    input = oracle({"--range", "0", "40", "--corrupt-midstate", "5"}, &L);
    r = minev_fed(cpu, input);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("MIDSTATE match: FAIL (11/12 felts)\n"), std::string::npos) << r.out;
  }
}

}  // namespace
