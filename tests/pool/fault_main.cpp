// tarn-cuda with faults injected, for the end-to-end tests only. It is a test program of its own
// rather than a hidden option of tarn-cuda, so nothing a user types or a config holds can make a
// shipped miner hang on purpose.
//   tarn-cuda-faults [--hang-launch N] [--give-up-after SECS] <tarn-cuda arguments>
// --hang-launch N: the Nth mining launch of each device never completes (as a hung GPU's).
// --give-up-after SECS: both permanent-failure limits of the pool mode, shortened.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "cli/dispatch.h"
#include "cli/std_streams.h"
#include "gpu/backends.h"
#include "gpu/device.h"

namespace {

long g_hang_launch = 0;  // 0: none

// Forwards every call; the synchronize that follows the chosen mining launch never returns.
class HangingDevice final : public tarn::Device {
 public:
  explicit HangingDevice(std::unique_ptr<tarn::Device> inner) : inner_(std::move(inner)) {}
  const tarn::DeviceInfo& info() const override { return inner_->info(); }
  tarn::Status alloc(size_t bytes, void** out) override { return inner_->alloc(bytes, out); }
  void release(void* p) override { inner_->release(p); }
  tarn::Status copy_in(void* d, const void* s, size_t n) override { return inner_->copy_in(d, s, n); }
  tarn::Status copy_out(void* d, const void* s, size_t n) override { return inner_->copy_out(d, s, n); }
  tarn::Status fill(void* d, int b, size_t n) override { return inner_->fill(d, b, n); }
  tarn::Status reset() override { return inner_->reset(); }
  tarn::Status event_create(std::unique_ptr<tarn::Event>* out) override {
    return inner_->event_create(out);
  }
  tarn::Status event_record(tarn::Event& e) override { return inner_->event_record(e); }
  tarn::Status event_elapsed_ms(const tarn::Event& a, const tarn::Event& b, float* ms) override {
    return inner_->event_elapsed_ms(a, b, ms);
  }
  tarn::Status launch(const tarn::KernelLaunch& k) override {
    if (std::holds_alternative<tarn::MineLaunch>(k) && ++mining_launches_ == g_hang_launch)
      hung_ = true;
    return inner_->launch(k);
  }
  tarn::Status synchronize() override {
    while (hung_) pause();  // woken only by a signal, which changes nothing
    return inner_->synchronize();
  }

 private:
  std::unique_ptr<tarn::Device> inner_;
  long mining_launches_ = 0;
  bool hung_ = false;
};

class HangingBackend final : public tarn::Backend {
 public:
  explicit HangingBackend(tarn::Backend* inner) : inner_(inner) {}
  int device_count(tarn::Status* why) override { return inner_->device_count(why); }
  std::unique_ptr<tarn::Device> open(int index, tarn::Status* why) override {
    std::unique_ptr<tarn::Device> d = inner_->open(index, why);
    if (!d) return nullptr;
    return std::make_unique<HangingDevice>(std::move(d));
  }

 private:
  tarn::Backend* inner_;
};

tarn::Backend* hanging(tarn::Backend* chosen) {
  static std::unique_ptr<HangingBackend> b;
  b = std::make_unique<HangingBackend>(chosen);
  return b.get();
}

}  // namespace

int main(int argc, char** argv) {
  tarn::guard_standard_streams();
  tarn::PermanentLimits limits;
  // Our own words come first; the rest is tarn-cuda's command line with argv[0] kept.
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--hang-launch") == 0) {
      g_hang_launch = std::strtol(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--give-up-after") == 0) {
      limits.tls_verify_s = limits.refused_s = std::strtod(argv[i + 1], nullptr);
    } else {
      break;
    }
  }
  if (g_hang_launch > 0) tarn::decorate_backend(hanging);
  argv[i - 1] = argv[0];
  return tarn_main(argc - (i - 1), argv + (i - 1), limits);
}
