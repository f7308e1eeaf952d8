#include "gpu/device_session.h"

#include <utility>

namespace tarn {

DeviceSession::DeviceSession(Device* dev) : dev_(dev) {}

DeviceSession::~DeviceSession() { release(); }

Status DeviceSession::allocate() {
  release();
  Device* d = dev_;
  Status s = d_header_.allocate(d, 32);
  if (s.ok()) s = d_prefix_.allocate(d, 32);
  if (s.ok()) s = d_start_.allocate(d, 32);
  if (s.ok()) s = d_target_.allocate(d, 64);
  if (s.ok()) s = d_midstate_.allocate(d, 12);
  if (s.ok()) s = d_found_.allocate(d, 1);
  if (s.ok()) s = d->event_create(&start_event_);
  if (s.ok()) s = d->event_create(&stop_event_);
  return s;
}

void DeviceSession::release() {
  start_event_.reset();
  stop_event_.reset();
  d_header_.reset();
  d_prefix_.reset();
  d_start_.reset();
  d_target_.reset();
  d_midstate_.reset();
  d_found_.reset();
}

Status DeviceSession::upload_job(const JobUpload& job) {
  Status s = dev_->copy_in(d_header_.get(), job.header, 32);
  if (s.ok()) s = dev_->copy_in(d_prefix_.get(), job.prefix, 32);
  if (s.ok()) s = dev_->copy_in(d_target_.get(), job.target, 64);
  if (s.ok()) s = dev_->launch(MidstateLaunch{d_header_.get(), d_prefix_.get(), d_midstate_.get()});
  if (s.ok()) s = dev_->synchronize();
  return s;
}

Status DeviceSession::upload_target(const std::uint8_t* target) {
  return dev_->copy_in(d_target_.get(), target, 64);
}

Status DeviceSession::mine(const Grid& grid, const std::array<unsigned char, 32>& start,
                           std::uint64_t count, unsigned int per_thread,
                           const std::function<std::int64_t()>& now_ns, LaunchOutcome* out) {
  Status s = dev_->fill(d_found_.get(), 0, sizeof(FoundResult));
  if (s.ok()) s = dev_->copy_in(d_start_.get(), start.data(), start.size());
  const std::int64_t t0 = now_ns();
  if (s.ok()) s = dev_->event_record(*start_event_);
  if (s.ok())
    s = dev_->launch(MineLaunch{grid, d_midstate_.get(), d_start_.get(), d_target_.get(), count,
                                per_thread, d_found_.get()});
  if (s.ok()) s = dev_->event_record(*stop_event_);
  if (s.ok()) s = dev_->synchronize();
  out->wall_ns = now_ns() - t0;
  if (s.ok()) s = dev_->event_elapsed_ms(*start_event_, *stop_event_, &out->gpu_ms);
  if (s.ok()) s = dev_->copy_out(&out->found, d_found_.get(), sizeof out->found);
  return s;
}

Status DeviceSession::rebuild(const JobUpload* job) {
  release();
  Status s = dev_->reset();
  if (s.ok()) s = allocate();
  if (s.ok() && job) s = upload_job(*job);
  return s;
}

}  // namespace tarn
