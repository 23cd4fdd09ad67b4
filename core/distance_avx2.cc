// AVX2 search kernels. Built with -mavx2 and deliberately without -mfma (see
// CMakeLists.txt), run only after the CPU check in distance.cc.
//
// A block's component i (sixteen rows) is two ymm registers, low and high
// rows; each lane accumulates one stored row in the scalar blocked order
// (block = t0 + t1, then t2 ... t15, then total += block; tail terms added to
// total one by one). A tile runs QT queries against RB blocks, 2 * QT * RB
// accumulators, so the queries share the loads and the adds overlap.
//
// Everything in this file has internal linkage and it calls no inline
// library function, so no code built with -mavx2 can stand in for a shared
// inline function elsewhere in the program.
#include "distance_simd.h"

#if defined(__AVX2__)

#include <immintrin.h>

namespace varnel::simd {
namespace {

constexpr size_t kLanes = kBlockRows;  // two ymm registers per component
constexpr int kHalves = 2;
static_assert(kLanes == 16 && kSumBlock == 16);

enum class Sum { kDot, kL2 };

template <Sum S>
inline __m256 term(__m256 q, __m256 v) {
  if constexpr (S == Sum::kDot) {
    return _mm256_mul_ps(q, v);
  } else {
    const __m256 d = _mm256_sub_ps(q, v);
    return _mm256_mul_ps(d, d);
  }
}

template <DistanceMetric M, int QT, int RB>
inline void tile_sums(const BlockTile& t, size_t j0, size_t b0, float* out) {
  constexpr Sum S = M == DistanceMetric::Euclidean ? Sum::kL2 : Sum::kDot;
  constexpr int NV = RB * kHalves;  // ymm vectors per component
  const size_t dim = t.dim;
  const size_t stride = kLanes * dim;
  const float* q = t.queries + j0 * dim;
  const float* blk = t.blocks + b0 * stride;
  // Offset of vector n of a component: block n / 2, half n % 2.
  auto offset = [stride](int n) { return (n / kHalves) * stride + (n % kHalves) * 8; };

  __m256 total[QT][NV];
#pragma GCC unroll 16
  for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
    for (int n = 0; n < NV; ++n) total[x][n] = _mm256_setzero_ps();
  }

  size_t i = 0;
  for (; i + kSumBlock <= dim; i += kSumBlock) {
    const float* c = blk + i * kLanes;
    __m256 acc[QT][NV];
#pragma GCC unroll 16
    for (int n = 0; n < NV; ++n) {
      const __m256 v0 = _mm256_loadu_ps(c + offset(n));
      const __m256 v1 = _mm256_loadu_ps(c + offset(n) + kLanes);
#pragma GCC unroll 16
      for (int x = 0; x < QT; ++x) {
        const float* qx = q + x * dim + i;
        acc[x][n] = _mm256_add_ps(term<S>(_mm256_set1_ps(qx[0]), v0),
                                  term<S>(_mm256_set1_ps(qx[1]), v1));
      }
    }
    // Kept as a loop on purpose: unrolled, g++ hoists every broadcast of
    // the block to the top and spills them to the stack.
#pragma GCC unroll 1
    for (size_t k = 2; k < kSumBlock; ++k) {
#pragma GCC unroll 16
      for (int n = 0; n < NV; ++n) {
        const __m256 v = _mm256_loadu_ps(c + offset(n) + k * kLanes);
#pragma GCC unroll 16
        for (int x = 0; x < QT; ++x) {
          acc[x][n] = _mm256_add_ps(acc[x][n], term<S>(_mm256_set1_ps(q[x * dim + i + k]), v));
        }
      }
    }
#pragma GCC unroll 16
    for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
      for (int n = 0; n < NV; ++n) total[x][n] = _mm256_add_ps(total[x][n], acc[x][n]);
    }
  }
  for (; i < dim; ++i) {
    const float* c = blk + i * kLanes;
#pragma GCC unroll 16
    for (int n = 0; n < NV; ++n) {
      const __m256 v = _mm256_loadu_ps(c + offset(n));
#pragma GCC unroll 16
      for (int x = 0; x < QT; ++x) {
        total[x][n] = _mm256_add_ps(total[x][n], term<S>(_mm256_set1_ps(q[x * dim + i]), v));
      }
    }
  }

  const size_t row_count = t.nblocks * kLanes;
#pragma GCC unroll 16
  for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
    for (int n = 0; n < NV; ++n) {
      const size_t row = (b0 + n / kHalves) * kLanes + (n % kHalves) * 8;
      __m256 d = total[x][n];
      if constexpr (M == DistanceMetric::Euclidean) {
        d = _mm256_sqrt_ps(d);
      } else if constexpr (M == DistanceMetric::DotProduct) {
        d = _mm256_xor_ps(d, _mm256_set1_ps(-0.0f));
      } else {
        // 1 - p / (|q| * |v|), or exactly 1 where that product is zero.
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256 den =
            _mm256_mul_ps(_mm256_set1_ps(t.query_norms[j0 + x]), _mm256_loadu_ps(t.row_norms + row));
        const __m256 zero = _mm256_cmp_ps(den, _mm256_setzero_ps(), _CMP_EQ_OQ);
        d = _mm256_blendv_ps(_mm256_sub_ps(one, _mm256_div_ps(d, den)), one, zero);
      }
      _mm256_storeu_ps(out + (j0 + x) * row_count + row, d);
    }
  }
}

