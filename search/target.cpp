#include "search/target.h"

// Long division of FF..FF by D, one byte at a time; rem < D keeps each quotient byte below 256,
// and rem * 256 + 255 needs up to 72 bits.
void target_from_difficulty(uint64_t difficulty, unsigned char* target) {
  unsigned __int128 rem = 0;
  for (int j = 0; j < 64; ++j) {
    const unsigned __int128 v = rem * 256 + 255;
    target[j] = static_cast<unsigned char>(v / difficulty);
    rem = v % difficulty;
  }
}
