// "minesparsepath": holds the direction-layout mining path against the from-scratch hash and the
// host's nonce rebuild on the device, then sweeps the layout on the host for range and
// injectivity.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "gpu/device.h"
#include "util/bytes.h"
#include "modes/modes.h"
#include "modes/selftests.h"
#include "search/found_result.h"
#include "search/nonce_layout.h"

// One swept (group, offset) and its low half; sorted by the low half alone.
struct TarnSparseSweepRecord {
  unsigned char low[32];
  uint64_t group;
  uint32_t local_base;
  uint32_t k;
};

bool tarn_sparse_sweep_less(const TarnSparseSweepRecord& a, const TarnSparseSweepRecord& b) {
  return std::memcmp(a.low, b.low, sizeof a.low) < 0;
}

namespace tarn {
namespace {

constexpr unsigned int kBlocks = 4;
constexpr unsigned int kTpb = 512;
constexpr unsigned int kPerThread = 64;
constexpr size_t kPerSeed = size_t{kBlocks} * kTpb * kPerThread;  // 131072
constexpr unsigned int kOracleBlocks = 1024;
constexpr unsigned int kOracleTpb = 128;
constexpr uint64_t kSeeds[] = {0, 0x3FFFFE, 0xFFFFFFFFFFEull, 0xFFFFFFFFFFFFFFFEull};
constexpr size_t kSeedCount = sizeof kSeeds / sizeof kSeeds[0];
constexpr size_t kTested = kSeedCount * kPerSeed;  // 524288
constexpr uint64_t kReplace = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kSweepGroups[] = {0,
                                     1,
                                     0x3FFFFF,
                                     0x400000,
                                     0xFFFFFFFFFFFull,
                                     0x100000000000ull,
                                     0xFEDCBA9876543210ull,
                                     0xFFFFFFFFFFFFFFFFull};
constexpr int kShown = 8;  // messages printed per kind

struct Inputs {
  unsigned char header[32];
  unsigned char high[32];
  unsigned char target[64];
  unsigned char zero_target[64];
};

Inputs fixed_inputs() {
  Inputs in;
  for (int i = 0; i < 32; ++i) in.header[i] = static_cast<unsigned char>(0x31 + 29 * i);
  static const char high_hex[] = "d7f29db8436e09d4ff9aa5406b36d1fc87a24d6833def984af4a1530dbe681ac";
  parse_hex_exact(high_hex, 32, in.high);
  std::memset(in.target, 0x80, sizeof in.target);
  std::memset(in.zero_target, 0, sizeof in.zero_target);
  return in;
}

void start_block(uint64_t seed, unsigned char* out) {
  for (int i = 0; i < 24; ++i) out[i] = static_cast<unsigned char>(0x5A + 11 * i);
  for (int i = 0; i < 8; ++i) out[24 + i] = static_cast<unsigned char>(seed >> (56 - 8 * i));
}

struct Buffers {
  DeviceBuffer<unsigned char> header, high, start_low, target, zero_target;
  DeviceBuffer<uint64_t> midstate, indices;
  DeviceBuffer<unsigned char> nonces, sparse, direct, decisions, ties, oracle;
  DeviceBuffer<FoundResult> seed;
};

struct HostCopies {
  std::vector<uint64_t> indices = std::vector<uint64_t>(kPerSeed);
  std::vector<unsigned char> nonces = std::vector<unsigned char>(64 * kPerSeed);
  std::vector<unsigned char> sparse = std::vector<unsigned char>(64 * kPerSeed);
  std::vector<unsigned char> direct = std::vector<unsigned char>(64 * kPerSeed);
  std::vector<unsigned char> oracle = std::vector<unsigned char>(64 * kPerSeed);
  std::vector<unsigned char> decisions = std::vector<unsigned char>(kPerSeed);
  std::vector<unsigned char> ties = std::vector<unsigned char>(kPerSeed);
  FoundResult seed{};
};

struct Tally {
  size_t sparse = 0, round_trip = 0, seeds = 0, direct = 0, decisions = 0, ties = 0;
  int shown_index = 0, shown_hash = 0, shown_direct = 0, shown_decision = 0, shown_tie = 0,
      shown_seed = 0;
  bool any() const { return sparse + round_trip + seeds + direct + decisions + ties != 0; }
};

// The device half of the test: buffers, fixed inputs, one launch pair per seed.
class DevicePhase {
 public:
  DevicePhase(Device* dev, FILE* out) : dev_(dev), out_(out) {}

