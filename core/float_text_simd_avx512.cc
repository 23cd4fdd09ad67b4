// The AVX-512 float text writer: 16 components per step. Built with
// -mavx512f -mavx512bw (see CMakeLists.txt) and run only after the CPU
// check in float_text_simd.cc. The algorithm is in float_text_simd_lanes.h;
// this file supplies its vector operations.
#include "float_text_simd.h"

#if defined(__AVX512F__) && defined(__AVX512BW__)

// g++ 12's unmasked AVX-512 intrinsics start from a self-initialized
// "undefined" register and warn about it wherever they are inlined; the
// warning sits in the header's own lines, so it is silenced for them alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "float_text_simd_lanes.h"

namespace varnel::detail {
namespace {

struct Avx512 {
  using V = __m512i;
  using M = __mmask16;
  static constexpr int kLanes = 16;

  static V load(const float* p) { return _mm512_loadu_si512(p); }
  static V load_const(const void* p) { return _mm512_load_si512(p); }
  static V permute(V a, V index) { return _mm512_permutexvar_epi32(index, a); }
  static void store(void* p, V v) { _mm512_store_si512(p, v); }
  static V set1(int32_t x) { return _mm512_set1_epi32(x); }
  static V set1_64(int64_t x) { return _mm512_set1_epi64(x); }

  static V add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V mullo(V a, V b) { return _mm512_mullo_epi32(a, b); }
  static V band(V a, V b) { return _mm512_and_si512(a, b); }
  static V bor(V a, V b) { return _mm512_or_si512(a, b); }
  static V abs(V a) { return _mm512_abs_epi32(a); }
  template <int S> static V srli32(V a) { return _mm512_srli_epi32(a, S); }
  template <int S> static V slli32(V a) { return _mm512_slli_epi32(a, S); }
  template <int S> static V srai32(V a) { return _mm512_srai_epi32(a, S); }

  static V sllv32(V a, V n) { return _mm512_sllv_epi32(a, n); }
  // Bits of a where m has ones, of b elsewhere.
  static V select_bits(V m, V a, V b) { return _mm512_ternarylogic_epi32(m, a, b, 0xCA); }
  // The even 32-bit lanes of a, the odd ones of b.
  static V blend_odd(V a, V b) { return _mm512_mask_blend_epi32(0xAAAA, a, b); }

  static M eq(V a, V b) { return _mm512_cmpeq_epi32_mask(a, b); }
  static M gt(V a, V b) { return _mm512_cmpgt_epi32_mask(a, b); }
  static M le(V a, V b) { return _mm512_cmple_epi32_mask(a, b); }
  static M mand(M a, M b) { return static_cast<M>(a & b); }
  static M mandnot(M a, M b) { return static_cast<M>(~a & b); }  // !a && b
  static M mor(M a, M b) { return static_cast<M>(a | b); }
  static M mxor(M a, M b) { return static_cast<M>(a ^ b); }
  static V select(M m, V a, V b) { return _mm512_mask_blend_epi32(m, b, a); }  // m ? a : b

  // a + 1 where m is set.
  static V count_if(V a, M m) { return _mm512_mask_sub_epi32(a, m, a, _mm512_set1_epi32(-1)); }
  // table[index] for indices below 16.
  static V lookup16(const uint32_t* table, V index) {
    return _mm512_permutexvar_epi32(index, _mm512_load_si512(table));
  }
  static V gather(const int32_t* base, V index) { return _mm512_i32gather_epi32(index, base, 4); }

  // Each odd 32-bit lane copied into the even lane below it, and the reverse
  // (the other lane of each pair keeps its value).
  static V odd_to_even(V a) { return _mm512_shuffle_epi32(a, _MM_PERM_DDBB); }
  static V even_to_odd(V a) { return _mm512_shuffle_epi32(a, _MM_PERM_CCAA); }
  static V mul_even(V a, V b) { return _mm512_mul_epu32(a, b); }
  static V add64(V a, V b) { return _mm512_add_epi64(a, b); }
  template <int S> static V srli64(V a) { return _mm512_srli_epi64(a, S); }
  template <int S> static V slli64(V a) { return _mm512_slli_epi64(a, S); }
  static V srlv64(V a, V n) { return _mm512_srlv_epi64(a, n); }
  static V sllv64(V a, V n) { return _mm512_sllv_epi64(a, n); }

  static V mulhi16(V a, V b) { return _mm512_mulhi_epu16(a, b); }
  static V mullo16(V a, V b) { return _mm512_mullo_epi16(a, b); }
  static V sub16(V a, V b) { return _mm512_sub_epi16(a, b); }
  template <int S> static V srli16(V a) { return _mm512_srli_epi16(a, S); }
  template <int S> static V slli16(V a) { return _mm512_slli_epi16(a, S); }

  static V unpacklo32(V a, V b) { return _mm512_unpacklo_epi32(a, b); }
  static V unpackhi32(V a, V b) { return _mm512_unpackhi_epi32(a, b); }
  static V unpacklo64(V a, V b) { return _mm512_unpacklo_epi64(a, b); }
  static V unpackhi64(V a, V b) { return _mm512_unpackhi_epi64(a, b); }
};

char* write_avx512(char* out, const float* v, size_t n) { return F32Lanes<Avx512>::write(out, v, n); }

}  // namespace

F32ListWriter avx512_f32_list_writer() { return write_avx512; }

}  // namespace varnel::detail

#else  // no AVX-512 in this build

namespace varnel::detail {
F32ListWriter avx512_f32_list_writer() { return nullptr; }
}  // namespace varnel::detail

#endif
