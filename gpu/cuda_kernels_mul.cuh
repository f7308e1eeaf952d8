// Multiplication-variant kernels: not built yet.
#pragma once
