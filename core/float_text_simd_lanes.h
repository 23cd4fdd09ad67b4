// The lane algorithm of the wide float text writers, written once over a
// small set of vector operations `O` that float_text_simd_avx2.cc and
// float_text_simd_avx512.cc each supply (and compile with their own
// instruction-set flags). Everything here has internal linkage and calls no
// inline library function, so no code built for a wide instruction set can
// become a copy the linker shares with the rest of the program. Included by
// those two files only.
//
// Per lane (a float32 of bits b), with every step done for all lanes at once:
//  1. c, q: the value is c * 2^q (c the significand with its hidden bit).
//     The values that read back as it lie in [cbl, cbr] * 2^(q-2) with
//     cb = 4c, cbr = cb + 2 and cbl = cb - 2, or cb - 1 just above a power
//     of two, where the gap below is half the gap above; both ends belong
//     to the interval when c is even (round half to even reads them back).
//  2. k = floor(log10(width of the interval)), so that scaled by 10^-k the
//     interval is between 1 and 10 wide: it holds at least one integer and
//     at most one multiple of ten.
//  3. vb, vbl, vbr: 4 * (value, ends) * 10^-k rounded to odd (floor, with the
//     lowest bit set when inexact), from a 64-bit upper approximation of
//     10^-k: exact enough that every comparison below has the exact answer
//     (the scheme of Giulietti's Schubfach; all 2^32 patterns were checked).
//  4. If the interval holds a multiple of ten, that decimal is the unique
//     shortest one; otherwise the shortest decimals are the integers in it,
//     of which s = floor(value) or s + 1 is the nearest (ties to even) or
//     the only one inside. The digits are the same the scalar writer finds.
//  5. The digit string D * 10^k is left-aligned to nine digits (trailing
//     zeros counted off), turned into ASCII, and a byte shuffle picked by
//     (placement, digit count) lays out the text (the layouts in
//     float_text_simd.h).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "float_text_simd.h"

namespace varnel::detail {
namespace {

// 10^i for i in [0, 8], then zeros: the factors that left-align a digit string.
struct Pow10x16 {
  alignas(64) uint32_t v[16];
  constexpr Pow10x16() : v() {
    uint32_t p = 1;
    for (int i = 0; i <= 8; ++i, p *= 10) v[i] = p;
  }
};
constexpr Pow10x16 kPow10x16{};

// The unpacking at the end of a block leaves 32-bit lane 4j + u in 128-bit
// lane j of the u-th vector stored, so memory slot u * kN / 4 + j. Loading
// value u * kN / 4 + j into lane 4j + u (to_lanes) puts every value in its
// own slot; to_values is the inverse, for the per-lane keys and signs.
template <int kN>
struct LaneOrder {
  alignas(64) int32_t to_lanes[kN];
  alignas(64) int32_t to_values[kN];
  constexpr LaneOrder() : to_lanes(), to_values() {
    for (int lane = 0; lane < kN; ++lane) {
      const int value = (lane % 4) * (kN / 4) + lane / 4;
      to_lanes[lane] = value;
      to_values[value] = lane;
    }
  }
};
template <int kN>
constexpr LaneOrder<kN> kLaneOrder{};

template <typename O>
struct F32Lanes {
  using V = typename O::V;
  using M = typename O::M;
  static constexpr int kLanes = O::kLanes;

  // Constants are loaded from the table (see kF32SplatValues).
  template <uint32_t kX>
  static V c32() {
    constexpr int i = f32_splat_index(kX);
    static_assert(i >= 0, "every constant must be in kF32SplatValues");
    return O::load_const(kF32Tables.splat[i]);
  }
  // The same 16-bit constant in both halves of every 32-bit lane.
  template <uint16_t kX>
  static V c16() {
    return c32<uint32_t{kX} << 16 | kX>();
  }
  template <uint32_t kA, uint32_t kB>
  static V pick(M m) {
    return O::select(m, c32<kA>(), c32<kB>());
  }

  // floor(v / d) for every 32-bit lane, as (v * kMagic) >> kShift with
  // kShift >= 32, exact over the range of v the caller states.
  template <uint32_t kMagic, int kShift>
  static V div(V v) {
    const V m = c32<kMagic>();
    const V even = O::template srli64<kShift>(O::mul_even(v, m));
    // The odd lanes' quotient lands in the upper half of its 64-bit lane.
    const V odd = O::template srli64<kShift - 32>(O::mul_even(O::odd_to_even(v), m));
    return O::blend_odd(even, odd);
  }

