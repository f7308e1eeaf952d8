// Host-side entry points of the device-code module; each launches one kernel on the default
// stream and returns cudaGetLastError() as an int, so callers need no CUDA headers.
#pragma once

struct FoundResult;

int cuda_launch_hash_full(const unsigned char* header, const unsigned char* nonce,
                          unsigned char* out);
int cuda_launch_midstate(const unsigned char* header, const unsigned char* nonce,
                         unsigned long* out);
int cuda_launch_mine(unsigned int blocks, unsigned int tpb, const unsigned long* midstate,
                     const unsigned char* start, const unsigned char* target,
                     unsigned long long count, unsigned int per_thread, FoundResult* result);
