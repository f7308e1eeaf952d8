// The "mine" mode's body in process: small grids in both layouts, several launches, the 2^32
// cut, and a device whose reported hit does not hold up.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>

#include "gpu/backends.h"
#include "gpu/host_kernels.h"
#include "hash/hash_ref.h"
#include "modes/solo_mine.h"
#include "search/target.h"
#include "tests/hex_util.h"
#include "tests/run_binary.h"

namespace {

using namespace tarn;
using testutil::RunResult;

std::string slurp(FILE* f) {
  std::string s;
  std::rewind(f);
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  std::fclose(f);
  return s;
}

// Runs as a host device of compute capability cc whose copies of the hit record pass through
// `tamper` (when set), on a grid of 4 blocks x 64 threads.
struct MineRun {
  int cc = 120;
  unsigned int per_thread = 16;
  std::function<void(FoundResult*)> tamper;

  RunResult operator()(const std::string& hdr, const char* difficulty, double secs = 30) const {
    Status why;
    std::unique_ptr<Device> host = host_backend(cc)->open(0, &why);
    TamperingDevice dev(host.get(), tamper);
    MineConfig cfg;
    cfg.dir = dev.info().direction_layout();
    cfg.tpb = 64;
    cfg.blocks = 4;
    cfg.per_thread = per_thread;
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    RunResult r;
    MineRequest req;
    r.status = read_mine_request(hdr.c_str(), difficulty, secs, &req, err)
                   ? run_mine_on(&dev, cfg, req, out, err)
                   : 1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

  class TamperingDevice : public Device {
   public:
    TamperingDevice(Device* in, std::function<void(FoundResult*)> t) : in_(in), tamper_(std::move(t)) {}
    const DeviceInfo& info() const override { return in_->info(); }
    Status alloc(size_t n, void** out) override { return in_->alloc(n, out); }
    void release(void* p) override { in_->release(p); }
    Status copy_in(void* d, const void* s, size_t n) override { return in_->copy_in(d, s, n); }
    Status copy_out(void* d, const void* s, size_t n) override {
      Status st = in_->copy_out(d, s, n);
      if (tamper_ && n == sizeof(FoundResult)) tamper_(static_cast<FoundResult*>(d));
      return st;
    }
    Status fill(void* d, int b, size_t n) override { return in_->fill(d, b, n); }
    Status synchronize() override { return in_->synchronize(); }
    Status event_create(std::unique_ptr<Event>* e) override { return in_->event_create(e); }
    Status event_record(Event& e) override { return in_->event_record(e); }
    Status event_elapsed_ms(const Event& a, const Event& b, float* ms) override {
      return in_->event_elapsed_ms(a, b, ms);
    }
    Status launch(const KernelLaunch& k) override { return in_->launch(k); }

   private:
    Device* in_;
    std::function<void(FoundResult*)> tamper_;
  };
};

std::string rep(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// The printed nonce meets the target and carries the solo prefix; returns low_idx.
uint64_t expect_solution(const RunResult& r, const std::string& hdr, uint64_t diff) {
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::smatch m;
  if (!std::regex_search(r.out, m, std::regex(R"(low_idx=(\d+)\n  header  (\S+)\n  nonce   ([0-9a-f]{128})\n)"))) {
    ADD_FAILURE() << r.out;
    return 0;
  }
  EXPECT_EQ(m[2].str(), hdr);
  const auto header = testutil::from_hex(hdr);
  const auto nonce = testutil::from_hex(m[3]);
  unsigned char hash[64], target[64];
  ref::hash_full(header.data(), nonce.data(), hash);
  target_from_difficulty(diff, target);
  EXPECT_TRUE(ref::below_target(hash, target));
  EXPECT_EQ(m[3].str().substr(0, 64), "a0adba8794e1eefbc8d5222f3c091663707d4a57a4b1be8b98e5f2ffccd92633");
  return std::stoull(m[1]);
}

TEST(MineMode, DifficultyOneInBothLayouts) {
  const std::string hdr = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
  for (const int cc : {120, 86}) {
    const RunResult r = MineRun{cc}(hdr, "1");
    expect_solution(r, hdr, 1);
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(^FOUND after \d+\.\d\ds, \d+ MH searched, low_idx=0\n)"))) << r.out;
    EXPECT_NE(r.out.find("  target  " + rep("ff", 12) + "...\n"), std::string::npos);
  }
}

// Several launches of 4096 indices go by before the first hit; in the counter layout the
// nonce's last 32 bytes are the absolute index.
TEST(MineMode, LaterLaunchesContinueTheSearch) {
  for (const int cc : {120, 86}) {
    SCOPED_TRACE(cc);
    const std::string hdr = rep("5a", 32);
    const RunResult r = MineRun{cc}(hdr, "50000");
    const uint64_t low_idx = expect_solution(r, hdr, 50000);
    EXPECT_GE(low_idx, 4096u) << "the first launch already had a hit: pick another header";
    if (cc == 86) {
      char want[129];
      std::snprintf(want, sizeof want, "%048d%016llx", 0, static_cast<unsigned long long>(low_idx));
      EXPECT_NE(r.out.find(std::string(want) + "\n"), std::string::npos) << r.out;
    }
  }
}

TEST(MineMode, NoSolutionInTime) {
  const RunResult r = MineRun{}(rep("00", 32), "18446744073709551615", 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(no solution in \d+\.\ds \(0 MH searched at diff 18446744073709551615\)\n)"))) << r.out;
}

// What the device reports is re-hashed before it is printed: a hit that does not meet the
// target, or an index outside the launch, is a device fault and never a FOUND line.
TEST(MineMode, AHitTheHostCannotConfirmIsADeviceFault) {
  const std::function<void(FoundResult*)> forgeries[] = {
      [](FoundResult* f) { f->count = 1; f->index[0] = 5; f->base[0] = 0; },
      [](FoundResult* f) { f->count = 1; f->index[0] = 1u << 20; f->base[0] = 0; },
  };
  for (const int cc : {120, 86}) {
    for (const auto& forge : forgeries) {
      MineRun run{cc};
      run.tamper = forge;
      const RunResult r = run(rep("00", 32), "18446744073709551615", 5);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err.find("mine: device fault: reported nonce "), std::string::npos) << r.err;
    }
  }
}

// The checked reading of the difficulty: 2^64 - 1 is the largest, and nothing past it wraps.
TEST(MineMode, DifficultyWordsOutsideOneTo2To64AreRefused) {
  for (const char* d : {"0", "18446744073709551616", "18446744073709551617", "99999999999999999999",
                        "-1", "+1", "1e3", "12 ", ""}) {
    const RunResult r = MineRun{}(rep("00", 32), d, 0);
    EXPECT_EQ(r.status, 1) << d;
    EXPECT_EQ(r.err, "mine: difficulty must be a whole number from 1 to 18446744073709551615\n") << d;
  }
}

}  // namespace
