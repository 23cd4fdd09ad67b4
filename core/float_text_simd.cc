#include "float_text_simd.h"

#include "json.h"

namespace varnel {
namespace detail {
namespace {

using u128 = unsigned __int128;

// floor(m * log2 10) for |m| <= 1233; the kernels compute the same.
constexpr int floor_log2_pow10(int m) { return (m * 1741647) >> 19; }

constexpr uint64_t pow10_entry(int k) {
  const int m = -k;
  const int f = floor_log2_pow10(m);
  if (m >= 0) {
    // 10^m * 2^(62 - f) = 5^m * 2^(m + 62 - f); 5^45 fits 128 bits.
    u128 p = 1;
    for (int i = 0; i < m; ++i) p *= 5;
    const int shift = m + 62 - f;
    const u128 v = shift >= 0 ? p << shift : p >> -shift;
    return static_cast<uint64_t>(v) + 1;
  }
  // 2^(62 - f + m) / 5^-m by long division, one bit at a time: the
  // dividend reaches 2^135, the remainder stays below 2 * 5^31 < 2^74.
  u128 divisor = 1;
  for (int i = 0; i < -m; ++i) divisor *= 5;
  const int a = 62 - f + m;
  u128 rem = 0;
  uint64_t quot = 0;
  for (int bit = a; bit >= 0; --bit) {
    rem = rem * 2 + (bit == a ? 1 : 0);
    quot *= 2;
    if (rem >= divisor) {
      rem -= divisor;
      quot |= 1;
    }
  }
  return quot + 1;
}

// Source byte positions; see the layout comment in the header.
constexpr uint8_t kZero = 9;
constexpr uint8_t kPoint = 10;
constexpr uint8_t kE = 11;
constexpr uint8_t kExpSign = 12;
constexpr uint8_t kExpTens = 13;
constexpr uint8_t kExpOnes = 14;

// Source byte of significant digit j (0 = first) of a text with n digits.
constexpr uint8_t digit_at(int j, int n) {
  if (j >= n) return kZero;
  return static_cast<uint8_t>(j == 0 ? 8 : j - 1);
}

constexpr F32Tables make_tables() {
  F32Tables t{};
  for (int i = 0; i < kF32Pow10Count; ++i) t.pow10[i] = pow10_entry(kF32Pow10Min + i);
  auto set = [&](int key, const uint8_t* bytes, int len) {
    for (int i = 0; i < 16; ++i) t.layout[key].shuffle[i] = i < len ? bytes[i] : 0x80;
    t.length[key] = static_cast<uint8_t>(len);
  };
  for (int form = 0; form < 21; ++form) {
    for (int n = 1; n <= 9; ++n) {
      uint8_t b[16] = {};
      int len = 0;
      if (form <= 18) {
        const int e = form - 6;
        if (e >= 0) {
          // The digits up to exponent 0 (zeros past the last), a point, then
          // the rest or a single zero.
          for (int j = 0; j <= e; ++j) b[len++] = digit_at(j, n);
          b[len++] = kPoint;
          if (n - 1 > e) {
            for (int j = e + 1; j < n; ++j) b[len++] = digit_at(j, n);
          } else {
            b[len++] = kZero;
          }
        } else {
          b[len++] = kZero;
          b[len++] = kPoint;
          for (int j = 0; j < -e - 1; ++j) b[len++] = kZero;
          for (int j = 0; j < n; ++j) b[len++] = digit_at(j, n);
        }
      } else {
        b[len++] = digit_at(0, n);
        if (n > 1) {
          b[len++] = kPoint;
          for (int j = 1; j < n; ++j) b[len++] = digit_at(j, n);
        }
        b[len++] = kE;
        b[len++] = kExpSign;
        if (form == 20) b[len++] = kExpTens;
        b[len++] = kExpOnes;
      }
      set(9 * form + n - 1, b, len);
    }
  }
  for (int i = 0; i < kF32SplatCount; ++i) {
    for (uint32_t& x : t.splat[i]) x = kF32SplatValues[i];
  }
  const uint8_t zero[] = {kZero, kPoint, kZero};
  set(kF32ZeroLayout, zero, 3);
  const uint8_t null[] = {8, 9, 10, 11};
  set(kF32NullLayout, null, 4);
  return t;
}

constexpr bool pow10_normalized(const F32Tables& t) {
  for (uint64_t g : t.pow10) {
    if (g >> 62 != 1) return false;
  }
  return true;
}

constexpr F32Tables kTables = make_tables();
// f is the exact binary exponent of every power, so each entry has 63 bits.
static_assert(pow10_normalized(kTables));
static_assert(kTables.pow10[-kF32Pow10Min] == (uint64_t{1} << 62) + 1);  // 10^0
// The longest texts: "0.00000123456789" (form 0) and "1234567890000.0" (form 18).
static_assert(kTables.length[8] == 16 && kTables.length[9 * 18 + 8] == 15);

}  // namespace

constinit const F32Tables kF32Tables = kTables;

}  // namespace detail

namespace {

char* portable_list(char* o, const float* v, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    o = json::write_f32(o, v[i]);
    *o++ = ',';
  }
  return n > 0 ? o - 1 : o;
}

detail::F32ListWriter wide_writer(KernelPath path) {
  switch (path) {
    case KernelPath::Portable:
      return nullptr;
    case KernelPath::Avx2:
      return detail::avx2_f32_list_writer();
    case KernelPath::Avx512:
      return detail::avx512_f32_list_writer();
  }
  return nullptr;
}

bool cpu_has(KernelPath path) {
#if defined(__x86_64__) || defined(__i386__)
  // The builtins also check that the OS saves the wide registers.
  __builtin_cpu_init();
  switch (path) {
    case KernelPath::Portable:
      return true;
    case KernelPath::Avx2:
      return wide_writer(path) != nullptr && __builtin_cpu_supports("avx2");
    case KernelPath::Avx512:
      return wide_writer(path) != nullptr && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw");
  }
  return false;
#else
  return path == KernelPath::Portable;
#endif
}

detail::F32ListWriter detect_best() {
  for (KernelPath path : {KernelPath::Avx512, KernelPath::Avx2}) {
    if (cpu_has(path)) return wide_writer(path);
  }
  return portable_list;
}

}  // namespace

bool f32_text_path_supported(KernelPath path) { return cpu_has(path); }

char* write_f32_list(char* out, const float* v, size_t n) {
  static const detail::F32ListWriter best = detect_best();
  return best(out, v, n);
}

char* write_f32_list(KernelPath path, char* out, const float* v, size_t n) {
  detail::F32ListWriter w = cpu_has(path) ? wide_writer(path) : nullptr;
  return w != nullptr ? w(out, v, n) : portable_list(out, v, n);
}

}  // namespace varnel