  // Step 3. With x' = x * 2^(h - 33) (h in [33, 36], so x' < 2^30) and the
  // 63-bit g = ghi * 2^32 + glo, P = x' * g = mid * 2^32 + (lo mod 2^32).
  // The rounded value is P >> 62 with a sticky bit for bits 31-62; the
  // approximation's excess over x' * 10^-k * 2^(62 - f) stays below bit 31.
  struct Product {
    V lo, mid;
  };
  // For the even lanes: each value in the low half of a 64-bit lane.
  static Product product(V x, V glo, V ghi) {
    const V lo = O::mul_even(x, glo);
    return {lo, O::add64(O::mul_even(x, ghi), O::template srli64<32>(lo))};
  }

  struct Scale {
    V shift;  // h - 33
    V glo, ghi, glo_odd, ghi_odd;
  };

  static V round_odd(V x, const Scale& s) {
    const V xs = O::sllv32(x, s.shift);
    const Product e = product(xs, s.glo, s.ghi);
    const Product o = product(O::odd_to_even(xs), s.glo_odd, s.ghi_odd);
    const V floor = O::blend_odd(O::template srli64<30>(e.mid), O::template slli64<2>(o.mid));
    // Bits 31-62 of P: bit 31 of lo, then bits 0-30 of mid, in a 32-bit lane.
    const V b31 = c32<0x7FFFFFFF>();
    const V rest = O::blend_odd(O::select_bits(b31, e.mid, e.lo),
                                O::even_to_odd(O::select_bits(b31, o.mid, o.lo)));
    return O::bor(floor, O::select(O::eq(rest, O::set1(0)), O::set1(0), c32<1>()));
  }

  // x * 10 and x * 40 in two shifts and an add: a fifth of a multiply's latency.
  static V times10(V x) { return O::add(O::template slli32<3>(x), O::template slli32<1>(x)); }
  static V times40(V x) { return O::add(O::template slli32<5>(x), O::template slli32<3>(x)); }

  // Eight digits in bytes, most significant first, from two four-digit
  // numbers in each 64-bit lane (the first in the low half).
  static V ascii8(V x) {
    const V hundreds = O::template srli16<3>(O::mulhi16(x, c16<5243>()));  // x / 100, x < 10^4
    const V pairs = O::bor(hundreds, O::template slli32<16>(O::sub16(x, O::mullo16(hundreds, c16<100>()))));
    const V tens = O::mulhi16(pairs, c16<6554>());  // p / 10, p < 100
    const V digits = O::bor(tens, O::template slli16<8>(O::sub16(pairs, O::mullo16(tens, c16<10>()))));
    return O::bor(digits, c32<0x30303030>());
  }

  // A block's texts before they are laid out: the source bytes of value i
  // at source[16 i], its layout key and its sign.
  struct Staged {
    alignas(64) uint8_t source[16 * kLanes];
    alignas(64) int32_t keys[kLanes];
    alignas(64) int32_t signs[kLanes];
  };

