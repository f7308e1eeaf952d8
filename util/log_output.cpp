// Standard output and error through pipes to one writer thread: lines from every thread arrive
// whole (a pipe write of up to PIPE_BUF bytes is atomic), so each can be stamped and copied.
#include "util/log_output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "util/clock.h"
#include "util/printable.h"

namespace tarn {
namespace {

// A line longer than this without a newline is written in pieces rather than held without limit.
constexpr size_t kLongestHeldLine = 64 * 1024;

struct Stream {
  int read_fd = -1;  // our end of the pipe that stands in for the stream
  int dest_fd = -1;  // where the stream went before
  std::string partial;
  bool open = true;
};

struct Tee {
  std::vector<Stream> streams;  // output, then error; one when both went to the same place
  int saved_out = -1;           // the original fds 1 and 2, put back at the end
  int saved_err = -1;
  int wake_read = -1;
  int wake_write = -1;
  std::string path;
  int log_fd = -1;
  bool timestamps = false;
  bool write_failed = false;  // one line per run of failed writes to the file, not one per line
  std::thread writer;
};

Tee* g_tee = nullptr;
std::mutex g_flush_mutex;
std::atomic<bool> g_quit{false};
std::atomic<bool> g_hangup{false};
std::atomic<int> g_wake_fd{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "both are used from a signal handler");

void on_hangup(int) {
  const int saved = errno;
  g_hangup = true;
  const int fd = g_wake_fd.load();
  if (fd >= 0) {
    const ssize_t ignored = write(fd, "h", 1);  // a full pipe: a wake-up is pending anyway
    (void)ignored;
  }
  errno = saved;
}

// False when the destination refuses; a short write is continued, an interrupted one retried.
bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string stamp(const Tee& t) {
  return t.timestamps ? timestamp_prefix(system_now_ns()) : std::string();
}

// One line to the stream's old destination as it was printed, and to the file with a newline
// where it had none, so the next line starts on its own.
void emit(Tee* t, Stream* s, const std::string& line) {
  const std::string stamped = stamp(*t) + line;
  write_all(s->dest_fd, stamped);  // a terminal that went away must not stop the file copy
  if (t->log_fd < 0) return;
  const bool whole = !line.empty() && line.back() == '\n';
  const int err = write_all(t->log_fd, whole ? stamped : stamped + "\n") ? 0 : errno;
  if (err == 0) {
    t->write_failed = false;
  } else if (!t->write_failed) {
    t->write_failed = true;
    write_all(t->streams.back().dest_fd, stamp(*t) + "log: writing " + printable(t->path) +
                                             " failed: " + std::strerror(err) + "\n");
  }
}

// Whole lines out of what arrived; the rest waits for its newline, or for the end.
void take(Tee* t, Stream* s, const char* data, size_t n) {
  s->partial.append(data, n);
  size_t from = 0;
  for (size_t nl; (nl = s->partial.find('\n', from)) != std::string::npos; from = nl + 1)
    emit(t, s, s->partial.substr(from, nl + 1 - from));
  s->partial.erase(0, from);
  if (s->partial.size() >= kLongestHeldLine) {
    emit(t, s, s->partial);
    s->partial.clear();
  }
}

// Reads all the stream holds now; its read end does not block.
void read_available(Tee* t, Stream* s) {
  char buf[16384];
  while (s->open) {
    const ssize_t n = read(s->read_fd, buf, sizeof buf);
    if (n > 0) {
      take(t, s, buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) s->open = false;
      return;
    }
  }
}

void reopen(Tee* t) {
  std::string why;
  const int fd = open_log_file(t->path, &why);
  if (fd < 0) {
    // The file opened before (renamed, perhaps) keeps the lines meanwhile: better than none.
    emit(t, &t->streams.back(),
         "log: cannot reopen " + printable(t->path) + " after SIGHUP: " + why +
             "; still writing to the file opened before (trying again at the next SIGHUP)\n");
    return;
  }
  close(t->log_fd);
  t->log_fd = fd;
  t->write_failed = false;
}

void run_writer(Tee* t) {
  for (;;) {
    std::vector<pollfd> fds;
    for (const Stream& s : t->streams) fds.push_back({s.open ? s.read_fd : -1, POLLIN, 0});
    fds.push_back({t->wake_read, POLLIN, 0});
    // Never given up: a writer that stopped reading would block every thread that prints.
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) usleep(10000);
    char wake[64];
    while (read(t->wake_read, wake, sizeof wake) > 0) {
    }
    // Before the reads: lines printed after the signal go to the new file.
    if (g_hangup.exchange(false)) reopen(t);
    bool any_open = false;
    for (Stream& s : t->streams) {
      read_available(t, &s);
      any_open = any_open || s.open;
    }
    // At the quit fds 1 and 2 no longer lead here, so the reads above emptied the pipes.
    if (g_quit || !any_open) break;
  }
  for (Stream& s : t->streams) {
    read_available(t, &s);
    if (!s.partial.empty()) emit(t, &s, s.partial);
    s.partial.clear();
  }
}

bool same_file(int a, int b) {
  struct stat sa {}, sb {};
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void flush_at_exit() { flush_logs(); }

// Undoes a start that failed halfway; fds 1 and 2 are still the originals then.
bool give_up(Tee* t, std::string* why, const char* step) {
  *why = std::string(step) + ": " + std::strerror(errno);
  for (int fd : {t->saved_out, t->saved_err, t->wake_read, t->wake_write, t->log_fd})
    if (fd >= 0) close(fd);
  for (const Stream& s : t->streams) close(s.read_fd);
  delete t;
  return false;
}

}  // namespace

std::string timestamp_prefix(std::int64_t unix_ns) {
  const time_t secs = static_cast<time_t>(unix_ns / 1000000000);
  const int ms = static_cast<int>(unix_ns % 1000000000 / 1000000);
  struct tm utc {};
  gmtime_r(&secs, &utc);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
  return buf;
}

int open_log_file(const std::string& path, std::string* why) {
  // O_NONBLOCK: a FIFO with no reader fails at once instead of hanging the start.
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;
  // Twice at most: a file removed between the two opens is created on the second round.
  for (int round = 0; round < 2; ++round) {
    int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0640);
    if (fd >= 0) {
      fchmod(fd, 0640);  // the umask only takes bits away, so a failure leaves it stricter
    } else if (errno == EEXIST) {
      fd = open(path.c_str(), flags);
      if (fd < 0 && errno == ENOENT) continue;
    }
    if (fd < 0) break;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
  }
  *why = std::strerror(errno);
  return -1;
}

