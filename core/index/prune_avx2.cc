// The AVX2 bound kernel of prune.h, built with -mavx2 and run only after the
// CPU check in prune.cc. Integer arithmetic only, so it gives exactly the
// portable kernel's bounds.
#include "index/prune.h"

#if defined(__AVX2__)

#include <immintrin.h>

namespace varnel::index {
namespace {

// A pair of components of sixteen rows is 32 bytes: rows 0-7 widen to one
// register of int16, rows 8-15 to another; t-hat of the pair is broadcast as
// one int32, so each int16 lane meets its own component's t-hat, and
// madd adds a row's two squares into one int32 lane.
bool avx2_bounds(const int8_t* codes, const int32_t* pairs, size_t npairs, int32_t limit,
                 int32_t* acc) {
  __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc));
  __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + 8));
  const __m256i one = _mm256_set1_epi16(1);
  for (size_t p = 0; p < npairs; ++p) {
    const __m256i t = _mm256_set1_epi32(pairs[p]);
    const __m128i* c = reinterpret_cast<const __m128i*>(codes + p * 32);
    __m256i a = _mm256_cvtepi8_epi16(_mm_loadu_si128(c));
    __m256i b = _mm256_cvtepi8_epi16(_mm_loadu_si128(c + 1));
    a = _mm256_subs_epu16(_mm256_abs_epi16(_mm256_sub_epi16(a, t)), one);
    b = _mm256_subs_epu16(_mm256_abs_epi16(_mm256_sub_epi16(b, t)), one);
    lo = _mm256_add_epi32(lo, _mm256_madd_epi16(a, a));
    hi = _mm256_add_epi32(hi, _mm256_madd_epi16(b, b));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc), lo);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc + 8), hi);
  const __m256i lim = _mm256_set1_epi32(limit);
  const __m256i over = _mm256_and_si256(_mm256_cmpgt_epi32(lo, lim), _mm256_cmpgt_epi32(hi, lim));
  return _mm256_movemask_epi8(over) == -1;
}

}  // namespace

BoundKernel avx2_bound_kernel() { return avx2_bounds; }

}  // namespace varnel::index

#else

namespace varnel::index {
BoundKernel avx2_bound_kernel() { return nullptr; }
}  // namespace varnel::index

#endif
