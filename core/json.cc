#include "json.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace varnel::json {
namespace {

// ---------------------------------------------------------------- writer

constexpr char kHex[] = "0123456789abcdef";

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
// the same digits as to_chars' shortest scientific form; the writer's test
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

// ---------------------------------------------------------------- UTF-8

// Length of the well-formed UTF-8 sequence that starts at s[i] with a lead
// byte >= 0x80, or 0 when it is not well formed.
size_t utf8_sequence(std::string_view s, size_t i) {
  auto at = [&](size_t k) -> unsigned {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  auto cont = [&](size_t k) { unsigned c = at(k); return c >= 0x80 && c <= 0xBF; };
  unsigned c = at(0);
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned c1 = at(1);
    unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
    unsigned hi = c == 0xED ? 0x9F : 0xBF;
    return c1 >= lo && c1 <= hi && cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned c1 = at(1);
    unsigned lo = c == 0xF0 ? 0x90 : 0x80;
    unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
    return c1 >= lo && c1 <= hi && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

void append_utf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// ---------------------------------------------------------------- values

bool is_container(const Value& v) { return v.is_array() || v.is_object(); }

// Equality of the value itself, and for containers of their kind and size
// only; the elements are compared by the caller.
bool shallow_equal(const Value& a, const Value& b) {
  using T = Value::value_t;
  T ta = a.type();
  T tb = b.type();
  bool ia = ta == T::number_integer || ta == T::number_unsigned;
  bool ib = tb == T::number_integer || tb == T::number_unsigned;
  if (ia && ib) {
    // A signed integer that is not negative stands for the unsigned form.
    if (ta == T::number_integer && tb == T::number_integer) {
      return a.get_ref<const Value::number_integer_t&>() ==
             b.get_ref<const Value::number_integer_t&>();
    }
    auto as_u = [](const Value& v, bool* neg) -> uint64_t {
      if (v.type() == T::number_unsigned) return v.get_ref<const Value::number_unsigned_t&>();
      int64_t i = v.get_ref<const Value::number_integer_t&>();
      *neg = i < 0;
      return static_cast<uint64_t>(i);
    };
    bool na = false;
    bool nb = false;
    uint64_t ua = as_u(a, &na);
    uint64_t ub = as_u(b, &nb);
    return !na && !nb && ua == ub;
  }
  if (ta != tb) return false;
  switch (ta) {
    case T::null:
      return true;
    case T::boolean:
      return a.get_ref<const Value::boolean_t&>() == b.get_ref<const Value::boolean_t&>();
    case T::number_float:
      return a.get_ref<const Value::number_float_t&>() == b.get_ref<const Value::number_float_t&>();
    case T::string:
      return a.get_ref<const Value::string_t&>() == b.get_ref<const Value::string_t&>();
    case T::array:
    case T::object:
      return a.size() == b.size();
    default:
      return a == b;  // binary, discarded: never produced by the reader
  }
}

std::string describe_scalar(const Value& v) {
  using T = Value::value_t;
  std::string s;
  switch (v.type()) {
    case T::null:
      return "null";
    case T::boolean:
      return v.get<bool>() ? "boolean `true`" : "boolean `false`";
    case T::number_unsigned:
      return "integer `" + std::to_string(v.get<uint64_t>()) + "`";
    case T::number_integer:
      return "integer `" + std::to_string(v.get<int64_t>()) + "`";
    case T::number_float:
      s = "floating point `";
      write_f64(s, v.get<double>());
      s += '`';
      return s;
    case T::string:
      s = "string ";
      write_string(s, v.get_ref<const std::string&>());
      return s;
    case T::array:
      return "sequence";
    default:
      return "map";
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ==================================================================== writer

void write_string(std::string& out, std::string_view s) {
  out.push_back('"');
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    char esc[6] = {'\\', 0, 0, 0, 0, 0};
    switch (c) {
      case '"': esc[1] = '"'; break;
      case '\\': esc[1] = '\\'; break;
      case 0x08: esc[1] = 'b'; break;
      case 0x09: esc[1] = 't'; break;
      case 0x0A: esc[1] = 'n'; break;
      case 0x0C: esc[1] = 'f'; break;
      case 0x0D: esc[1] = 'r'; break;
      default:
        esc[1] = 'u';
        esc[2] = '0';
        esc[3] = '0';
        esc[4] = kHex[c >> 4];
        esc[5] = kHex[c & 0xF];
        out.append(esc, 6);
        continue;
    }
    out.append(esc, 2);
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

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

void write_value(std::string& out, const Value& root) {
  using T = Value::value_t;
  // Frames of the containers being written; `first` is true until the first
  // element or member has been written.
  struct Frame {
    const Value* v = nullptr;
    Value::const_iterator it;
    bool first = true;
  };
  detail::SmallStack<Frame, 16> stack;
  const Value* v = &root;
  for (;;) {
    // Write one value; a container opens a frame and its elements follow.
    switch (v->type()) {
      case T::null:
        out.append("null", 4);
        break;
      case T::boolean:
        if (v->get_ref<const Value::boolean_t&>()) {
          out.append("true", 4);
        } else {
          out.append("false", 5);
        }
        break;
      case T::number_unsigned: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v->get_ref<const Value::number_unsigned_t&>());
        out.append(buf, r.ptr - buf);
        break;
      }
      case T::number_integer: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v->get_ref<const Value::number_integer_t&>());
        out.append(buf, r.ptr - buf);
        break;
      }
      case T::number_float:
        write_f64(out, v->get_ref<const Value::number_float_t&>());
        break;
      case T::string:
        write_string(out, v->get_ref<const Value::string_t&>());
        break;
      case T::array:
      case T::object:
        out.push_back(v->is_array() ? '[' : '{');
        stack.push(Frame{v, v->cbegin(), true});
        break;
      default:  // binary and discarded have no text form
        out.append("null", 4);
        break;
    }
    // Find the next value to write, closing finished containers.
    v = nullptr;
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.it == f.v->cend()) {
        out.push_back(f.v->is_array() ? ']' : '}');
        stack.pop();
        continue;
      }
      if (!f.first) out.push_back(',');
      f.first = false;
      if (f.v->is_object()) {
        write_string(out, f.it.key());
        out.push_back(':');
      }
      v = &*f.it;
      ++f.it;
      break;
    }
    if (v == nullptr) return;
  }
}

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t n = utf8_sequence(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string check_writable(const Value& root, size_t depth_used) {
  struct Frame {
    const Value* v = nullptr;
    Value::const_iterator it;
  };
  detail::SmallStack<Frame, 16> stack;
  const Value* v = &root;
  for (;;) {
    if (v->is_string() && !valid_utf8(v->get_ref<const std::string&>())) {
      return "string is not valid UTF-8";
    }
    if (v->is_number_float() && !std::isfinite(v->get_ref<const Value::number_float_t&>())) {
      return "number is not finite";
    }
    if (v->is_binary() || v->is_discarded()) return "value has no JSON form";
    if (is_container(*v)) {
      // The container opened here is level depth_used + depth + 1.
      if (depth_used + 1 >= kMaxDepth) return "nesting too deep";
      ++depth_used;
      stack.push(Frame{v, v->cbegin()});
    }
    v = nullptr;
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.it == f.v->cend()) {
        stack.pop();
        --depth_used;
        continue;
      }
      if (f.v->is_object() && !valid_utf8(f.it.key())) return "key is not valid UTF-8";
      v = &*f.it;
      ++f.it;
      break;
    }
    if (v == nullptr) return {};
  }
}

