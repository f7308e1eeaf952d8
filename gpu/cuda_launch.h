// Host-side entry points of the device-code module, one per kernel record; each launches on the
// default stream and returns cudaGetLastError() as an int, so callers need no CUDA headers.
#pragma once

#include "gpu/launches.h"

namespace tarn {

int cuda_launch(const HashFullLaunch& l);
int cuda_launch(const MidstateLaunch& l);
int cuda_launch(const MineLaunch& l);
int cuda_launch(const SparsePathLaunch& l);
int cuda_launch(const FullOracleLaunch& l);
int cuda_launch(const MineVerifyLaunch& l);
int cuda_launch(const MulbenchLaunch& l);
int cuda_launch(const SqrbenchLaunch& l);
int cuda_launch(const MulcheckLaunch& l);
int cuda_launch(const SqrcheckLaunch& l);
int cuda_launch(const MuldbgLaunch& l);

}  // namespace tarn
