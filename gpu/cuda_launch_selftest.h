// Host-side entry points of the self-test kernels in the device-code module; each launches one
// kernel on the default stream and returns cudaGetLastError() as an int.
#pragma once

struct FoundResult;

int cuda_launch_minesparsepath(unsigned int blocks, unsigned int tpb, const unsigned long* midstate,
                               const unsigned char* start_low, const unsigned char* high,
                               const unsigned char* target, const unsigned char* zero_target,
                               unsigned int per_thread, unsigned long* indices,
                               unsigned char* nonces, unsigned char* sparse, unsigned char* direct,
                               unsigned char* decisions, unsigned char* ties, FoundResult* seed);
int cuda_launch_minesparse_full_oracle(unsigned int blocks, unsigned int tpb,
                                       const unsigned char* header, const unsigned char* nonces,
                                       unsigned long count, unsigned char* out);
int cuda_launch_mineverify(unsigned int blocks, unsigned int tpb, const unsigned long* midstate,
                           const unsigned char* low, unsigned int n, unsigned char* hashes,
                           const unsigned char* target, unsigned char* decisions,
                           unsigned char* ties);
