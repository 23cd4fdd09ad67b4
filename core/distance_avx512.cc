// AVX-512F search kernels. Built with -mavx512f (see CMakeLists.txt) and run
// only after the CPU check in distance.cc.
//
// One zmm register holds component i of the sixteen rows of a block, so each
// lane accumulates one stored row: block = t0 + t1, then t2 ... t15 added in
// turn, then total += block; tail terms added to total one by one. That is
// the scalar blocked order lane by lane; products and sums are separate
// instructions, never fused (the one multiply-add here only subtracts, see
// term()). A tile runs QT queries against RB blocks with
// QT * RB independent accumulators, which hides the adder's latency and lets
// the QT queries share every load of the stored rows.
//
// Everything in this file has internal linkage and it calls no inline
// library function: code compiled with -mavx512f must never become the copy
// of a shared inline function that the linker picks for the whole program.
#include "distance_simd.h"

#if defined(__AVX512F__)

#include <immintrin.h>

namespace varnel::simd {
namespace {

constexpr size_t kLanes = kBlockRows;  // one zmm = one component of a block
static_assert(kLanes == 16 && kSumBlock == 16);
// The unmasked forms of sqrt and the u32 conversion start from an undefined
// register that g++ 12 warns about; the all-lanes masked forms are the same
// instruction.
constexpr __mmask16 kAllLanes = 0xFFFF;

enum class Sum { kDot, kL2 };

// The term of one component for eight or sixteen rows at once. For squared
// differences, d = v - q: exactly -(q - v), since rounding is symmetric, so
// d * d has the same bits as the scalar square. Every other tile column
// (`alt`) forms that difference as -(q * 1) + v in one multiply-add
// instruction: q * 1 is exact, so its single rounding is the rounding of
// v - q itself, bit for bit, signed zeros, infinities and NaN included. It is
// a subtraction done on the multiply unit, which leaves the adder free for
// the sums; the products and sums themselves are never fused.
template <Sum S>
inline __m512 term(__m512 q, __m512 v, bool alt) {
  if constexpr (S == Sum::kDot) {
    return _mm512_mul_ps(q, v);
  } else {
    const __m512 d = alt ? _mm512_fnmadd_ps(q, _mm512_set1_ps(1.0f), v) : _mm512_sub_ps(v, q);
    return _mm512_mul_ps(d, d);
  }
}

inline __m512 negate(__m512 x) {
  return _mm512_castsi512_ps(
      _mm512_xor_si512(_mm512_castps_si512(x), _mm512_set1_epi32(static_cast<int>(0x80000000u))));
}

// Queries j0 .. j0+QT-1 against blocks b0 .. b0+RB-1 of the tile.
template <DistanceMetric M, int QT, int RB>
inline void tile_sums(const BlockTile& t, size_t j0, size_t b0, float* out) {
  constexpr Sum S = M == DistanceMetric::Euclidean ? Sum::kL2 : Sum::kDot;
  const size_t dim = t.dim;
  const size_t stride = kLanes * dim;  // floats per block
  const float* q = t.queries + j0 * dim;
  const float* blk = t.blocks + b0 * stride;

  __m512 total[QT][RB];
#pragma GCC unroll 16
  for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
    for (int r = 0; r < RB; ++r) total[x][r] = _mm512_setzero_ps();
  }

  size_t i = 0;
  for (; i + kSumBlock <= dim; i += kSumBlock) {
    const float* c = blk + i * kLanes;
    __m512 acc[QT][RB];
#pragma GCC unroll 16
    for (int r = 0; r < RB; ++r) {
      const __m512 v0 = _mm512_loadu_ps(c + r * stride);
      const __m512 v1 = _mm512_loadu_ps(c + r * stride + kLanes);
#pragma GCC unroll 16
      for (int x = 0; x < QT; ++x) {
        const float* qx = q + x * dim + i;
        acc[x][r] = _mm512_add_ps(term<S>(_mm512_set1_ps(qx[0]), v0, (x + r) % 2 == 1),
                                  term<S>(_mm512_set1_ps(qx[1]), v1, (x + r) % 2 == 1));
      }
    }
    // Kept as a loop on purpose: unrolled, g++ hoists every broadcast of
    // the block to the top and spills them to the stack.
#pragma GCC unroll 1
    for (size_t k = 2; k < kSumBlock; ++k) {
      if constexpr (QT == 1 && RB == 1) {
        // One query streams the rows from memory: asking for the line four
        // ahead keeps enough of them on their way (a product-only loop
        // otherwise reaches a fifth less bandwidth than the L2 loop does).
        // A hint only: it never faults, even past the end of the rows.
        _mm_prefetch(reinterpret_cast<const char*>(c + k * kLanes) + 4 * 64, _MM_HINT_T0);
      }
#pragma GCC unroll 16
      for (int r = 0; r < RB; ++r) {
        const __m512 v = _mm512_loadu_ps(c + r * stride + k * kLanes);
#pragma GCC unroll 16
        for (int x = 0; x < QT; ++x) {
          acc[x][r] = _mm512_add_ps(acc[x][r], term<S>(_mm512_set1_ps(q[x * dim + i + k]), v, (x + r) % 2 == 1));
        }
      }
    }
#pragma GCC unroll 16
    for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
      for (int r = 0; r < RB; ++r) total[x][r] = _mm512_add_ps(total[x][r], acc[x][r]);
    }
  }
  for (; i < dim; ++i) {
    const float* c = blk + i * kLanes;
#pragma GCC unroll 16
    for (int r = 0; r < RB; ++r) {
      const __m512 v = _mm512_loadu_ps(c + r * stride);
#pragma GCC unroll 16
      for (int x = 0; x < QT; ++x) {
        total[x][r] = _mm512_add_ps(total[x][r], term<S>(_mm512_set1_ps(q[x * dim + i]), v, (x + r) % 2 == 1));
      }
    }
  }

