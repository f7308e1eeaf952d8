// Host reference of the permutation and the hash: the textbook order of operations on canonical
// values, used to check everything the kernels compute.
#pragma once

#include <cstdint>

namespace ref {

void external_layer(uint64_t* s);
void internal_layer(uint64_t* s);
void permute(uint64_t* s);

// Hash of header (32 bytes) and nonce (64 bytes) into out (64 bytes).
void hash_full(const unsigned char* header, const unsigned char* nonce, unsigned char* out);

// Canonical state after absorbing the header and nonce bytes 0-31.
void midstate(const unsigned char* header, const unsigned char* nonce_prefix, uint64_t* out);

// From a canonical midstate and the eight low-half words: hash bytes 0-31, and 32-63 when
// `full` (out must then hold 64 bytes).
void tail(const uint64_t* midstate, const uint32_t* words, unsigned char* out, bool full);

// True when the 64-byte hash is strictly below the 64-byte target (byte 0 most significant).
bool below_target(const unsigned char* hash, const unsigned char* target);

}  // namespace ref