  // Prints the step's failure line; true when s is a success.
  bool ok(const char* step, const Status& s) {
    if (s.ok()) return true;
    std::fprintf(out_, "MINESPARSE CUDA FAILURE at %s: %s\n", step, s.text.c_str());
    return false;
  }

  // Allocation in the listed order and the fixed inputs; every failing step prints its line.
  bool prepare(const Inputs& in) {
    bool good = true;
    auto alloc = [&](auto& buf, size_t count, const char* label) {
      const std::string step = std::string("cudaMalloc(") + label + ")";
      good = ok(step.c_str(), buf.allocate(dev_, count)) && good;
    };
    alloc(b_.header, 32, "header");
    alloc(b_.high, 32, "high");
    alloc(b_.start_low, 32, "start_low");
    alloc(b_.target, 64, "target");
    alloc(b_.zero_target, 64, "zero_target");
    alloc(b_.midstate, 12, "midstate");
    alloc(b_.indices, kPerSeed, "indices");
    alloc(b_.nonces, 64 * kPerSeed, "nonces");
    alloc(b_.sparse, 64 * kPerSeed, "sparse hashes");
    alloc(b_.direct, 64 * kPerSeed, "direct hashes");
    alloc(b_.decisions, kPerSeed, "decisions");
    alloc(b_.ties, kPerSeed, "ties");
    alloc(b_.oracle, 64 * kPerSeed, "oracle hashes");
    alloc(b_.seed, 1, "seed capture");
    auto copy = [&](unsigned char* dst, const unsigned char* src, size_t n, const char* step) {
      if (dst) good = ok(step, dev_->copy_in(dst, src, n)) && good;
    };
    copy(b_.header.get(), in.header, 32, "copy header");
    copy(b_.high.get(), in.high, 32, "copy high nonce");
    copy(b_.target.get(), in.target, 64, "copy target");
    copy(b_.zero_target.get(), in.zero_target, 64, "copy zero target");
    return good;
  }

  bool midstate() {
    Status s = dev_->launch(MidstateLaunch{b_.header.get(), b_.high.get(), b_.midstate.get()});
    if (s.ok()) s = dev_->synchronize();
    return ok("midstate kernel", s);
  }

  // Launches, replaces the seed and reads everything back; false after a printed failure.
  bool run_seed(uint64_t seed, HostCopies& h) {
    const size_t n = kPerSeed;
    unsigned char start[32];
    start_block(seed, start);
    bool good = ok("copy group seed", dev_->copy_in(b_.start_low.get(), start, 32));
    good = ok("initialize indices", dev_->fill(b_.indices.get(), 0xFF, 8 * n)) && good;
    good = ok("initialize nonces", dev_->fill(b_.nonces.get(), 0xCD, 64 * n)) && good;
    good = ok("initialize sparse hashes", dev_->fill(b_.sparse.get(), 0xCD, 64 * n)) && good;
    good = ok("initialize direct hashes", dev_->fill(b_.direct.get(), 0xCD, 64 * n)) && good;
    good = ok("initialize decisions", dev_->fill(b_.decisions.get(), 0xEE, n)) && good;
    good = ok("initialize ties", dev_->fill(b_.ties.get(), 0xEE, n)) && good;
    good = ok("initialize seed capture", dev_->fill(b_.seed.get(), 0, sizeof(FoundResult))) && good;
    if (!good) return false;

    Status s = dev_->launch(SparsePathLaunch{
        {kBlocks, kTpb}, b_.midstate.get(), b_.start_low.get(), b_.high.get(), b_.target.get(),
        b_.zero_target.get(), kPerThread, b_.indices.get(), b_.nonces.get(), b_.sparse.get(),
        b_.direct.get(), b_.decisions.get(), b_.ties.get(), b_.seed.get()});
    if (s.ok()) s = dev_->synchronize();
    if (!ok("exhaustive sparse gate kernel", s)) return false;

    // The launch is over: a nonce rebuilt from the new seed must no longer match.
    start_block(seed + kReplace, start);
    if (!ok("replace group seed after launch", dev_->copy_in(b_.start_low.get(), start, 32)))
      return false;

    s = dev_->launch(FullOracleLaunch{{kOracleBlocks, kOracleTpb}, b_.header.get(),
                                      b_.nonces.get(), n, b_.oracle.get()});
    if (s.ok()) s = dev_->synchronize();
    if (!ok("exhaustive full-hash oracle kernel", s)) return false;

    return ok("read indices", dev_->copy_out(h.indices.data(), b_.indices.get(), 8 * n)) &&
           ok("read nonces", dev_->copy_out(h.nonces.data(), b_.nonces.get(), 64 * n)) &&
           ok("read sparse hashes", dev_->copy_out(h.sparse.data(), b_.sparse.get(), 64 * n)) &&
           ok("read direct hashes", dev_->copy_out(h.direct.data(), b_.direct.get(), 64 * n)) &&
           ok("read oracle hashes", dev_->copy_out(h.oracle.data(), b_.oracle.get(), 64 * n)) &&
           ok("read decisions", dev_->copy_out(h.decisions.data(), b_.decisions.get(), n)) &&
           ok("read ties", dev_->copy_out(h.ties.data(), b_.ties.get(), n)) &&
           ok("read seed capture", dev_->copy_out(&h.seed, b_.seed.get(), sizeof(FoundResult)));
  }

