// Runs a check once per generation range of field/arch_policy.h, so the host tests cover every
// arithmetic form a GPU build runs, not only the forms one host build would pick.
#pragma once

#include "field/arch_policy.h"

// f(std::integral_constant<int, CC>) for each range's first compute capability CC.
template <class F>
void each_generation(F&& f) {
  for (const tarn::ArchPolicy& p : tarn::ARCH_POLICIES) tarn::with_policy(p.from_cc, f);
}
