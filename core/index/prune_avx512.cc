// The AVX-512 bound kernel of prune.h, built with -mavx512f -mavx512bw and
// run only after the CPU check in prune.cc. Integer arithmetic only, so it
// gives exactly the portable kernel's bounds.
#include "index/prune.h"

#if defined(__AVX512F__) && defined(__AVX512BW__)

#include <immintrin.h>

namespace varnel::index {
namespace {

// A pair of components of sixteen rows (32 bytes) widens to one register of
// 32 int16; t-hat of the pair is broadcast as one int32, so each int16 lane
// meets its own component's t-hat, and madd adds a row's two squares into
// one int32 lane. Two pairs at a time, in two accumulators.
bool avx512_bounds(const int8_t* codes, const int32_t* pairs, size_t npairs, int32_t limit,
                   int32_t* acc) {
  __m512i acc0 = _mm512_loadu_si512(acc);
  __m512i acc1 = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi16(1);
  auto step = [&](size_t p, __m512i& sum) {
    const __m512i t = _mm512_set1_epi32(pairs[p]);
    __m512i c = _mm512_cvtepi8_epi16(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + p * 32)));
    c = _mm512_subs_epu16(_mm512_abs_epi16(_mm512_sub_epi16(c, t)), one);
    sum = _mm512_add_epi32(sum, _mm512_madd_epi16(c, c));
  };
  size_t p = 0;
  for (; p + 2 <= npairs; p += 2) {
    step(p, acc0);
    step(p + 1, acc1);
  }
  if (p < npairs) step(p, acc0);
  const __m512i sum = _mm512_add_epi32(acc0, acc1);
  _mm512_storeu_si512(acc, sum);
  return _mm512_cmpgt_epi32_mask(sum, _mm512_set1_epi32(limit)) == 0xFFFF;
}

}  // namespace

BoundKernel avx512_bound_kernel() { return avx512_bounds; }

}  // namespace varnel::index

#else

namespace varnel::index {
BoundKernel avx512_bound_kernel() { return nullptr; }
}  // namespace varnel::index

#endif
