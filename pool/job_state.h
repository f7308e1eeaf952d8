// The job a pool worker mines: the pool's last word on this connection, the nonce prefix drawn
// for it, and what NewJob and SetDifficulty do to it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "pool/messages.h"

namespace tarn {

// Reset at every connection.
struct PoolJob {
  std::string job_id;
  std::string difficulty;  // replaced by SetDifficulty; parsed again at every use
  std::string mining_hash;
  std::array<std::uint8_t, 32> header{};
  std::array<std::uint8_t, 64> target{};
  std::array<std::uint8_t, 32> prefix{};
  std::uint64_t start_counter = 0;  // indices launched for this job so far
  bool have_job = false;
};

// The prefix generator's first state: apart for every GPU and every start.
std::uint64_t prefix_seed(int gpu, std::int64_t now_ns);
// One xorshift64 step per byte, each byte the low 8 bits of the new state.
void draw_prefix(std::uint64_t* rng, std::array<std::uint8_t, 32>* prefix);

// What the device must be sent after a message changed the job.
enum class DeviceUpdate { none, job, target };

struct JobChange {
  DeviceUpdate upload = DeviceUpdate::none;
  std::string line;  // one whole line to print, or empty
};

// A valid NewJob replaces the job, with a fresh prefix and its count from 0. One whose difficulty
// reads as 0 changes nothing: the job in progress keeps its texts, so its shares keep their id.
JobChange take_new_job(PoolJob* job, std::uint64_t* rng, const NewJob& j, const std::string& tag);
// Replaces the difficulty text. With a job the target follows (kept when the new text reads 0)
// and goes to the device; the midstate, the prefix and the count stay.
JobChange take_set_difficulty(PoolJob* job, const SetDifficulty& sd, const std::string& tag);

}  // namespace tarn
