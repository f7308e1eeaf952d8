// Every kernel of the device-code module as one plain record of its grid and arguments. A
// Device runs any of them through one call, whichever backend serves it.
#pragma once

#include <cstdint>
#include <variant>

struct FoundResult;

namespace tarn {

struct Grid {
  unsigned int blocks = 1;
  unsigned int tpb = 1;
};

// One thread hashes one header and nonce.
struct HashFullLaunch {
  const unsigned char* header;
  const unsigned char* nonce;
  unsigned char* out;  // 64 bytes
};

// One thread absorbs header and nonce prefix; the twelve felts are canonical in the direction
// layout, in Montgomery form below it.
struct MidstateLaunch {
  const unsigned char* header;
  const unsigned char* prefix;
  uint64_t* out;
};

struct MineLaunch {
  Grid grid;
  const uint64_t* midstate;
  const unsigned char* start;   // 32-byte start block
  const unsigned char* target;  // 64 bytes, big-endian
  unsigned long long count;
  unsigned int per_thread;
  FoundResult* result;
};

// The direction-layout path with every intermediate written out; empty below 12.0.
struct SparsePathLaunch {
  Grid grid;
  const uint64_t* midstate;
  const unsigned char* start_low;
  const unsigned char* high;
  const unsigned char* target;
  const unsigned char* zero_target;
  unsigned int per_thread;
  uint64_t* indices;
  unsigned char* nonces;
  unsigned char* sparse;
  unsigned char* direct;
  unsigned char* decisions;
  unsigned char* ties;
  FoundResult* seed;
};

// The from-scratch hash of a list of nonces.
struct FullOracleLaunch {
  Grid grid;
  const unsigned char* header;
  const unsigned char* nonces;
  uint64_t count;
  unsigned char* out;
};

// The counter-layout mining path on given low halves.
struct MineVerifyLaunch {
  Grid grid;
  const uint64_t* midstate;
  const unsigned char* low;
  unsigned int n;
  unsigned char* hashes;
  const unsigned char* target;
  unsigned char* decisions;
  unsigned char* ties;
};

enum class MulForm { v1, v3, v4, v5 };  // v1 is gf_mul

// One entry of out per thread: 8 chains x iters multiplications with form.
struct MulbenchLaunch {
  Grid grid;
  MulForm form;
  uint64_t* out;
  unsigned int iters;
};

// The same with squarings: gf_mul(z, z) when mode is 0, gf_sqr(z) otherwise.
struct SqrbenchLaunch {
  Grid grid;
  uint64_t* out;
  unsigned int iters;
  int mode;
};

// Adds to *mismatches the inputs 0 .. n-1 where form (v3, v4 or v5) disagrees with gf_mul.
struct MulcheckLaunch {
  Grid grid;
  MulForm form;
  unsigned long long* mismatches;
  unsigned int n;
};

// The same for gf_sqr(x) against gf_mul(x, x).
struct SqrcheckLaunch {
  Grid grid;
  unsigned long long* mismatches;
  unsigned int n;
};

// One thread prints five products; on a GPU the lines appear at the next synchronize.
struct MuldbgLaunch {};

using KernelLaunch =
    std::variant<HashFullLaunch, MidstateLaunch, MineLaunch, SparsePathLaunch, FullOracleLaunch,
                 MineVerifyLaunch, MulbenchLaunch, SqrbenchLaunch, MulcheckLaunch, SqrcheckLaunch,
                 MuldbgLaunch>;

// The kernel's name, as the runtime's error lines give it.
const char* kernel_name(const KernelLaunch& k);

}  // namespace tarn