bool equal(const Value& a, const Value& b) {
  if (!shallow_equal(a, b)) return false;
  if (!is_container(a)) return true;
  struct Frame {
    Value::const_iterator ia, ea, ib;
    bool object = false;
  };
  detail::SmallStack<Frame, 32> stack;
  if (!a.empty()) stack.push(Frame{a.cbegin(), a.cend(), b.cbegin(), a.is_object()});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.ia == f.ea) {
      stack.pop();
      continue;
    }
    if (f.object && f.ia.key() != f.ib.key()) return false;
    const Value& x = *f.ia;
    const Value& y = *f.ib;
    ++f.ia;
    ++f.ib;
    if (!shallow_equal(x, y)) return false;
    if (is_container(x) && !x.empty()) {
      stack.push(Frame{x.cbegin(), x.cend(), y.cbegin(), x.is_object()});
    }
  }
  return true;
}

// ==================================================================== reader

bool Reader::fail_at(std::string_view body, size_t end) {
  if (failed_) return false;
  failed_ = true;
  if (end > text_.size()) end = text_.size();
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < end; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  error_.assign(body);
  error_ += " at line ";
  error_ += std::to_string(line);
  error_ += " column ";
  error_ += std::to_string(end - line_start);
  return false;
}

void Reader::skip_ws() {
  while (pos_ < text_.size()) {
    char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++pos_;
  }
}

