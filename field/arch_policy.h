// Every choice the device code makes by GPU generation, one record per compute-capability range.
// The kernel bodies take the generation as a template parameter CC: the build's __CUDA_ARCH__ on
// the GPU, the virtual device's compute capability in the host emulation (with_policy), so
// --cpu=CC runs exactly the forms that CC's build runs, through the host twins of its asm.
#pragma once

#include <type_traits>

namespace tarn {

enum class Layout { counter, direction };
// A 96-bit fold lo + hi * 2^64: the carry's eps added by two 32-bit adds, whose results may land
// in any registers, or by one wide multiply-add, whose result lands in a register pair.
enum class Fold { adds, mad };
// A square: a general product (one more multiply, one fewer ALU instruction) or the
// three-multiply square.
enum class Square { general, three_mul };

struct ArchPolicy {
  int from_cc;                   // first compute capability of the range (major x 100 + minor x 10)
  Layout layout;                 // the nonce layout of the mining kernels
  unsigned int mine_tpb;         // mine_kernel's threads per block (its launch bound) ...
  unsigned int mine_min_blocks;  // ... and resident blocks (a register budget of 128 each way)
  Fold linear_fold;              // the external layers' reduce96
  Square square;                 // gf_sqr in the S-boxes
  Fold lane_fold;                // the internal rounds' per-lane fold
};

// In ascending from_cc. Beside each choice, scripts/kernel-cost's mine_kernel figures per nonce
// (nvcc 13.0; the total, and the ALU class where that pipe binds, 64 lanes below 12.0) for the
// row against the other form of one choice, all else as in the row:
//   below 12.0, sm_89 | sm_90: as the row 23347 | 23771 total, ALU 11946 | 11989 (bound: ALU
//     187 | 187 cycles per SM per nonce, issue 182 | 186); linear adds 23470 | 23661 but ALU
//     12378 | 12421 (193 | 194); square three_mul 23867 | 23692, ALU 12418 | 12461; lane adds
//     23303 | 23639, ALU 13002 | 13045.
//   from 12.0, sm_120: as the row 21922 total (issue-bound, 128 ALU lanes); linear adds 22175;
//     square general 22011 (128 registers); lane adds 22582.
inline constexpr ArchPolicy ARCH_POLICIES[] = {
    // from  layout             tpb  min  linear      square              lane
    {0,     Layout::counter,   256, 2,   Fold::mad,  Square::general,   Fold::mad},
    {1200,  Layout::direction, 512, 1,   Fold::mad,  Square::three_mul, Fold::mad},
};
inline constexpr int ARCH_POLICY_COUNT = sizeof(ARCH_POLICIES) / sizeof(ARCH_POLICIES[0]);

constexpr ArchPolicy policy_for(int cc) {
  int k = 0;
  while (k + 1 < ARCH_POLICY_COUNT && cc >= ARCH_POLICIES[k + 1].from_cc) ++k;
  return ARCH_POLICIES[k];
}

constexpr bool direction_layout(int cc) { return policy_for(cc).layout == Layout::direction; }

constexpr bool policies_ascend() {
  for (int k = 1; k < ARCH_POLICY_COUNT; ++k)
    if (ARCH_POLICIES[k].from_cc <= ARCH_POLICIES[k - 1].from_cc) return false;
  return ARCH_POLICIES[0].from_cc == 0;
}
static_assert(policies_ascend(), "ARCH_POLICIES must start at 0 and ascend");

// Calls f(std::integral_constant<int, FROM_CC>) for the range that holds cc, so one instance of
// each kernel body serves every compute capability of a range.
template <int K = 0, class F>
void with_policy(int cc, F&& f) {
  if constexpr (K + 1 < ARCH_POLICY_COUNT) {
    if (cc >= ARCH_POLICIES[K + 1].from_cc) return with_policy<K + 1>(cc, f);
  }
  f(std::integral_constant<int, ARCH_POLICIES[K].from_cc>{});
}

}  // namespace tarn

// The generation a device-code module is compiled for; 0 in the host pass, which compiles no
// kernel bodies.
#if defined(__CUDA_ARCH__)
#define TARN_ARCH_CC __CUDA_ARCH__
#else
#define TARN_ARCH_CC 0
#endif
