// Little-endian packing of fixed-width integers and float bit patterns, by
// shifts, so the host's byte order never matters.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace varnel {

inline void put_u32_le(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

inline void put_u64_le(unsigned char* p, uint64_t v) {
  put_u32_le(p, static_cast<uint32_t>(v));
  put_u32_le(p + 4, static_cast<uint32_t>(v >> 32));
}

inline uint32_t get_u32_le(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t get_u64_le(const unsigned char* p) {
  return static_cast<uint64_t>(get_u32_le(p)) | static_cast<uint64_t>(get_u32_le(p + 4)) << 32;
}

inline uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

inline float bits_float(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

inline void append_u32_le(std::string& out, uint32_t v) {
  unsigned char b[4];
  put_u32_le(b, v);
  out.append(reinterpret_cast<const char*>(b), 4);
}

inline void append_u64_le(std::string& out, uint64_t v) {
  unsigned char b[8];
  put_u64_le(b, v);
  out.append(reinterpret_cast<const char*>(b), 8);
}

}  // namespace varnel