Reader::Next Reader::peek() {
  skip_ws();
  if (pos_ >= text_.size()) return Next::kEnd;
  switch (text_[pos_]) {
    case 'n':
      return Next::kNull;
    case 't':
    case 'f':
      return Next::kBool;
    case '"':
      return Next::kString;
    case '[':
      return Next::kArray;
    case '{':
      return Next::kObject;
    case '-':
      return Next::kNumber;
    default:
      return is_digit(text_[pos_]) ? Next::kNumber : Next::kInvalid;
  }
}

bool Reader::expect_value(Next next) {
  if (next == Next::kEnd) return fail("EOF while parsing a value");
  if (next == Next::kInvalid) return fail_at("expected value", pos_ + 1);
  return true;
}

bool Reader::enter(size_t open_at) {
  if (depth_ + 1 >= kMaxDepth) return fail_at("recursion limit exceeded", open_at + 1);
  ++depth_;
  first_[depth_] = true;
  pos_ = open_at + 1;
  return true;
}

bool Reader::parse_literal(std::string_view word) {
  for (char c : word) {
    if (pos_ >= text_.size()) return fail("EOF while parsing a value");
    if (text_[pos_] != c) return fail_at("expected value", pos_ + 1);
    ++pos_;
  }
  return true;
}

bool Reader::parse_string(std::string* out) {
  if (out) out->clear();
  const size_t n = text_.size();
  for (;;) {
    size_t run = pos_;
    while (pos_ < n) {
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) break;
      ++pos_;
    }
    if (out) out->append(text_.data() + run, pos_ - run);
    if (pos_ >= n) return fail("EOF while parsing a string");
    unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c < 0x20) {
      return fail_at("control character (\\u0000-\\u001F) found while parsing a string", pos_ + 1);
    }
    if (c >= 0x80) {
      size_t len = utf8_sequence(text_, pos_);
      if (len == 0) return fail_at("invalid unicode code point", pos_ + 1);
      if (out) out->append(text_.data() + pos_, len);
      pos_ += len;
      continue;
    }
    // A backslash escape.
    ++pos_;
    if (pos_ >= n) return fail("EOF while parsing a string");
    char e = text_[pos_++];
    char plain = 0;
    switch (e) {
      case '"': plain = '"'; break;
      case '\\': plain = '\\'; break;
      case '/': plain = '/'; break;
      case 'b': plain = '\b'; break;
      case 'f': plain = '\f'; break;
      case 'n': plain = '\n'; break;
      case 'r': plain = '\r'; break;
      case 't': plain = '\t'; break;
      case 'u': break;
      default:
        return fail("invalid escape");
    }
    if (e != 'u') {
      if (out) out->push_back(plain);
      continue;
    }
    auto hex4 = [&](uint32_t* cp) {
      *cp = 0;
      for (int i = 0; i < 4; ++i) {
        if (pos_ >= n) return fail("EOF while parsing a string");
        int h = hex_value(text_[pos_++]);
        if (h < 0) return fail("invalid escape");
        *cp = *cp << 4 | static_cast<uint32_t>(h);
      }
      return true;
    };
    uint32_t cp = 0;
    if (!hex4(&cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone leading surrogate in hex escape");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A leading surrogate must be followed by an escaped trailing one.
      if (pos_ >= n) return fail("EOF while parsing a string");
      if (text_[pos_] != '\\') return fail_at("lone leading surrogate in hex escape", pos_ + 1);
      if (pos_ + 1 >= n) return fail_at("EOF while parsing a string", n);
      if (text_[pos_ + 1] != 'u') return fail_at("lone leading surrogate in hex escape", pos_ + 2);
      pos_ += 2;
      uint32_t low = 0;
      if (!hex4(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    if (out) append_utf8(out, cp);
  }
}

bool Reader::scan_number(bool* is_float) {
  const size_t n = text_.size();
  *is_float = false;
  if (text_[pos_] == '-') {
    ++pos_;
    if (pos_ >= n) return fail("EOF while parsing a value");
  }
  if (text_[pos_] == '0') {
    ++pos_;
    if (pos_ < n && is_digit(text_[pos_])) return fail_at("invalid number", pos_ + 1);
  } else if (is_digit(text_[pos_])) {
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  } else {
    return fail_at("invalid number", pos_ + 1);
  }
  if (pos_ < n && text_[pos_] == '.') {
    *is_float = true;
    ++pos_;
    if (pos_ >= n) return fail("EOF while parsing a value");
    if (!is_digit(text_[pos_])) return fail_at("invalid number", pos_ + 1);
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  }
  if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    *is_float = true;
    ++pos_;
    if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (pos_ >= n) return fail("EOF while parsing a value");
    if (!is_digit(text_[pos_])) return fail_at("invalid number", pos_ + 1);
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  }
  return true;
}

bool Reader::to_double(size_t start, double* out) {
  const char* first = text_.data() + start;
  const char* last = text_.data() + pos_;
  auto r = std::from_chars(first, last, *out);
  if (r.ec == std::errc() && std::isfinite(*out)) return true;
  // Out of range either way. Tell overflow from underflow by the decimal
  // exponent of the first non-zero digit (the text has one, or the value
  // would have been zero): a huge value is refused, a tiny one becomes 0.
  const char* p = first;
  bool neg = *p == '-';
  if (neg) ++p;
  long long idx = 0;       // digits of the mantissa seen so far
  long long point = -1;    // digits before the decimal point
  long long first_nz = -1; // index of the first non-zero digit
  for (; p < last && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      point = idx;
      continue;
    }
    if (first_nz < 0 && *p != '0') first_nz = idx;
    ++idx;
  }
  if (point < 0) point = idx;
  long long lead = first_nz < 0 ? -1 : point - 1 - first_nz;
  long long exp = 0;
  if (p < last) {
    ++p;
    bool eneg = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    for (; p < last; ++p) {
      if (exp < 1000000000) exp = exp * 10 + (*p - '0');
    }
    if (eneg) exp = -exp;
  }
  if (lead + exp >= 0) return fail("number out of range");
  *out = neg ? -0.0 : 0.0;
  return true;
}