  // Steps 1-5 for the kLanes floats at `in`.
  [[gnu::always_inline]] static void stage(const float* in, Staged* st) {
    const V zero = O::set1(0);
    const V bits = O::permute(O::load(in), O::load_const(kLaneOrder<kLanes>.to_lanes));
    const V ab = O::band(bits, c32<0x7FFFFFFF>());
    const V neg = O::template srli32<31>(bits);
    const V be = O::template srli32<23>(ab);
    const V mant = O::band(ab, c32<0x7FFFFF>());
    const M normal = O::gt(be, zero);
    const M nonfinite = O::eq(be, c32<255>());
    const M is_zero = O::eq(ab, zero);

    // Step 1. Subnormals share the exponent of the smallest normals.
    const V c = O::select(normal, O::bor(mant, c32<0x800000>()), mant);
    const V q = O::sub(O::select(normal, be, c32<1>()), c32<150>());
    const M irregular = O::mand(O::eq(mant, zero), O::gt(be, c32<1>()));

    // Step 2: floor(q log10 2), or floor(q log10 2 + log10 3/4) above a
    // power of two; then h = q + floor(-k log2 10) + 33 in [33, 36]. The
    // exponent fields 0 to 255 keep k inside the table, NaN's included.
    const V k = O::select(irregular,
                          O::template srai32<21>(O::sub(O::mullo(q, c32<631305>()), c32<261663>())),
                          O::template srai32<20>(O::mullo(q, c32<315653>())));
    const V h = O::add(O::add(q, O::template srai32<19>(O::mullo(O::sub(zero, k), c32<1741647>()))),
                       c32<33>());
    const V index = O::template slli32<1>(O::add(k, c32<static_cast<uint32_t>(-kF32Pow10Min)>()));
    const int32_t* pow10 = reinterpret_cast<const int32_t*>(kF32Tables.pow10);
    const V glo = O::gather(pow10, index);
    const V ghi = O::gather(pow10, O::add(index, c32<1>()));
    const Scale scale{O::sub(h, c32<33>()), glo, ghi, O::odd_to_even(glo), O::odd_to_even(ghi)};

    // Step 3.
    const V cb = O::template slli32<2>(c);
    const V vb = round_odd(cb, scale);
    const V vbl = round_odd(O::sub(cb, pick<1, 2>(irregular)), scale);
    const V vbr = round_odd(O::add(cb, c32<2>()), scale);

    // Step 4. All of these stay below 2^31: signed comparisons are exact.
    const V out = O::band(c, c32<1>());  // 1: the ends do not read back
    // s = vb / 4; the comparisons take four times each candidate.
    const V s = O::template srli32<2>(vb);
    const V s_x4 = O::band(vb, c32<0xFFFFFFFC>());
    const V sp10_x4 = times40(div<3435973837u, 37>(vb));  // 40 floor(vb / 40), vb < 2^30
    const V sp10 = O::template srli32<2>(sp10_x4);
    const V tp10 = O::add(sp10, c32<10>());
    const V t = O::add(s, c32<1>());
    const V vbl_out = O::add(vbl, out);
    const M upin = O::le(vbl_out, sp10_x4);
    const M wpin = O::le(O::add(O::add(sp10_x4, c32<40>()), out), vbr);
    const M uin = O::le(vbl_out, s_x4);
    const M win = O::le(O::add(O::add(s_x4, c32<4>()), out), vbr);
    // vb - 4s - 2 = 4 * (value - s - 1/2): below 2 nearer s, 2 a tie.
    const V quarter = O::band(vb, c32<3>());
    const M nearer_s = O::mor(O::gt(c32<2>(), quarter),
                              O::mand(O::eq(quarter, c32<2>()), O::eq(O::band(vb, c32<4>()), zero)));
    const M one_in = O::mxor(uin, win);
    const M take_s = O::mor(O::mand(one_in, uin), O::mandnot(one_in, nearer_s));
    V d = O::select(O::mxor(upin, wpin), O::select(upin, sp10, tp10), O::select(take_s, s, t));

    // Step 5: d * 10^(9 - len) has nine digits; e is the first digit's exponent.
    V short_by = zero;  // 9 - len, from comparisons that run side by side
    short_by = O::count_if(short_by, O::gt(c32<10>(), d));
    short_by = O::count_if(short_by, O::gt(c32<100>(), d));
    short_by = O::count_if(short_by, O::gt(c32<1000>(), d));
    short_by = O::count_if(short_by, O::gt(c32<10000>(), d));
    short_by = O::count_if(short_by, O::gt(c32<100000>(), d));
    short_by = O::count_if(short_by, O::gt(c32<1000000>(), d));
    short_by = O::count_if(short_by, O::gt(c32<10000000>(), d));
    short_by = O::count_if(short_by, O::gt(c32<100000000>(), d));
    d = O::mullo(d, O::lookup16(kPow10x16.v, short_by));
    const V e = O::sub(O::add(k, c32<8>()), short_by);
    // d < 10^9 < 2^30: d / 10^4 first, then both of its parts at once.
    const V upper = div<3518437209u, 45>(d);
    const V lo4 = O::sub(d, O::mullo(upper, c32<10000>()));
    const V first = div<3518437209u, 45>(upper);
    const V hi4 = O::sub(upper, O::mullo(first, c32<10000>()));
    const M rest_zero = O::mand(O::eq(lo4, zero), O::eq(hi4, zero));

    // Trailing zeros of the nine digits: 4, then 2, then 1 at a time.
    const M z4 = O::eq(lo4, zero);
    const V g4 = O::select(z4, hi4, lo4);
    const V g4_hundreds = O::template srli32<19>(O::mullo(g4, c32<5243>()));
    const V g4_rest = O::sub(g4, O::mullo(g4_hundreds, c32<100>()));
    const M z2 = O::eq(g4_rest, zero);
    const V g2 = O::select(z2, g4_hundreds, g4_rest);
    const V g2_tens = O::template srli32<11>(O::mullo(g2, c32<205>()));
    const M z1 = O::eq(g2, times10(g2_tens));
    V zeros = O::add(O::add(pick<4, 0>(z4), pick<2, 0>(z2)), pick<1, 0>(z1));
    zeros = O::select(rest_zero, c32<8>(), zeros);

    const V abs_e = O::abs(e);
    const M plain = O::mand(O::gt(e, c32<static_cast<uint32_t>(-7)>()), O::gt(c32<13>(), e));
    const V form = O::select(plain, O::add(e, c32<6>()), pick<20, 19>(O::gt(abs_e, c32<9>())));
    V key = O::add(O::add(O::template slli32<3>(form), form), O::sub(c32<8>(), zeros));
    key = O::select(is_zero, c32<kF32ZeroLayout>(), key);
    key = O::select(nonfinite, c32<kF32NullLayout>(), key);
    const V sign = O::select(nonfinite, zero, neg);  // null has no sign

    const V exp_tens = O::template srli32<11>(O::mullo(abs_e, c32<205>()));  // |e| <= 45
    const V exp_ones = O::sub(abs_e, times10(exp_tens));
    const V misc_lo = O::select(nonfinite, c32<0x6C6C756E>(),  // "null"
                                O::add(c32<0x652E3030>(), first));  // d0 '0' '.' 'e'
    const V misc_hi = O::add(O::add(c32<0x30302B>(), pick<2, 0>(O::gt(zero, e))),
                             O::add(O::template slli32<8>(exp_tens), O::template slli32<16>(exp_ones)));

    // The source bytes of value i at source + 16 i.
    const V digits_lo = ascii8(O::unpacklo32(hi4, lo4));
    const V digits_hi = ascii8(O::unpackhi32(hi4, lo4));
    const V misc_lo_pairs = O::unpacklo32(misc_lo, misc_hi);
    const V misc_hi_pairs = O::unpackhi32(misc_lo, misc_hi);
    O::store(st->source, O::unpacklo64(digits_lo, misc_lo_pairs));
    O::store(st->source + sizeof(V), O::unpackhi64(digits_lo, misc_lo_pairs));
    O::store(st->source + 2 * sizeof(V), O::unpacklo64(digits_hi, misc_hi_pairs));
    O::store(st->source + 3 * sizeof(V), O::unpackhi64(digits_hi, misc_hi_pairs));
    const V to_values = O::load_const(kLaneOrder<kLanes>.to_values);
    O::store(st->keys, O::permute(key, to_values));
    O::store(st->signs, O::permute(sign, to_values));
  }