// Hamming: per lane, count the components whose bits (x > 0.5) differ. The
// counts are converted as signed 32-bit, so the caller sends dimensions of
// 2^31 and more elsewhere.
template <int QT, int RB>
inline void tile_hamming(const BlockTile& t, size_t j0, size_t b0, float* out) {
  constexpr int NV = RB * kHalves;
  const size_t dim = t.dim;
  const size_t stride = kLanes * dim;
  const float* q = t.queries + j0 * dim;
  const float* blk = t.blocks + b0 * stride;
  const __m256 half = _mm256_set1_ps(0.5f);
  auto offset = [stride](int n) { return (n / kHalves) * stride + (n % kHalves) * 8; };

  __m256i count[QT][NV];
#pragma GCC unroll 16
  for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
    for (int n = 0; n < NV; ++n) count[x][n] = _mm256_setzero_si256();
  }
  for (size_t i = 0; i < dim; ++i) {
    __m256 qbit[QT];
#pragma GCC unroll 16
    for (int x = 0; x < QT; ++x) {
      qbit[x] = _mm256_cmp_ps(_mm256_set1_ps(q[x * dim + i]), half, _CMP_GT_OQ);
    }
#pragma GCC unroll 16
    for (int n = 0; n < NV; ++n) {
      // Ordered compare: NaN gives bit 0, as does 0.5 itself.
      const __m256 stored =
          _mm256_cmp_ps(_mm256_loadu_ps(blk + offset(n) + i * kLanes), half, _CMP_GT_OQ);
#pragma GCC unroll 16
      for (int x = 0; x < QT; ++x) {
        // A differing lane is all ones, that is -1: subtracting it counts one.
        const __m256i differ = _mm256_castps_si256(_mm256_xor_ps(stored, qbit[x]));
        count[x][n] = _mm256_sub_epi32(count[x][n], differ);
      }
    }
  }
  const size_t row_count = t.nblocks * kLanes;
#pragma GCC unroll 16
  for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
    for (int n = 0; n < NV; ++n) {
      const size_t row = (b0 + n / kHalves) * kLanes + (n % kHalves) * 8;
      _mm256_storeu_ps(out + (j0 + x) * row_count + row, _mm256_cvtepi32_ps(count[x][n]));
    }
  }
}

template <DistanceMetric M, int QT, int RB>
inline void tile(const BlockTile& t, size_t j0, size_t b0, float* out) {
  if constexpr (M == DistanceMetric::Hamming) {
    tile_hamming<QT, RB>(t, j0, b0, out);
  } else {
    tile_sums<M, QT, RB>(t, j0, b0, out);
  }
}

template <DistanceMetric M, int QT, int RB>
inline void tile_row(const BlockTile& t, size_t j0, float* out) {
  size_t b = 0;
  for (; b + RB <= t.nblocks; b += RB) tile<M, QT, RB>(t, j0, b, out);
  for (; b < t.nblocks; ++b) tile<M, QT, 1>(t, j0, b, out);
}

// Sixteen ymm registers: queries go three at a time against one block (six
// accumulators, the shape that measured best on Zen 4); two left over take
// two blocks; a single query reads one block after the other, the one
// sequential stream that the hardware prefetcher follows best.
template <DistanceMetric M>
void kernel(const BlockTile& t, float* out) {
  if constexpr (M == DistanceMetric::Hamming) {
    if (t.dim > 0x7FFFFFFFu) {
      for (size_t j = 0; j < t.nq; ++j) {
        for (size_t row = 0; row < t.nblocks * kLanes; ++row) {
          out[j * t.nblocks * kLanes + row] =
              block_row_distance(M, t.queries + j * t.dim, 0.0f,
                                 t.blocks + row / kLanes * kLanes * t.dim, row % kLanes, 0.0f, t.dim);
        }
      }
      return;
    }
  }
  size_t j = 0;
  for (; j + 3 <= t.nq; j += 3) tile_row<M, 3, 1>(t, j, out);
  if (t.nq - j == 2) tile_row<M, 2, 2>(t, j, out);
  if (t.nq - j == 1) tile_row<M, 1, 1>(t, j, out);
}

}  // namespace

BlockKernel avx2_kernel(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return kernel<DistanceMetric::Euclidean>;
    case DistanceMetric::Cosine:
      return kernel<DistanceMetric::Cosine>;
    case DistanceMetric::DotProduct:
      return kernel<DistanceMetric::DotProduct>;
    case DistanceMetric::Hamming:
      return kernel<DistanceMetric::Hamming>;
  }
  return nullptr;
}

}  // namespace varnel::simd

#else  // no AVX2 in this build

namespace varnel::simd {
BlockKernel avx2_kernel(DistanceMetric) { return nullptr; }
}  // namespace varnel::simd

#endif