bool start_logs(const LogOptions& options, std::string* why) {
  if (options.file.empty() && !options.timestamps) {
    signal(SIGHUP, SIG_IGN);
    return true;
  }
  Tee* t = new Tee;
  t->path = options.file;
  t->timestamps = options.timestamps;
  if (!options.file.empty()) {
    t->log_fd = open_log_file(options.file, why);
    if (t->log_fd < 0) {
      *why = "--log-file " + printable(options.file) + ": " + *why;
      delete t;
      return false;
    }
  }
  t->saved_out = fcntl(1, F_DUPFD_CLOEXEC, 3);
  t->saved_err = fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (t->saved_out < 0 || t->saved_err < 0) return give_up(t, why, "log: copying fds 1 and 2");
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return give_up(t, why, "log: a pipe");
  t->wake_read = wake[0];
  t->wake_write = wake[1];
  // Output and error to one place (a terminal, the journal) share one pipe, so their lines
  // stay in the order they were printed.
  const bool one = same_file(1, 2);
  int write_ends[2] = {-1, -1};
  for (int i = 0; i < (one ? 1 : 2); ++i) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
      if (write_ends[0] >= 0) close(write_ends[0]);
      return give_up(t, why, "log: a pipe");
    }
    fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) | O_NONBLOCK);
    Stream s;
    s.read_fd = p[0];
    s.dest_fd = i == 0 ? t->saved_out : t->saved_err;
    t->streams.push_back(s);
    write_ends[i] = p[1];
  }
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(write_ends[0], 1);
  dup2(one ? write_ends[0] : write_ends[1], 2);
  for (int fd : write_ends)
    if (fd >= 0) close(fd);
  // A pipe would make stdout fully buffered: lines would reach the log only at exit.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  g_tee = t;
  g_wake_fd = t->wake_write;
  t->writer = std::thread(run_writer, t);
  std::atexit(flush_at_exit);
  if (options.file.empty()) {
    signal(SIGHUP, SIG_IGN);
  } else {
    struct sigaction sa {};
    sa.sa_handler = on_hangup;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &sa, nullptr);
  }
  return true;
}

void flush_logs() {
  std::lock_guard<std::mutex> lock(g_flush_mutex);
  Tee* t = g_tee;
  if (!t) return;
  std::fflush(stdout);
  std::fflush(stderr);
  // From here on fds 1 and 2 lead to the old destinations, so the pipes hold all that is left.
  dup2(t->saved_out, 1);
  dup2(t->saved_err, 2);
  g_quit = true;
  const ssize_t ignored = write(t->wake_write, "q", 1);
  (void)ignored;
  t->writer.join();
  // A hang-up from now on has no file to reopen. The wake pipe stays open: a handler already
  // running may still write to it.
  signal(SIGHUP, SIG_IGN);
  for (const Stream& s : t->streams) close(s.read_fd);
  if (t->log_fd >= 0) close(t->log_fd);
  close(t->saved_out);
  close(t->saved_err);
  g_tee = nullptr;
  delete t;
}

}  // namespace tarn