 private:
  Device* dev_;
  FILE* out_;
  Buffers b_;
};

void print_hex(FILE* out, const unsigned char* bytes, size_t n) {
  std::fputs(to_hex(bytes, n).c_str(), out);
}

// The captured start group must be the launch's, and must rebuild the nonce that was hashed.
void check_seed(FILE* out, uint64_t seed, const unsigned char* high, const HostCopies& h,
                Tally& t) {
  const uint64_t replaced = seed + kReplace;
  unsigned char captured[64], replacement[64];
  std::memcpy(captured, high, 32);
  std::memcpy(replacement, high, 32);
  tarn_nonce_dir_result_low(h.seed.base[0], h.seed.index[0], kTpb, kPerThread, captured + 32);
  tarn_nonce_dir_result_low(replaced, h.seed.index[0], kTpb, kPerThread, replacement + 32);
  const unsigned char* hashed = h.nonces.data();
  const bool pass = h.seed.index[0] == 0 && h.seed.count == 1 && h.seed.base[0] == seed &&
                    std::memcmp(hashed, captured, 64) == 0 &&
                    std::memcmp(hashed, replacement, 64) != 0;
  if (pass) return;
  ++t.seeds;
  if (t.shown_seed++ >= kShown) return;
  std::fprintf(out,
               "MINESPARSE SEED-CAPTURE MISMATCH launch=%016llx captured=%016llx "
               "replacement=%016llx found=%u idx=%llu\n  hashed      ",
               static_cast<unsigned long long>(seed), h.seed.base[0],
               static_cast<unsigned long long>(replaced), h.seed.count, h.seed.index[0]);
  print_hex(out, hashed, 64);
  std::fputs("\n  captured    ", out);
  print_hex(out, captured, 64);
  std::fputs("\n  replacement ", out);
  print_hex(out, replacement, 64);
  std::fputs("\n", out);
}

// The 64-byte values under a mismatch report, one row each: the label (with its padding), the hex.
void print_rows(FILE* out, std::initializer_list<std::pair<const char*, const unsigned char*>> rows) {
  for (const auto& row : rows) {
    std::fputs(row.first, out);
    print_hex(out, row.second, 64);
    std::fputs("\n", out);
  }
}

void check_indices(FILE* out, uint64_t seed, const unsigned char* high, const HostCopies& h,
                   const unsigned char* target, Tally& t) {
  const unsigned long long s = seed;
  for (size_t i = 0; i < kPerSeed; ++i) {
    const unsigned int block = static_cast<unsigned int>(i >> 15);
    const unsigned int local = static_cast<unsigned int>(i & 0x7FFF);
    const unsigned long long idx = h.indices[i];
    const unsigned char* nonce = &h.nonces[64 * i];
    const unsigned char* sparse = &h.sparse[64 * i];
    const unsigned char* direct = &h.direct[64 * i];
    const unsigned char* oracle = &h.oracle[64 * i];

    bool round_trip = true;
    if (idx != i) {
      round_trip = false;
      if (t.shown_index++ < kShown)
        std::fprintf(out,
                     "MINESPARSE INDEX MISMATCH seed=%016llx expected=%llu got=%llu block=%u "
                     "local=%u k=%u\n",
                     s, static_cast<unsigned long long>(i), idx, block, local, 0u);
    }
    unsigned char submitted[64] = {};
    std::memcpy(submitted, high, 32);
    if (idx != ~0ull) tarn_nonce_dir_result_low(seed, idx, kTpb, kPerThread, submitted + 32);
    if (std::memcmp(nonce, submitted, 64) != 0) {
      round_trip = false;
      if (t.shown_index++ < kShown) {
        std::fprintf(out,
                     "MINESPARSE NONCE MISMATCH seed=%016llx idx=%llu block=%u local=%u k=%u\n",
                     s, idx, block, local, 0u);
        print_rows(out, {{"  hashed    ", nonce}, {"  submitted ", submitted}});
      }
    }
    if (!round_trip) ++t.round_trip;

    if (std::memcmp(sparse, oracle, 64) != 0) {
      ++t.sparse;
      if (t.shown_hash++ < kShown) {
        std::fprintf(out,
                     "MINESPARSE HASH MISMATCH seed=%016llx idx=%llu block=%u local=%u k=%u\n", s,
                     idx, block, local, 0u);
        print_rows(out, {{"  nonce  ", nonce}, {"  sparse ", sparse}, {"  oracle ", oracle}});
      }
    }
    if (std::memcmp(direct, oracle, 64) != 0) {
      ++t.direct;
      if (t.shown_direct++ < kShown) {
        std::fprintf(out,
                     "MINESPARSE RESUMED-ORACLE MISMATCH seed=%016llx idx=%llu block=%u local=%u "
                     "k=%u\n",
                     s, idx, block, local, 0u);
        print_rows(out, {{"  nonce  ", nonce}, {"  resumed ", direct}, {"  oracle  ", oracle}});
      }
    }
    const int expected = std::memcmp(oracle, target, 64) >= 0 ? 1 : 0;
    if (h.decisions[i] != expected) {
      ++t.decisions;
      if (t.shown_decision++ < kShown)
        std::fprintf(out,
                     "MINESPARSE DECISION MISMATCH seed=%016llx idx=%llu block=%u local=%u k=%u "
                     "expected=%d got=%u\n",
                     s, idx, block, local, 0u, expected, static_cast<unsigned int>(h.decisions[i]));
    }
    if (h.ties[i] != 1) {
      ++t.ties;
      if (t.shown_tie++ < kShown)
        std::fprintf(out,
                     "MINESPARSE TIE MISMATCH seed=%016llx idx=%llu block=%u local=%u k=%u "
                     "expected=1 got=%u\n",
                     s, idx, block, local, 0u, static_cast<unsigned int>(h.ties[i]));
    }
  }
}

struct SweepResult {
  size_t records = 0, distinct = 0, felts = 0, felts_in_range = 0;
};

// Every word of every swept (group, offset) must be exact in 32 bits, and no two low halves
// may coincide.
SweepResult sweep(FILE* out) {
  SweepResult r;
  std::vector<TarnSparseSweepRecord> records;
  records.reserve(sizeof kSweepGroups / sizeof kSweepGroups[0] * DIR_MAX_SPAN);
  int shown_range = 0;
  for (const uint64_t g : kSweepGroups) {
    const int64_t fields[3] = {static_cast<int64_t>(g & 0x3FFFFF),
                               static_cast<int64_t>((g >> 22) & 0x3FFFFF),
                               static_cast<int64_t>(g >> 44)};
    for (uint32_t off = 0; off < DIR_MAX_SPAN; ++off) {
      uint32_t w[8];
      dir_words(g, off, w);
      const int64_t rr = off;
      const int64_t exact[3] = {(1ll << 30) + fields[0] - 11 * rr, (1ll << 30) + fields[1] + 3 * rr,
                                (1ll << 30) + fields[2] - 4 * rr};
      r.felts += 8;
      r.felts_in_range += 5;  // words 0 and 4-7 carry no group field
      for (int j = 1; j <= 3; ++j) {
        if (exact[j - 1] == static_cast<int64_t>(w[j])) {
          ++r.felts_in_range;
        } else if (shown_range++ < kShown) {
          std::fprintf(out,
                       "MINESPARSE FELT RANGE FAILURE group=%016llx local_base=%u k=%u felt=%d "
                       "mathematical=%lld encoded=%u\n",
                       static_cast<unsigned long long>(g), off, 0u, j,
                       static_cast<long long>(exact[j - 1]), w[j]);
        }
      }
      TarnSparseSweepRecord rec{};
      for (int j = 0; j < 8; ++j)
        for (int b = 0; b < 4; ++b) rec.low[4 * j + b] = static_cast<unsigned char>(w[j] >> (8 * b));
      rec.group = g;
      rec.local_base = off;
      rec.k = 0;
      records.push_back(rec);
    }
  }
  std::sort(records.begin(), records.end(), tarn_sparse_sweep_less);
  r.records = records.size();
  r.distinct = records.empty() ? 0 : 1;
  int shown_collision = 0;
  for (size_t i = 1; i < records.size(); ++i) {
    const TarnSparseSweepRecord& a = records[i - 1];
    const TarnSparseSweepRecord& b = records[i];
    if (std::memcmp(a.low, b.low, 32) != 0) {
      ++r.distinct;
    } else if (shown_collision++ < kShown) {
      std::fprintf(out,
                   "MINESPARSE INJECTIVITY FAILURE group=%016llx local_base=%u k=%u collides with "
                   "group=%016llx local_base=%u k=%u\n  nonce ",
                   static_cast<unsigned long long>(a.group), a.local_base, a.k,
                   static_cast<unsigned long long>(b.group), b.local_base, b.k);
      print_hex(out, a.low, 32);
      std::fputs("\n", out);
    }
  }
  return r;
}

}  // namespace

int run_minesparsepath_on(Device* dev, FILE* out) {
  const DeviceInfo& info = dev->info();
  if (!info.direction_layout()) {
    std::fprintf(out,
                 "MINESPARSE: not applicable (device %d is sm_%d%d, sparse path requires sm_120+)\n",
                 0, info.major, info.minor);
    return 0;
  }
  const Inputs in = fixed_inputs();
  Tally t;
  {
    DevicePhase phase(dev, out);
    if (!phase.prepare(in)) {
      std::fprintf(out,
                   "MINESPARSE: 0/%zu sparse-path hashes match the oracle (%zu failed), 0/%zu "
                   "nonces round-trip (%zu failed)\n",
                   kTested, kTested, kTested, kTested);
      return 1;
    }
    if (!phase.midstate()) return 1;
    std::unique_ptr<HostCopies> h(new HostCopies);
    for (const uint64_t seed : kSeeds) {
      if (!phase.run_seed(seed, *h)) return 1;
      check_seed(out, seed, in.high, *h, t);
      check_indices(out, seed, in.high, *h, in.target, t);
    }
  }  // device buffers are freed here, before the host sweep

  const SweepResult sw = sweep(out);
  std::fprintf(out,
               "MINESPARSE: %zu/%zu sparse-path hashes match the oracle (%zu failed), %zu/%zu "
               "nonces round-trip (%zu failed), %zu/%zu launch seeds survive replacement (%zu "
               "failed), %zu/%zu difficulty guards discard only hardened results (%zu failed), "
               "%zu/%zu ordinary resumed hashes match the oracle (%zu failed), %zu/%zu mining "
               "decisions match, %zu/%zu self-target ties reject, %zu/%zu swept nonces injective, "
               "%zu/%zu swept felts in range\n",
               kTested - t.sparse, kTested, t.sparse, kTested - t.round_trip, kTested,
               t.round_trip, kSeedCount - t.seeds, kSeedCount, t.seeds, size_t{1}, size_t{1},
               size_t{0}, kTested - t.direct, kTested, t.direct, kTested - t.decisions, kTested,
               kTested - t.ties, kTested, sw.distinct, sw.records, sw.felts_in_range, sw.felts);
  const bool pass = !t.any() && sw.distinct == sw.records && sw.felts_in_range == sw.felts;
  return pass ? 0 : 1;
}

}  // namespace tarn

int run_minesparsepath() {
  using namespace tarn;
  Status why;
  if (backend().device_count(&why) < 1) {
    std::printf("MINESPARSE: not applicable (no CUDA device)\n");
    std::fprintf(stderr, "minesparsepath: %s\n", no_device_line(why).c_str());
    return 0;
  }
  std::unique_ptr<Device> dev = backend().open(0, &why);
  if (!dev) {
    std::printf("MINESPARSE CUDA FAILURE at %s\n", why.line().c_str());
    return 1;
  }
  return run_minesparsepath_on(dev.get(), stdout);
}
