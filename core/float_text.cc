#include "float_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace varnel {
namespace {

// ---------------------------------------------------------------- float64

// Places the digits of std::to_chars' scientific form ("-1.25e+06") by the
// decimal exponent of the first digit: plain decimal inside [lo, hi],
// d[.ddd]e±X outside. Writes into `buf` (64 bytes suffice) and returns the end.
char* place_digits(const char* sci, const char* sci_end, int lo, int hi, char* buf) {
  char* o = buf;
  const char* p = sci;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  char digits[24];
  int n = 0;
  for (; p < sci_end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;  // 'e'
  bool exp_neg = *p == '-';
  ++p;
  int e = 0;
  for (; p < sci_end; ++p) e = e * 10 + (*p - '0');
  if (exp_neg) e = -e;

  if (e >= lo && e <= hi) {
    if (e >= 0) {
      int int_digits = e + 1;
      if (n <= int_digits) {
        std::memcpy(o, digits, n);
        o += n;
        for (int i = n; i < int_digits; ++i) *o++ = '0';
        *o++ = '.';
        *o++ = '0';
      } else {
        std::memcpy(o, digits, int_digits);
        o += int_digits;
        *o++ = '.';
        std::memcpy(o, digits + int_digits, n - int_digits);
        o += n - int_digits;
      }
    } else {
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -e - 1; ++i) *o++ = '0';
      std::memcpy(o, digits, n);
      o += n;
    }
    return o;
  }
  *o++ = digits[0];
  if (n > 1) {
    *o++ = '.';
    std::memcpy(o, digits + 1, n - 1);
    o += n - 1;
  }
  *o++ = 'e';
  *o++ = e < 0 ? '-' : '+';
  auto r = std::to_chars(o, o + 8, e < 0 ? -e : e);
  return r.ptr;
}

template <typename F>
void write_float(std::string& out, F v, int lo, int hi) {
  if (!std::isfinite(v)) {
    out.append("null", 4);
    return;
  }
  char sci[40];
  auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  char buf[64];
  char* end = place_digits(sci, r.ptr, lo, hi, buf);
  out.append(buf, end - buf);
}

// ---------------------------------------------------------------- float32

// Shortest digits of a float32, computed directly from its bits: the
// interval of decimals that round back to the float is scaled by a 64-bit
// approximation of a power of five, digits are removed while both ends of
// the interval still differ, and the digit string closest to the exact value
// is kept (ties to even). The tables are exact enough that every float32 gets
// the same digits as to_chars' shortest scientific form; this unit's test
// compares them, and all 2^32 bit patterns were compared once by hand.
namespace f32 {

using u128 = unsigned __int128;

constexpr int kInvBits = 59;  // significant bits of an inverse-power entry
constexpr int kPowBits = 61;  // significant bits of a power entry
constexpr int kInvCount = 31;  // 2^e2 with e2 <= 104 needs 10^-q for q <= 30
constexpr int kPowCount = 48;  // 2^e2 with e2 >= -151 needs 5^i for i <= 47

// ceil(log2(5^e)) for e in [1, 3528]; 1 for e = 0.
constexpr int pow5_bits(int e) { return static_cast<int>((static_cast<uint32_t>(e) * 1217359) >> 19) + 1; }
// floor(log10(2^e)) for e in [0, 1650].
constexpr int log10_pow2(int e) { return static_cast<int>((static_cast<uint32_t>(e) * 78913) >> 18); }
// floor(log10(5^e)) for e in [0, 2620].
constexpr int log10_pow5(int e) { return static_cast<int>((static_cast<uint32_t>(e) * 732923) >> 20); }

constexpr u128 pow5(int e) {
  u128 r = 1;
  for (int i = 0; i < e; ++i) r *= 5;
  return r;
}

struct Tables {
  uint64_t inv[kInvCount];  // floor(2^(pow5_bits(q) - 1 + kInvBits) / 5^q) + 1
  uint64_t pow[kPowCount];  // floor(5^i / 2^(pow5_bits(i) - kPowBits))
};

constexpr Tables make_tables() {
  Tables t{};
  for (int q = 0; q < kInvCount; ++q) {
    const int shift = pow5_bits(q) - 1 + kInvBits;  // at most 128
    // 2^128 does not fit; 5^30 does not divide it, so 2^128 - 1 floors alike.
    const u128 num = shift >= 128 ? ~u128{0} : u128{1} << shift;
    t.inv[q] = static_cast<uint64_t>(num / pow5(q) + 1);
  }
  for (int i = 0; i < kPowCount; ++i) {
    const int shift = pow5_bits(i) - kPowBits;
    t.pow[i] = static_cast<uint64_t>(shift >= 0 ? pow5(i) >> shift : pow5(i) << -shift);
  }
  return t;
}

constexpr Tables kTables = make_tables();

// floor(m * factor / 2^shift) for shift in (32, 96).
inline uint32_t mul_shift(uint32_t m, uint64_t factor, int shift) {
  return static_cast<uint32_t>((u128{m} * factor) >> shift);
}

inline bool multiple_of_pow5(uint32_t v, int p) {
  int count = 0;
  while (v % 5 == 0) {
    v /= 5;
    ++count;
  }
  return count >= p;
}

inline bool multiple_of_pow2(uint32_t v, int p) { return (v & ((1u << p) - 1)) == 0; }

struct Decimal {
  uint32_t digits;  // shortest significand, no trailing zeros needed
  int exp10;        // value = digits * 10^exp10
};

// For a finite, non-zero float32 given as its mantissa and exponent fields.
inline Decimal shortest(uint32_t ieee_m, uint32_t ieee_e) {
  int e2;
  uint32_t m2;
  if (ieee_e == 0) {
    e2 = 1 - 127 - 23 - 2;
    m2 = ieee_m;
  } else {
    e2 = static_cast<int>(ieee_e) - 127 - 23 - 2;
    m2 = (1u << 23) | ieee_m;
  }
  const bool accept_bounds = (m2 & 1) == 0;  // round-half-even reads the ends back

  // The value and the ends of its rounding interval, times 4.
  const uint32_t mv = 4 * m2;
  const uint32_t mp = 4 * m2 + 2;
  const uint32_t mm_shift = ieee_m != 0 || ieee_e <= 1;  // the gap below a power of 2 is half
  const uint32_t mm = 4 * m2 - 1 - mm_shift;

  uint32_t vr, vp, vm;
  int e10;
  bool vm_trailing_zeros = false;
  bool vr_trailing_zeros = false;
  uint32_t last_removed = 0;
  if (e2 >= 0) {
    const int q = log10_pow2(e2);
    e10 = q;
    const int k = kInvBits + pow5_bits(q) - 1;
    const int i = -e2 + q + k;
    vr = mul_shift(mv, kTables.inv[q], i);
    vp = mul_shift(mp, kTables.inv[q], i);
    vm = mul_shift(mm, kTables.inv[q], i);
    if (q != 0 && (vp - 1) / 10 <= vm / 10) {
      // The loop below removes no digit: the one dropped by scaling decides rounding.
      const int l = kInvBits + pow5_bits(q - 1) - 1;
      last_removed = mul_shift(mv, kTables.inv[q - 1], -e2 + q - 1 + l) % 10;
    }
    if (q <= 9) {
      // Only one of mp, mv, mm can be a multiple of 5.
      if (mv % 5 == 0) {
        vr_trailing_zeros = multiple_of_pow5(mv, q);
      } else if (accept_bounds) {
        vm_trailing_zeros = multiple_of_pow5(mm, q);
      } else {
        vp -= multiple_of_pow5(mp, q);
      }
    }
  } else {
    const int q = log10_pow5(-e2);
    e10 = q + e2;
    const int i = -e2 - q;
    const int k = pow5_bits(i) - kPowBits;
    int j = q - k;
    vr = mul_shift(mv, kTables.pow[i], j);
    vp = mul_shift(mp, kTables.pow[i], j);
    vm = mul_shift(mm, kTables.pow[i], j);
    // The digit dropped by scaling, needed when the loop below removes none.
    // Computed always and masked: cheaper than a branch that mispredicts
    // about every other time on real data.
    j = q - 1 - (pow5_bits(i + 1) - kPowBits);
    const uint32_t dropped = mul_shift(mv, kTables.pow[i + 1], j) % 10;
    const bool loop_removes_none = q != 0 && (vp - 1) / 10 <= vm / 10;
    last_removed = dropped & (0u - static_cast<uint32_t>(loop_removes_none));
    if (q <= 1) {
      // mv = 4 * m2 has at least two trailing zero bits.
      vr_trailing_zeros = true;
      if (accept_bounds) {
        vm_trailing_zeros = mm_shift == 1;  // mm = mv - 2: one trailing zero bit
      } else {
        --vp;  // mp = mv + 2: always one trailing zero bit
      }
    } else if (q < 31) {
      vr_trailing_zeros = multiple_of_pow2(mv, q - 1);
    }
  }

  // Remove digits while the interval still holds a shorter decimal.
  int removed = 0;
  uint32_t output;
  if (vm_trailing_zeros || vr_trailing_zeros) {
    // The exact case: rare (small integers, exact fractions).
    while (vp / 10 > vm / 10) {
      vm_trailing_zeros &= vm % 10 == 0;
      vr_trailing_zeros &= last_removed == 0;
      last_removed = vr % 10;
      vr /= 10;
      vp /= 10;
      vm /= 10;
      ++removed;
    }
    if (vm_trailing_zeros) {
      while (vm % 10 == 0) {
        vr_trailing_zeros &= last_removed == 0;
        last_removed = vr % 10;
        vr /= 10;
        vp /= 10;
        vm /= 10;
        ++removed;
      }
    }
    if (vr_trailing_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;  // tie: even
    output = vr + ((vr == vm && (!accept_bounds || !vm_trailing_zeros)) || last_removed >= 5);
  } else {
    while (vp / 10 > vm / 10) {
      last_removed = vr % 10;
      vr /= 10;
      vp /= 10;
      vm /= 10;
      ++removed;
    }
    output = vr + (vr == vm || last_removed >= 5);
  }
  return {output, e10 + removed};
}

// Digits of v < 10^9.
inline int decimal_length(uint32_t v) {
  static constexpr uint32_t kPow10[] = {1,      10,      100,      1000,      10000,
                                        100000, 1000000, 10000000, 100000000, 1000000000};
  const int bits = 32 - std::countl_zero(v | 1);
  const int guess = (bits * 1233) >> 12;  // floor(log10(2^bits)), one short at most
  return guess + (v >= kPow10[guess]);
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes v < 10^9 as exactly nine digits, leading zeros included, at p[0, 9).
inline void put_nine_digits(char* p, uint32_t v) {
  const uint32_t lo = v % 100000000;
  p[0] = static_cast<char>('0' + v / 100000000);
  const uint32_t a = lo / 10000;
  const uint32_t b = lo % 10000;
  std::memcpy(p + 1, kDigitPairs + 2 * (a / 100), 2);
  std::memcpy(p + 3, kDigitPairs + 2 * (a % 100), 2);
  std::memcpy(p + 5, kDigitPairs + 2 * (b / 100), 2);
  std::memcpy(p + 7, kDigitPairs + 2 * (b % 100), 2);
}

}  // namespace f32

}  // namespace

void write_f64(std::string& out, double v) { write_float(out, v, -5, 15); }

void write_f32(std::string& out, float v) {
  char buf[kMaxF32Chars];
  out.append(buf, write_f32(buf, v) - buf);
}

char* write_f32(char* o, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const uint32_t ieee_m = bits & 0x7FFFFF;
  const uint32_t ieee_e = (bits >> 23) & 0xFF;
  if (ieee_e == 0xFF) {  // infinity or NaN
    std::memcpy(o, "null", 4);
    return o + 4;
  }
  // Signs are as likely as not in real data: no branch.
  *o = '-';
  o += bits >> 31;
  if (ieee_e == 0 && ieee_m == 0) {
    std::memcpy(o, "0.0", 3);
    return o + 3;
  }
  const f32::Decimal d = f32::shortest(ieee_m, ieee_e);
  const int n = f32::decimal_length(d.digits);
  const int e = d.exp10 + n - 1;  // decimal exponent of the first digit
  // The digits sit at scratch[8, 8 + n) with zeros on both sides, so every
  // placement is a few copies of fixed size; bytes past the returned end are
  // scratch, inside the kMaxF32Chars of room.
  char scratch[40];
  std::memset(scratch, '0', sizeof scratch);
  f32::put_nine_digits(scratch + n - 1, d.digits);  // its leading zeros land on zeros
  if (e >= -6 && e <= 12) {
    // Plain: the integer part is the digits up to exponent 0 (or one zero),
    // then a point and the rest, at least one digit (a zero for integers).
    // The same copies serve every e in the window: no branch on its value.
    const int lead = std::min(e, 0);
    const int int_len = e - lead + 1;          // 1 to 13
    const int frac_len = std::max(n - 1 - e, 1);  // 1 to 14
    std::memcpy(o, scratch + 8 + lead, 16);
    o[int_len] = '.';
    std::memcpy(o + int_len + 1, scratch + 9 + e, 16);
    return o + int_len + 1 + frac_len;
  }
  // d[.ddd]e±X: the first digit, then the rest after a point.
  o[0] = scratch[8];
  o[1] = '.';
  std::memcpy(o + 2, scratch + 9, 8);
  o += n > 1 ? n + 1 : 1;
  *o++ = 'e';
  *o++ = e < 0 ? '-' : '+';
  const int a = e < 0 ? -e : e;  // at most 45
  if (a >= 10) {
    std::memcpy(o, f32::kDigitPairs + 2 * a, 2);
    return o + 2;
  }
  *o = static_cast<char>('0' + a);
  return o + 1;
}

}  // namespace varnel
