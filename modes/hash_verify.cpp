// "hash" and "verify": test vectors from standard input, one single-thread launch per line.
#include <cstdio>
#include <cstring>

#include "gpu/device.h"
#include "modes/device_setup.h"
#include "util/bytes.h"
#include "modes/modes.h"

namespace tarn {
namespace {

struct HashBuffers {
  DeviceBuffer<unsigned char> header, nonce, out;
  Status allocate(Device* dev) {
    Status s = header.allocate(dev, 32);
    if (s.ok()) s = nonce.allocate(dev, 64);
    if (s.ok()) s = out.allocate(dev, 64);
    return s;
  }
};

// The copies, the launch, the wait and the copy back of one vector.
Status hash_on_device(Device* dev, HashBuffers& b, const unsigned char* header,
                      const unsigned char* nonce, unsigned char* hash) {
  Status s = dev->copy_in(b.header.get(), header, 32);
  if (s.ok()) s = dev->copy_in(b.nonce.get(), nonce, 64);
  if (s.ok()) s = dev->launch(HashFullLaunch{b.header.get(), b.nonce.get(), b.out.get()});
  if (s.ok()) s = dev->synchronize();
  if (s.ok()) s = dev->copy_out(hash, b.out.get(), 64);
  return s;
}

// Decodes one field, or names it on standard error with the line number.
bool decode_field(const char* mode, int line_no, const char* name, const char* text, size_t n,
                  unsigned char* out) {
  if (parse_hex_exact(text, n, out)) return true;
  std::fprintf(stderr, "%s: line %d rejected: %s is not %zu hexadecimal digits\n", mode, line_no,
               name, 2 * n);
  return false;
}

}  // namespace
}  // namespace tarn

using namespace tarn;

int run_hash() {
  std::unique_ptr<Device> dev = open_mode_device("hash");
  if (!dev) return 1;
  HashBuffers bufs;
  Status s = bufs.allocate(dev.get());
  if (!s.ok()) return report_failure("hash", s);

  char line[512];
  int line_no = 0;
  int rejected = 0;
  while (std::fgets(line, sizeof line, stdin)) {
    ++line_no;
    char hdr_text[65], nonce_text[129];
    if (std::sscanf(line, "%64s %128s", hdr_text, nonce_text) < 2) continue;
    unsigned char header[32], nonce[64], hash[64];
    if (!decode_field("hash", line_no, "header", hdr_text, 32, header) ||
        !decode_field("hash", line_no, "nonce", nonce_text, 64, nonce)) {
      ++rejected;
      continue;
    }
    s = hash_on_device(dev.get(), bufs, header, nonce, hash);
    if (!s.ok()) return report_failure("hash", s);
    std::printf("%s\n", to_hex(hash, 64).c_str());
  }
  return rejected == 0 ? 0 : 1;
}

int run_verify() {
  std::unique_ptr<Device> dev = open_mode_device("verify");
  if (!dev) return 1;
  HashBuffers bufs;
  Status s = bufs.allocate(dev.get());
  if (!s.ok()) return report_failure("verify", s);

  char line[512];
  int line_no = 0;
  int vectors = 0, failures = 0, rejected = 0, short_lines = 0;
  while (std::fgets(line, sizeof line, stdin)) {
    ++line_no;
    char hdr_text[65], nonce_text[129], want_text[129];
    const int fields = std::sscanf(line, "%64s %128s %128s", hdr_text, nonce_text, want_text);
    if (fields < 3) {
      // Blank lines are nothing; one or two fields are a vector cut short.
      if (fields > 0) ++short_lines;
      continue;
    }
    unsigned char header[32], nonce[64], want[64], got[64];
    if (!decode_field("verify", line_no, "header", hdr_text, 32, header) ||
        !decode_field("verify", line_no, "nonce", nonce_text, 64, nonce) ||
        !decode_field("verify", line_no, "expected hash", want_text, 64, want)) {
      ++rejected;
      continue;
    }
    s = hash_on_device(dev.get(), bufs, header, nonce, got);
    if (!s.ok()) return report_failure("verify", s);
    ++vectors;
    if (std::memcmp(got, want, 64) != 0) {
      ++failures;
      if (failures <= 3)
        std::printf("MISMATCH #%d\n  want %.32s...\n  got  %s...\n", vectors, want_text,
                    to_hex(got, 16).c_str());
    }
  }
  std::printf("VERIFY: %d/%d passed (%d failed)\n", vectors - failures, vectors, failures);
  // Malformed lines are not vectors, but a file holding them must not pass.
  if (rejected > 0) std::printf("VERIFY: %d malformed line(s) rejected\n", rejected);
  // The counts and the status stay as they are; a person still sees that lines were left out.
  if (short_lines > 0)
    std::fprintf(stderr, "VERIFY: %d line(s) skipped (fewer than three fields)\n", short_lines);
  return failures != 0 || rejected != 0 ? 1 : 0;
}