bool Reader::parse_number(Value* out) {
  size_t start = pos_;
  bool is_float = false;
  if (!scan_number(&is_float)) return false;
  if (!is_float) {
    bool neg = text_[start] == '-';
    uint64_t mag = 0;
    bool overflow = false;
    for (size_t i = start + (neg ? 1 : 0); i < pos_; ++i) {
      if (__builtin_mul_overflow(mag, uint64_t{10}, &mag) ||
          __builtin_add_overflow(mag, static_cast<uint64_t>(text_[i] - '0'), &mag)) {
        overflow = true;
        break;
      }
    }
    if (!overflow) {
      if (!neg) {
        *out = static_cast<Value::number_unsigned_t>(mag);
        return true;
      }
      if (mag != 0 && mag <= uint64_t{1} << 63) {
        *out = static_cast<Value::number_integer_t>(-static_cast<int64_t>(mag - 1) - 1);
        return true;
      }
      // -0 has no signed integer form: it stays a float and keeps its sign.
    }
  }
  double d = 0;
  if (!to_double(start, &d)) return false;
  *out = static_cast<Value::number_float_t>(d);
  return true;
}

bool Reader::parse_any(Value* out) {
  if (failed_) return false;
  Next next = peek();
  switch (next) {
    case Next::kEnd:
    case Next::kInvalid:
      return expect_value(next);
    case Next::kNull:
      if (!parse_literal("null")) return false;
      if (out) *out = nullptr;
      return true;
    case Next::kBool: {
      bool t = text_[pos_] == 't';
      if (!parse_literal(t ? "true" : "false")) return false;
      if (out) *out = t;
      return true;
    }
    case Next::kNumber: {
      Value v;
      if (!parse_number(&v)) return false;
      if (out) *out = std::move(v);
      return true;
    }
    case Next::kString:
      ++pos_;
      if (!out) return parse_string(nullptr);
      *out = Value::string_t();
      return parse_string(&out->get_ref<Value::string_t&>());
    case Next::kArray: {
      if (!enter(pos_)) return false;
      Value::array_t* arr = nullptr;
      if (out) {
        *out = Value::array();
        arr = &out->get_ref<Value::array_t&>();
      }
      // Nesting is bounded by kMaxDepth, so this recursion is too.
      while (next_element()) {
        if (arr) {
          arr->emplace_back();
          if (!parse_any(&arr->back())) return false;
        } else if (!parse_any(nullptr)) {
          return false;
        }
      }
      return !failed_;
    }
    case Next::kObject: {
      if (!enter(pos_)) return false;
      Value::object_t* obj = nullptr;
      if (out) {
        *out = Value::object();
        obj = &out->get_ref<Value::object_t&>();
      }
      std::string key;
      while (next_key(&key)) {
        // A repeated key: the last occurrence wins.
        if (!parse_any(obj ? &(*obj)[key] : nullptr)) return false;
      }
      return !failed_;
    }
  }
  return false;
}

