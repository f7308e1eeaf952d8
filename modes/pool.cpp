// "pool": one worker thread per GPU, each with its own connection to the pool.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gpu/device.h"
#include "gpu/pci_bus_id.h"
#include "modes/modes.h"
#include "pool/launch_watchdog.h"
#include "pool/stop_signal.h"
#include "pool/supervisor.h"
#include "pool/url_check.h"
#include "pool/worker.h"
#include "util/device_list.h"
#include "util/printable.h"
#include "util/version.h"

namespace {

// Whether path names a regular file this process can open for reading; why not in *why.
bool readable_file(const std::string& path, std::string* why) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  if (!regular) *why = "not a regular file";
  return regular;
}

}  // namespace

int run_pool(char const* url, char const* payout, char const* worker, double submit_gap, int ngpu,
             const tarn::MonitorOptions& monitor_options, const tarn::PoolOptions& options) {
  // Workers print whole lines from several threads; each must reach a pipe or file at once.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // A URL that can never work is refused now rather than retried for ever by every worker.
  std::string bad_url;
  if (!tarn::check_pool_urls(url, &bad_url)) {
    std::fprintf(stderr, "pool: bad url %s\n", bad_url.c_str());
    return 1;
  }
  // So is a CA file that cannot be read: every wss:// connect would fail on it.
  std::string bad_ca;
  if (!options.ca_file.empty() && !readable_file(options.ca_file, &bad_ca)) {
    std::fprintf(stderr, "pool: --ca-file %s: %s\n", tarn::printable(options.ca_file).c_str(),
                 bad_ca.c_str());
    return 1;
  }

  tarn::Status why;
  const int available = tarn::backend().device_count(&why);
  if (available < 1) {
    std::printf("no CUDA devices found\n");
    std::fprintf(stderr, "pool: %s\n", tarn::no_device_line(why).c_str());
    return 1;
  }
  if (options.ngpu_word && options.devices.empty()) {
    const std::string warning = tarn::ngpu_warning("pool", options.ngpu_word, available);
    if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
  }
  std::vector<int> gpus;
  std::string bad_devices;
  if (!tarn::choose_devices(options.devices, ngpu, available, &gpus, &bad_devices)) {
    std::fprintf(stderr, "pool: %s\n", bad_devices.c_str());
    return 1;
  }
  const int used = static_cast<int>(gpus.size());
  std::printf("pool miner: %d GPU(s) of %d available, url=%s payout=%s submit_gap=%.2fs\n", used,
              available, url, payout, submit_gap);

  // Every worker publishes its figures here for the API and the total lines.
  tarn::StatsBoard board(gpus);
  tarn::PoolMonitor monitor;
  std::string refused;
  if (!monitor.start(monitor_options, &board, TARN_VERSION, url, gpus, tarn::cuda_pci_bus_id,
                     &refused)) {
    std::fprintf(stderr, "pool: %s\n", refused.c_str());
    return 1;
  }

  // A worker that meets a permanent failure says so once for all and stops the others.
  std::mutex failure_mu;
  std::string failure;
  auto run_worker = [&](tarn::WorkerSettings settings, std::function<tarn::Telemetry()> telemetry,
                        tarn::LaunchWatchdog* watchdog) {
    const std::string line =
        run_pool_device_monitored(std::move(settings), &board, std::move(telemetry), watchdog);
    if (line.empty()) return;
    std::lock_guard<std::mutex> lock(failure_mu);
    if (!failure.empty()) return;
    failure = line;
    std::fflush(stdout);
    std::fprintf(stderr, "pool: %s; stopping, exit status %d\n", line.c_str(),
                 tarn::kPermanentPoolFailureStatus);
    tarn::request_pool_stop();
  };

  const tarn::WatchedLaunches watchdog = tarn::watch_launches(options.launch_timeout, &board);
  // Before any thread exists, so every worker sees the same handlers.
  tarn::install_pool_stop_handlers();
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(used));
  for (const int i : gpus) {
    tarn::WorkerSettings settings;
    settings.gpu = i;
    settings.url = url;
    settings.payout = payout;
    settings.worker = tarn::pool_worker_name(worker, i, used);
    settings.submit_gap = submit_gap;
    settings.temp_limit = monitor_options.temp_limit;
    settings.job_timeout = options.job_timeout;
    settings.tls.caFile = options.ca_file;
    settings.tls.noVerify = options.tls_no_verify;
    settings.permanent = options.permanent;
    workers.emplace_back(run_worker, std::move(settings), monitor.telemetry_for(i),
                         watchdog.get());
  }
  for (std::thread& t : workers) t.join();
  if (used > 1) std::printf("%s", tarn::lifetime_total_line(board.snapshot()).c_str());
  monitor.stop();
  tarn::restore_pool_stop_handlers();
  return failure.empty() ? 0 : tarn::kPermanentPoolFailureStatus;
}
