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
// A square: a general product (one more multiply, one fewer ALU instruction), the native 64-bit
// multiply-low and -high (mul_wide_native: two additions move to the multiply pipe), or the
// three-multiply square.
enum class Square { general, native, three_mul };
// The sum of two 96-bit accumulators in a linear layer: three 32-bit adds, or the low 64 bits
// as one 64-bit add (the same instructions; other register pairs for ptxas).
enum class AccSum { words32, words64 };

struct ArchPolicy {
  int from_cc;                   // first compute capability of the range (major x 100 + minor x 10)
  Layout layout;                 // the nonce layout of the mining kernels
  unsigned int mine_tpb;         // mine_kernel's threads per block (its launch bound) ...
  unsigned int mine_min_blocks;  // ... and resident blocks (a register budget of 128 each way)
  Fold linear_fold;              // the external layers' reduce96
  Square first_square;           // the S-boxes' x^2
  Square square;                 // the S-boxes' x^4 (and gf_sqr)
  Fold lane_fold;                // the internal rounds' per-lane fold
  AccSum linear_sum;             // the external layers' sums of accumulators
};

// In ascending from_cc. Beside each choice, scripts/kernel-cost's mine_kernel figures per nonce
// (nvcc 13.0) for the row and for the row with one choice changed: the total, then the bound
// max(total/128, ALU/lanes, IMAD/64) in cycles per SM per nonce and the term that sets it. The
// rows were chosen by measuring every combination of the five arithmetic fields.
//   below 9.0, sm_89: as the row 23321, 182 issue (ALU 11474, IMAD 11509); linear adds 23498,
//     186 ALU; x^2 native 23628, 192 IMAD; x^2 three_mul 23396, 183 ALU; x^4 general 23407,
//     187 ALU; x^4 three_mul 23717, 190 ALU; lane adds 23321, 196 ALU; sums words32 23500, 184.
//   9.0 to 11.x, sm_90: as the row 23373, 183 issue (ALU 11517, IMAD 11443); linear adds 23629,
//     187 ALU; x^2 general 23586, 187 ALU; x^2 three_mul 23524, 191 ALU; x^4 native 23531,
//     189 IMAD; x^4 three_mul 23474, 184 ALU; lane adds 23505, 196 ALU; sums words32 23579, 184.
//   from 12.0, sm_120 (128 ALU lanes, so the total binds): as the row 21878, 171 issue; linear
//     adds 22302; lane adds 22714; sums words32 21922; either square general or native 21878
//     (x^4 native 21922).
inline constexpr ArchPolicy ARCH_POLICIES[] = {
    // from layout            tpb  min linear     x^2                x^4                lane       sums
    {0,    Layout::counter,   256, 2,  Fold::mad, Square::general,   Square::native,    Fold::mad, AccSum::words64},
    {900,  Layout::counter,   256, 2,  Fold::mad, Square::native,    Square::general,   Fold::mad, AccSum::words64},
    {1200, Layout::direction, 512, 1,  Fold::mad, Square::three_mul, Square::three_mul, Fold::mad, AccSum::words64},
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
