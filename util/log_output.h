// Every line the program prints, also appended to a log file and/or stamped with the time.
#pragma once

#include <cstdint>
#include <string>

namespace tarn {

struct LogOptions {
  std::string file;         // append every line here too; empty: none
  bool timestamps = false;  // an ISO-8601 UTC time before each line
};

// With a file or timestamps asked for, standard output and error become pipes read by one writer
// thread, which copies each line to where the stream went before (with its time when asked) and
// to the file. SIGHUP then reopens the file, for a log rotation that moves it away. Without
// either, nothing is installed and SIGHUP is ignored, so a hang-up never ends the program.
// Call once, before any thread starts. False, with why in *why, when the file cannot be opened.
bool start_logs(const LogOptions& options, std::string* why);

// Copies everything printed so far to its destinations, then puts standard output and error back
// on their own destinations: what is printed afterwards goes there only. exit() and a return from
// main call it on their own; call it before _exit(). Any thread, any number of times; not from a
// signal handler.
void flush_logs();

// The stamp put before each line for a time in nanoseconds since 1970, e.g.
// "2026-12-08T20:31:05.123Z ".
std::string timestamp_prefix(std::int64_t unix_ns);

// Opens path for appending; a file it creates gets mode 0640 whatever the umask, an existing one
// keeps its mode. The descriptor, or -1 with the reason in *why.
int open_log_file(const std::string& path, std::string* why);

}  // namespace tarn
