// The x86 kernel sets. Each lives in its own file, compiled with its own
// instruction-set flag; distance.cc calls them only after asking the CPU.
// A getter gives nullptr when the build has no such path (another CPU family).
#pragma once

#include "distance.h"

namespace varnel::simd {

BlockKernel avx2_kernel(DistanceMetric metric);
BlockKernel avx512_kernel(DistanceMetric metric);

}  // namespace varnel::simd