bool Reader::read_value(Value* out) { return parse_any(out); }

bool Reader::skip_value() { return parse_any(nullptr); }

bool Reader::fail_invalid_type(std::string_view expected) {
  if (failed_) return false;
  Next next = peek();
  if (!expect_value(next)) return false;
  std::string what;
  if (next == Next::kArray || next == Next::kObject) {
    what = next == Next::kArray ? "sequence" : "map";
    ++pos_;
  } else {
    Value v;
    if (!parse_any(&v)) return false;
    what = describe_scalar(v);
  }
  std::string body = "invalid type: ";
  body += what;
  body += ", expected ";
  body += expected;
  return fail(body);
}

bool Reader::read_u64(uint64_t* out, std::string_view expected) {
  if (failed_) return false;
  Next next = peek();
  if (next != Next::kNumber) return fail_invalid_type(expected);
  Value v;
  if (!parse_number(&v)) return false;
  if (v.is_number_unsigned()) {
    *out = v.get<uint64_t>();
    return true;
  }
  std::string body = v.is_number_integer() ? "invalid value: " : "invalid type: ";
  body += describe_scalar(v);
  body += ", expected ";
  body += expected;
  return fail(body);
}

bool Reader::read_string(std::string* out, std::string_view expected) {
  if (failed_) return false;
  if (peek() != Next::kString) return fail_invalid_type(expected);
  ++pos_;
  return parse_string(out);
}

bool Reader::read_null(std::string_view expected) {
  if (failed_) return false;
  if (peek() != Next::kNull) return fail_invalid_type(expected);
  return parse_literal("null");
}

bool Reader::read_f32_array(std::vector<float>* out) {
  out->clear();
  if (!begin_array("a sequence")) return false;
  while (next_element()) {
    if (peek() != Next::kNumber) return fail_invalid_type("f32");
    size_t start = pos_;
    bool is_float = false;
    double d = 0;
    if (!scan_number(&is_float) || !to_double(start, &d)) return false;
    out->push_back(static_cast<float>(d));
  }
  return !failed_;
}

bool Reader::end_object_now() {
  skip_ws();
  if (pos_ >= text_.size()) return fail("EOF while parsing an object");
  if (text_[pos_] != '}') return fail_at("expected `}`", pos_ + 1);
  ++pos_;
  --depth_;
  return true;
}

bool Reader::read_variant(std::span<const std::string_view> names, std::string_view what,
                          size_t* index) {
  if (failed_) return false;
  Next next = peek();
  bool object_form = next == Next::kObject;
  if (object_form) {
    if (!begin_object(what)) return false;
    if (!next_key(&scratch_)) {
      // An empty object names no variant.
      return failed_ ? false : fail("invalid length 0, expected map with a single key");
    }
  } else if (next == Next::kString) {
    ++pos_;
    if (!parse_string(&scratch_)) return false;
  } else {
    return fail_invalid_type(what);
  }
  size_t found = names.size();
  for (size_t i = 0; i < names.size(); ++i) {
    if (scratch_ == names[i]) found = i;
  }
  if (found == names.size()) {
    std::string body = "unknown variant `";
    body += scratch_;
    body += "`, expected ";
    body += names.size() == 1 ? "" : "one of ";
    for (size_t i = 0; i < names.size(); ++i) {
      if (i) body += ", ";
      body += '`';
      body += names[i];
      body += '`';
    }
    return fail(body);
  }
  if (object_form && (!read_null("unit") || !end_object_now())) return false;
  *index = found;
  return true;
}

