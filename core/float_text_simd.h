// Many float32 values as comma-separated shortest texts at once: the text of
// each value is exactly json::write_f32's, so a log entry's vector array is
// the same bytes on every CPU and every path. The wide paths take 16 (AVX-512)
// or 8 (AVX2) components per step; the portable path is json::write_f32 in a
// loop and is the reference the others match for every bit pattern.
// Nothing here allocates, fails or keeps state beyond the CPU check.
#pragma once

#include <cstddef>
#include <cstdint>

// Not json.h: the wide paths include this header, and no inline code of
// another unit may be compiled with their instruction sets.
#include "distance.h"  // KernelPath

namespace varnel {

// Writes v[0], ..., v[n-1] as json::write_f32 texts separated by single
// commas (no brackets, no trailing comma) at `out`, which has room for
// n * json::kMaxF32Chars bytes; gives the end of the text (`out` when n = 0).
// Bytes after the end, inside the room, may have been overwritten. Uses the
// widest path this CPU supports.
char* write_f32_list(char* out, const float* v, size_t n);

// The same on a chosen path (for tests and benchmarks); an unsupported path
// quietly runs the portable one.
char* write_f32_list(KernelPath path, char* out, const float* v, size_t n);

// Whether this build and this CPU can run `path` for float text: AVX2 wants
// AVX2; AVX-512 wants AVX-512F and AVX-512BW (the byte and word forms).
bool f32_text_path_supported(KernelPath path);

namespace detail {

// Shared by the wide paths, computed at compile time in float_text_simd.cc.
inline constexpr int kF32Pow10Min = -45;  // decimal exponents k in [-45, 31]
inline constexpr int kF32Pow10Count = 77;

// Text layouts. A lane's 16 source bytes are
//   0-7   the second to ninth significant digits ('0' where there are none)
//   8     the first digit     9 '0'     10 '.'     11 'e'
//   12    the exponent's sign ('-' or '+')     13-14 the exponent's two digits
// ("null" at 8-11 for a NaN or infinity). A layout is the byte shuffle that
// picks the unsigned text out of them (at most 16 bytes) and its length.
// Layout key: 9 * form + (digits - 1) with form e + 6 for a plain decimal of
// first-digit exponent e in [-6, 12], 19 for d[.ddd]e±X with one exponent
// digit, 20 with two; then kF32ZeroLayout and kF32NullLayout.
inline constexpr int kF32ZeroLayout = 189;
inline constexpr int kF32NullLayout = 190;
inline constexpr int kF32LayoutCount = 191;

struct alignas(16) F32Layout {
  uint8_t shuffle[16];
};

// Every 32-bit constant the wide paths use, each kept as a vector of 16
// copies in F32Tables::splat. Loaded from this unit's tables, they stay
// memory operands; a constant the compiler knows it rebuilds from an
// immediate at each use, on the port the paths need most.
inline constexpr uint32_t kF32SplatValues[] = {
    // small numbers and powers of ten
    0, 1, 2, 3, 4, 6, 8, 9, 10, 13, 19, 20, 33, 40, 45, 150, 205, 255, 0xFFFFFFF9 /* -7 */,
    100, 1000, 10000, 100000, 1000000, 10000000, 100000000,
    // multipliers: logarithms, quotients
    5243, 315653, 631305, 261663, 1741647, 3435973837u, 3518437209u,
    // bit masks and text bytes
    0x7FFFFF, 0x800000, 0x7FFFFFFF, 0xFFFFFFFC, 0x30303030, 0x30302B, 0x652E3030, 0x6C6C756E,
    kF32ZeroLayout, kF32NullLayout,
    // 16-bit multipliers, in both halves of a 32-bit lane: 100, 10, 5243, 6554
    0x00640064, 0x000A000A, 0x147B147B, 0x199A199A};
inline constexpr int kF32SplatCount = sizeof(kF32SplatValues) / sizeof(kF32SplatValues[0]);

// Index of x in kF32SplatValues, or -1.
constexpr int f32_splat_index(uint32_t x) {
  for (int i = 0; i < kF32SplatCount; ++i) {
    if (kF32SplatValues[i] == x) return i;
  }
  return -1;
}

struct F32Tables {
  // Upper 64-bit approximations of powers of ten: pow10[k - kF32Pow10Min] =
  // floor(10^-k * 2^(62 - f)) + 1 with f = floor(-k * log2 10), in [2^62, 2^63).
  uint64_t pow10[kF32Pow10Count];
  F32Layout layout[kF32LayoutCount];
  uint8_t length[kF32LayoutCount];  // bytes of text a layout gives
  alignas(64) uint32_t splat[kF32SplatCount][16];  // kF32SplatValues, 16 copies each
};
extern const F32Tables kF32Tables;

// The wide writers; nullptr when the build has no such path.
using F32ListWriter = char* (*)(char* out, const float* v, size_t n);
F32ListWriter avx2_f32_list_writer();
F32ListWriter avx512_f32_list_writer();

}  // namespace detail

}  // namespace varnel
