// The hit record of one launch, and how a hit takes its slot.
#pragma once

#include <cstdint>

#include "field/atomic_add.h"

constexpr int FOUND_SLOTS = 8;

struct FoundResult {
  unsigned int count;                 // every hit, also beyond the slots
  unsigned long long index[FOUND_SLOTS];  // launch-relative index of the hit in slot k
  unsigned long long base[FOUND_SLOTS];   // the launch's start group G0
};

namespace tarn {

// The slot is the count before this hit's increment; hits past the eighth are only counted.
TARN_HD void record_hit(FoundResult* r, uint64_t index, uint64_t base) {
  const unsigned int slot = atomic_add(&r->count, 1u);
  if (slot < FOUND_SLOTS) {
    r->index[slot] = index;
    r->base[slot] = base;
  }
}

}  // namespace tarn