bool Reader::begin_object(std::string_view expected) {
  if (failed_) return false;
  Next next = peek();
  if (next != Next::kObject) return fail_invalid_type(expected);
  return enter(pos_);
}

bool Reader::begin_array(std::string_view expected) {
  if (failed_) return false;
  Next next = peek();
  if (next != Next::kArray) return fail_invalid_type(expected);
  return enter(pos_);
}

bool Reader::next_key(std::string* key) {
  if (failed_) return false;
  skip_ws();
  const size_t n = text_.size();
  if (pos_ >= n) return fail("EOF while parsing an object");
  if (text_[pos_] == '}') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first_[depth_]) {
    first_[depth_] = false;
  } else {
    if (text_[pos_] != ',') return fail_at("expected `,` or `}`", pos_ + 1);
    ++pos_;
    skip_ws();
    if (pos_ >= n) return fail("EOF while parsing a value");
    if (text_[pos_] == '}') return fail_at("trailing comma", pos_ + 1);
  }
  if (text_[pos_] != '"') return fail_at("key must be a string", pos_ + 1);
  ++pos_;
  if (!parse_string(key)) return false;
  skip_ws();
  if (pos_ >= n) return fail("EOF while parsing an object");
  if (text_[pos_] != ':') return fail_at("expected `:`", pos_ + 1);
  ++pos_;
  return true;
}

bool Reader::next_element() {
  if (failed_) return false;
  skip_ws();
  const size_t n = text_.size();
  if (pos_ >= n) return fail("EOF while parsing a list");
  if (text_[pos_] == ']') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first_[depth_]) {
    first_[depth_] = false;
    return true;
  }
  if (text_[pos_] != ',') return fail_at("expected `,` or `]`", pos_ + 1);
  ++pos_;
  skip_ws();
  if (pos_ >= n) return fail("EOF while parsing a value");
  if (text_[pos_] == ']') return fail_at("trailing comma", pos_ + 1);
  return true;
}

bool Reader::finish() {
  if (failed_) return false;
  skip_ws();
  if (pos_ < text_.size()) return fail_at("trailing characters", pos_ + 1);
  return true;
}

// ============================================================== StructReader

int StructReader::next_field() {
  if (r_.failed()) return -1;
  const size_t k = fields_.size();
  if (state_ == State::kStart) {
    Reader::Next next = r_.peek();
    std::string expected = "struct ";
    expected += name_;
    if (next == Reader::Next::kObject) {
      if (!r_.begin_object(expected)) return -1;
      state_ = State::kObject;
    } else if (next == Reader::Next::kArray) {
      if (!r_.begin_array(expected)) return -1;
      state_ = State::kArray;
    } else {
      r_.fail_invalid_type(expected);
      return -1;
    }
  }
  if (state_ == State::kObject) {
    while (r_.next_key(&key_)) {
      size_t i = 0;
      while (i < k && key_ != fields_[i]) ++i;
      if (i == k) {
        // Members with other names are read and ignored.
        if (!r_.skip_value()) return -1;
        continue;
      }
      if (seen_ >> i & 1) {
        r_.fail("duplicate field `" + key_ + "`");
        return -1;
      }
      seen_ |= uint64_t{1} << i;
      return static_cast<int>(i);
    }
    if (r_.failed()) return -1;
    state_ = State::kDone;
    for (size_t i = 0; i < k; ++i) {
      if (!(seen_ >> i & 1)) {
        r_.fail("missing field `" + std::string(fields_[i]) + "`");
        return -1;
      }
    }
    return -1;
  }
  if (state_ == State::kArray) {
    if (r_.next_element()) {
      if (count_ == k) {
        r_.fail_at("trailing characters", r_.position() + 1);
        return -1;
      }
      return static_cast<int>(count_++);
    }
    if (r_.failed()) return -1;
    state_ = State::kDone;
    if (count_ < k) {
      std::string body = "invalid length " + std::to_string(count_) + ", expected struct ";
      body += name_;
      body += " with " + std::to_string(k) + (k == 1 ? " element" : " elements");
      r_.fail(body);
    }
    return -1;
  }
  return -1;
}

}  // namespace varnel::json