  const size_t row_count = t.nblocks * kLanes;
#pragma GCC unroll 16
  for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
    for (int r = 0; r < RB; ++r) {
      __m512 d = total[x][r];
      if constexpr (M == DistanceMetric::Euclidean) {
        d = _mm512_maskz_sqrt_ps(kAllLanes, d);
      } else if constexpr (M == DistanceMetric::DotProduct) {
        d = negate(d);
      } else {
        // 1 - p / (|q| * |v|), or exactly 1 where that product is zero.
        const __m512 one = _mm512_set1_ps(1.0f);
        const __m512 den = _mm512_mul_ps(_mm512_set1_ps(t.query_norms[j0 + x]),
                                         _mm512_loadu_ps(t.row_norms + (b0 + r) * kLanes));
        const __mmask16 zero = _mm512_cmp_ps_mask(den, _mm512_setzero_ps(), _CMP_EQ_OQ);
        d = _mm512_mask_blend_ps(zero, _mm512_sub_ps(one, _mm512_div_ps(d, den)), one);
      }
      _mm512_storeu_ps(out + (j0 + x) * row_count + (b0 + r) * kLanes, d);
    }
  }
}

// Hamming: per lane, count the components whose bits (x > 0.5) differ. The
// counts are 32-bit, so the caller sends dimensions of 2^32 and more elsewhere.
template <int QT, int RB>
inline void tile_hamming(const BlockTile& t, size_t j0, size_t b0, float* out) {
  const size_t dim = t.dim;
  const size_t stride = kLanes * dim;
  const float* q = t.queries + j0 * dim;
  const float* blk = t.blocks + b0 * stride;
  const __m512 half = _mm512_set1_ps(0.5f);
  const __m512i one = _mm512_set1_epi32(1);

  __m512i count[QT][RB];
#pragma GCC unroll 16
  for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
    for (int r = 0; r < RB; ++r) count[x][r] = _mm512_setzero_si512();
  }
  for (size_t i = 0; i < dim; ++i) {
#pragma GCC unroll 16
    for (int r = 0; r < RB; ++r) {
      // Ordered compare: NaN gives bit 0, as does 0.5 itself.
      const __mmask16 stored =
          _mm512_cmp_ps_mask(_mm512_loadu_ps(blk + r * stride + i * kLanes), half, _CMP_GT_OQ);
#pragma GCC unroll 16
      for (int x = 0; x < QT; ++x) {
        const __mmask16 query = _mm512_cmp_ps_mask(_mm512_set1_ps(q[x * dim + i]), half, _CMP_GT_OQ);
        const __mmask16 differ = _kxor_mask16(stored, query);
        count[x][r] = _mm512_mask_add_epi32(count[x][r], differ, count[x][r], one);
      }
    }
  }
  const size_t row_count = t.nblocks * kLanes;
#pragma GCC unroll 16
  for (int x = 0; x < QT; ++x) {
#pragma GCC unroll 16
    for (int r = 0; r < RB; ++r) {
      _mm512_storeu_ps(out + (j0 + x) * row_count + (b0 + r) * kLanes,
                       _mm512_maskz_cvtepu32_ps(kAllLanes, count[x][r]));
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

// QT queries from j0 against every block of the tile, RB blocks at a time.
template <DistanceMetric M, int QT, int RB>
inline void tile_row(const BlockTile& t, size_t j0, float* out) {
  size_t b = 0;
  for (; b + RB <= t.nblocks; b += RB) tile<M, QT, RB>(t, j0, b, out);
  for (; b < t.nblocks; ++b) tile<M, QT, 1>(t, j0, b, out);
}

// Tile shapes, as measured on Zen 4: eight queries against one block, the
// broadcast of each query component riding in the arithmetic as a memory
// operand; Hamming does best with four queries against two blocks. A single
// query reads one block after the other: one sequential stream is what the
// hardware prefetcher follows best, and memory, not arithmetic, is its limit.
template <DistanceMetric M>
void kernel(const BlockTile& t, float* out) {
  if constexpr (M == DistanceMetric::Hamming) {
    if (t.dim > 0xFFFFFFFFu) {
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
  if constexpr (M != DistanceMetric::Hamming) {
    for (; j + 8 <= t.nq; j += 8) tile_row<M, 8, 1>(t, j, out);
  }
  for (; j + 4 <= t.nq; j += 4) tile_row<M, 4, 2>(t, j, out);
  switch (t.nq - j) {
    case 3:
      tile_row<M, 3, 2>(t, j, out);
      break;
    case 2:
      tile_row<M, 2, 2>(t, j, out);
      break;
    case 1:
      tile_row<M, 1, 1>(t, j, out);
      break;
    default:
      break;
  }
}

}  // namespace

BlockKernel avx512_kernel(DistanceMetric metric) {
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

#else  // no AVX-512 in this build

namespace varnel::simd {
BlockKernel avx512_kernel(DistanceMetric) { return nullptr; }
}  // namespace varnel::simd

#endif
