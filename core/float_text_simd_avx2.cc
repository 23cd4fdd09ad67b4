// The AVX2 float text writer: 8 components per step. Built with -mavx2 (see
// CMakeLists.txt) and run only after the CPU check in float_text_simd.cc.
// The algorithm is in float_text_simd_lanes.h; this file supplies its vector
// operations. Comparisons give all-ones lanes, the masks of this path.
#include "float_text_simd.h"

#if defined(__AVX2__)

#include <immintrin.h>

#include "float_text_simd_lanes.h"

namespace varnel::detail {
namespace {

struct Avx2 {
  using V = __m256i;
  using M = __m256i;
  static constexpr int kLanes = 8;

  static V load(const float* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static V load_const(const void* p) { return _mm256_load_si256(static_cast<const __m256i*>(p)); }
  static V permute(V a, V index) { return _mm256_permutevar8x32_epi32(a, index); }
  static void store(void* p, V v) { _mm256_store_si256(static_cast<__m256i*>(p), v); }
  static V set1(int32_t x) { return _mm256_set1_epi32(x); }
  static V set1_64(int64_t x) { return _mm256_set1_epi64x(x); }

  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V mullo(V a, V b) { return _mm256_mullo_epi32(a, b); }
  static V band(V a, V b) { return _mm256_and_si256(a, b); }
  static V bor(V a, V b) { return _mm256_or_si256(a, b); }
  static V abs(V a) { return _mm256_abs_epi32(a); }
  template <int S> static V srli32(V a) { return _mm256_srli_epi32(a, S); }
  template <int S> static V slli32(V a) { return _mm256_slli_epi32(a, S); }
  template <int S> static V srai32(V a) { return _mm256_srai_epi32(a, S); }

  static V sllv32(V a, V n) { return _mm256_sllv_epi32(a, n); }
  // Bits of a where m has ones, of b elsewhere.
  static V select_bits(V m, V a, V b) { return bor(band(m, a), _mm256_andnot_si256(m, b)); }
  // The even 32-bit lanes of a, the odd ones of b.
  static V blend_odd(V a, V b) { return _mm256_blend_epi32(a, b, 0xAA); }

  static M eq(V a, V b) { return _mm256_cmpeq_epi32(a, b); }
  static M gt(V a, V b) { return _mm256_cmpgt_epi32(a, b); }
  static M le(V a, V b) { return _mm256_xor_si256(gt(a, b), _mm256_set1_epi32(-1)); }
  static M mand(M a, M b) { return _mm256_and_si256(a, b); }
  static M mandnot(M a, M b) { return _mm256_andnot_si256(a, b); }  // !a && b
  static M mor(M a, M b) { return _mm256_or_si256(a, b); }
  static M mxor(M a, M b) { return _mm256_xor_si256(a, b); }
  static V select(M m, V a, V b) { return _mm256_blendv_epi8(b, a, m); }  // m ? a : b

  // a + 1 where m is set (all ones, that is -1).
  static V count_if(V a, M m) { return _mm256_sub_epi32(a, m); }
  // table[index] for indices below 16: each half by a permute, then the one
  // the index's bit 3 picks.
  static V lookup16(const uint32_t* table, V index) {
    const V lo = _mm256_permutevar8x32_epi32(load_const(table), index);
    const V hi = _mm256_permutevar8x32_epi32(load_const(table + 8), index);
    return select(gt(index, _mm256_set1_epi32(7)), hi, lo);
  }
  static V gather(const int32_t* base, V index) { return _mm256_i32gather_epi32(base, index, 4); }

  // Each odd 32-bit lane copied into the even lane below it, and the reverse
  // (the other lane of each pair keeps its value).
  static V odd_to_even(V a) { return _mm256_shuffle_epi32(a, 0xF5); }
  static V even_to_odd(V a) { return _mm256_shuffle_epi32(a, 0xA0); }
  static V mul_even(V a, V b) { return _mm256_mul_epu32(a, b); }
  static V add64(V a, V b) { return _mm256_add_epi64(a, b); }
  template <int S> static V srli64(V a) { return _mm256_srli_epi64(a, S); }
  template <int S> static V slli64(V a) { return _mm256_slli_epi64(a, S); }
  static V srlv64(V a, V n) { return _mm256_srlv_epi64(a, n); }
  static V sllv64(V a, V n) { return _mm256_sllv_epi64(a, n); }

  static V mulhi16(V a, V b) { return _mm256_mulhi_epu16(a, b); }
  static V mullo16(V a, V b) { return _mm256_mullo_epi16(a, b); }
  static V sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
  template <int S> static V srli16(V a) { return _mm256_srli_epi16(a, S); }
  template <int S> static V slli16(V a) { return _mm256_slli_epi16(a, S); }

  static V unpacklo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  static V unpackhi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  static V unpacklo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  static V unpackhi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
};

char* write_avx2(char* out, const float* v, size_t n) { return F32Lanes<Avx2>::write(out, v, n); }

}  // namespace

F32ListWriter avx2_f32_list_writer() { return write_avx2; }

}  // namespace varnel::detail

#else  // no AVX2 in this build

namespace varnel::detail {
F32ListWriter avx2_f32_list_writer() { return nullptr; }
}  // namespace varnel::detail

#endif
