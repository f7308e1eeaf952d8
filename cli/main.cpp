// tarn-cuda: proof-of-work miner for NVIDIA GPUs.
#include "cli/dispatch.h"

int main(int argc, char** argv) { return tarn_main(argc, argv); }