  // Writes the texts of the first `count` values of a staged block, each
  // followed by a comma, at o; gives the end (after the last comma).
  [[gnu::always_inline]] static char* emit(char* o, const Staged& st, int count) {
#pragma GCC unroll 4
    for (int i = 0; i < count; ++i) {
      const __m128i src = _mm_load_si128(reinterpret_cast<const __m128i*>(st.source + 16 * i));
      const F32Layout& layout = kF32Tables.layout[st.keys[i]];
      const __m128i text =
          _mm_shuffle_epi8(src, _mm_load_si128(reinterpret_cast<const __m128i*>(layout.shuffle)));
      // A '-' that the text overwrites when there is no sign.
      *o = '-';
      o += st.signs[i];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), text);
      o += kF32Tables.length[st.keys[i]];
      *o++ = ',';
    }
    return o;
  }

  static char* write(char* o, const float* v, size_t n) {
    // Two blocks staged before either is laid out: their long dependency
    // chains overlap.
    Staged a, b;
    size_t i = 0;
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
      stage(v + i, &a);
      stage(v + i + kLanes, &b);
      o = emit(o, a, kLanes);
      o = emit(o, b, kLanes);
    }
    for (; i < n; i += kLanes) {
      float tail[kLanes] = {};
      const size_t m = n - i < kLanes ? n - i : kLanes;
      for (size_t j = 0; j < m; ++j) tail[j] = v[i + j];
      stage(tail, &a);
      o = emit(o, a, static_cast<int>(m));
    }
    return n > 0 ? o - 1 : o;  // the last comma
  }
};

}  // namespace
}  // namespace varnel::detail
