// Shortest round-trip text of float64 and float32 values: the fewest
// significant digits that read back as the same value, placed as a plain
// decimal inside a window of decimal exponents and as d[.ddd]e±X outside it.
// It is the number form of every float the JSON writer emits and of every
// log entry's vector component. Reading numbers back is the JSON reader's job.
#pragma once

#include <cstddef>
#include <string>

namespace varnel {

// Shortest round-trip digits placed by the decimal exponent E of the first
// digit: plain decimal with at least one fractional digit for E in [-5, 15],
// otherwise d[.ddd]e±X. 0.0 and -0.0 keep their sign; non-finite gives null.
void write_f64(std::string& out, double v);

// As write_f64 with float32 shortest digits and the plain window E in
// [-6, 12]. Allocation-free apart from growing `out`.
void write_f32(std::string& out, float v);

// The longest text write_f32 gives is 17 bytes ("-0.00000123456789";
// "-1.2345678e-45" has 14), but it may use up to kMaxF32Chars bytes of room
// as scratch: callers leave that much.
inline constexpr size_t kMaxF32Chars = 32;
// write_f32 into `out`, which has room for kMaxF32Chars bytes; gives the end
// of the text. Bytes after the end may have been overwritten.
char* write_f32(char* out, float v);

}  // namespace varnel
