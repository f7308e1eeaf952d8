// tarn-cuda: proof-of-work miner for NVIDIA GPUs.
#include "cli/dispatch.h"
#include "cli/std_streams.h"

int main(int argc, char** argv) {
  tarn::guard_standard_streams();
  return tarn_main(argc, argv);
}
