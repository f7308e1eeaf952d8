// Host-side entry points of the multiplication kernels; each launches on the default stream and
// returns cudaGetLastError() as an int. form is 1 (gf_mul), 3, 4 or 5.
#pragma once

int cuda_launch_mulbench(int form, unsigned int blocks, unsigned int tpb, unsigned long* out,
                         unsigned int iters);
int cuda_launch_sqrbench(unsigned int blocks, unsigned int tpb, unsigned long* out,
                         unsigned int iters, int mode);
// form 3, 4 or 5.
int cuda_launch_mulcheck(int form, unsigned int blocks, unsigned int tpb,
                         unsigned long long* mismatches, unsigned int n);
int cuda_launch_sqrcheck(unsigned int blocks, unsigned int tpb, unsigned long long* mismatches,
                         unsigned int n);
int cuda_launch_muldbg();
