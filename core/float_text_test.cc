#include "float_text.h"

#include <gtest/gtest.h>

#include <bitset>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json.h"  // the reader, for reading texts back

namespace varnel {
namespace {

std::string f64(double v) {
  std::string s;
  write_f64(s, v);
  return s;
}

std::string f32(float v) {
  std::string s;
  write_f32(s, v);
  return s;
}
struct FloatCase {
  double value;
  const char* text;
};

class WriteF64 : public ::testing::TestWithParam<FloatCase> {};

TEST_P(WriteF64, PlacesShortestDigits) {
  EXPECT_EQ(f64(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteF64,
    ::testing::Values(
        FloatCase{2.0, "2.0"}, FloatCase{100.0, "100.0"}, FloatCase{12.5, "12.5"},
        FloatCase{0.001, "0.001"}, FloatCase{0.00001, "0.00001"},       // E = -5: plain
        FloatCase{0.000001, "1e-6"}, FloatCase{0.0000015, "1.5e-6"},    // E = -6: scientific
        FloatCase{0.000012345, "0.000012345"},
        FloatCase{1e15, "1000000000000000.0"},                          // E = 15: plain
        FloatCase{999999999999999.9, "999999999999999.9"},
        FloatCase{1e16, "1e+16"}, FloatCase{1.5e16, "1.5e+16"},        // E = 16: scientific
        FloatCase{9007199254740993.0, "9007199254740992.0"},
        FloatCase{123456789012345680.0, "1.2345678901234568e+17"},
        FloatCase{DBL_MAX, "1.7976931348623157e+308"},
        FloatCase{-DBL_MAX, "-1.7976931348623157e+308"},
        FloatCase{DBL_MIN, "2.2250738585072014e-308"},
        FloatCase{5e-324, "5e-324"},                                     // smallest denormal
        FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{-1.5, "-1.5"},
        FloatCase{0.1, "0.1"}, FloatCase{0.3, "0.3"}, FloatCase{1.0 / 3, "0.3333333333333333"},
        FloatCase{1e39, "1e+39"}, FloatCase{1e100, "1e+100"}, FloatCase{-2.5e-300, "-2.5e-300"},
        FloatCase{static_cast<double>(0.1f), "0.10000000149011612"},
        FloatCase{std::numeric_limits<double>::infinity(), "null"},
        FloatCase{-std::numeric_limits<double>::infinity(), "null"},
        FloatCase{std::numeric_limits<double>::quiet_NaN(), "null"}));

struct Float32Case {
  float value;
  const char* text;
};

class WriteF32 : public ::testing::TestWithParam<Float32Case> {};

TEST_P(WriteF32, PlacesShortestFloat32Digits) {
  EXPECT_EQ(f32(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteF32,
    ::testing::Values(
        Float32Case{1.0f, "1.0"}, Float32Case{100.0f, "100.0"}, Float32Case{0.5f, "0.5"},
        Float32Case{-1.0f, "-1.0"},
        Float32Case{0.000001f, "0.000001"},                     // E = -6: plain
        Float32Case{0.0000015f, "0.0000015"},
        Float32Case{1e-7f, "1e-7"}, Float32Case{1.5e-7f, "1.5e-7"},  // E = -7: scientific
        Float32Case{1e12f, "1000000000000.0"},                  // E = 12: plain
        Float32Case{1e13f, "1e+13"}, Float32Case{1.5e20f, "1.5e+20"},
        Float32Case{0.1f, "0.1"}, Float32Case{1.0f / 3, "0.33333334"},
        Float32Case{16777217.0f, "16777216.0"},
        Float32Case{FLT_MAX, "3.4028235e+38"}, Float32Case{FLT_MIN, "1.1754944e-38"},
        Float32Case{FLT_TRUE_MIN, "1e-45"},
        Float32Case{0.0f, "0.0"}, Float32Case{-0.0f, "-0.0"},
        Float32Case{std::numeric_limits<float>::infinity(), "null"},
        Float32Case{std::numeric_limits<float>::quiet_NaN(), "null"}));

TEST(WriteF32, EveryDigitStringReadsBackAsTheSameFloat) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> bits;
  for (int i = 0; i < 20000; ++i) {
    uint32_t b = bits(rng);
    float v;
    std::memcpy(&v, &b, sizeof v);
    if (!std::isfinite(v)) continue;
    std::string text = f32(v);
    std::vector<float> back;
    std::string arr = "[" + text + "]";
    json::Reader ra(arr);
    ASSERT_TRUE(ra.read_f32_array(&back) && ra.finish()) << text;
    ASSERT_EQ(back.size(), 1u);
    uint32_t got;
    std::memcpy(&got, &back[0], sizeof got);
    EXPECT_EQ(got, b) << text;
  }
}

// The float32 writer must match, byte for byte, the text built from
// to_chars' shortest scientific form by moving its digits into place. This
// is that construction, kept here as the reference.
std::string reference_f32(float v) {
  if (!std::isfinite(v)) return "null";
  char sci[40];
  auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  std::string_view t(sci, r.ptr - sci);
  std::string out;
  if (t.front() == '-') {
    out += '-';
    t.remove_prefix(1);
  }
  const size_t epos = t.find('e');
  std::string digits;
  for (char c : t.substr(0, epos)) {
    if (c != '.') digits += c;
  }
  const int e = std::stoi(std::string(t.substr(epos + 1)));
  const int n = static_cast<int>(digits.size());
  if (e >= 0 && e <= 12) {
    if (n <= e + 1) {
      out.append(digits).append(e + 1 - n, '0').append(".0");
    } else {
      out.append(digits, 0, e + 1).append(".").append(digits, e + 1);
    }
    return out;
  }
  if (e < 0 && e >= -6) {
    out.append("0.").append(-e - 1, '0').append(digits);
    return out;
  }
  out += digits[0];
  if (n > 1) out.append(".").append(digits, 1);
  out.append(e < 0 ? "e-" : "e+").append(std::to_string(e < 0 ? -e : e));
  return out;
}

float from_bits(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

// Both forms of the writer against the reference; the pointer form stays
// inside its stated room and its text inside 17 bytes.
void expect_matches_reference(float v) {
  const std::string want = reference_f32(v);
  char buf[kMaxF32Chars + 8];
  std::memset(buf, '#', sizeof buf);
  char* end = write_f32(buf, v);
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  ASSERT_EQ(std::string(buf, end), want) << "bits 0x" << std::hex << b;
  ASSERT_LE(end - buf, 17) << want;
  for (size_t i = kMaxF32Chars; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#') << "wrote past the room";
  ASSERT_EQ(f32(v), want);
}

class WriteF32MatchesReference : public ::testing::TestWithParam<float> {};

TEST_P(WriteF32MatchesReference, OnEdgeCases) {
  const float v = GetParam();
  expect_matches_reference(v);
  expect_matches_reference(-v);
  if (std::isfinite(v) && v != 0) {
    expect_matches_reference(std::nextafter(v, 0.0f));
    expect_matches_reference(std::nextafter(v, std::numeric_limits<float>::infinity()));
  }
}

std::vector<float> edge_floats() {
  std::vector<float> out = {
      0.0f, FLT_TRUE_MIN, 2 * FLT_TRUE_MIN, 3 * FLT_TRUE_MIN, from_bits(0x007FFFFF),
      FLT_MIN, FLT_MAX, 1.0f, 0.1f, 0.3f, 1.0f / 3,
      // The plain window ends at first-digit exponents -6 and 12.
      0.000001f, 0.0000009999999f, 0.00000099999994f, 1e-7f, 9.999999e12f, 1e12f, 1e13f,
      999999.9f, 9999999.0f, 16777216.0f, 16777217.0f, 4294967296.0f,
      // Shortest forms of one to nine digits.
      2.0f, 25.0f, 1.25f, 3.125f, 1.5625f, 1.953125f, 1.2207031f, 1.2345678f, 8.589973e9f,
      std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
  for (int e = -45; e <= 38; ++e) {
    out.push_back(std::strtof(("1e" + std::to_string(e)).c_str(), nullptr));
  }
  for (int e = -149; e <= 127; ++e) out.push_back(std::ldexp(1.0f, e));
  return out;
}

INSTANTIATE_TEST_SUITE_P(Table, WriteF32MatchesReference, ::testing::ValuesIn(edge_floats()));

TEST(WriteF32MatchesReference, OnRandomBitsAndEveryExponentsEnds) {
  // Every exponent field's first and last mantissas (power-of-two gaps,
  // denormals), then random patterns; the sample must reach every digit
  // count and every placement.
  std::vector<uint32_t> patterns;
  for (uint32_t e = 0; e < 255; ++e) {
    for (uint32_t m = 0; m < 48; ++m) {
      patterns.push_back(e << 23 | m);
      patterns.push_back(e << 23 | (0x7FFFFF - m));
    }
  }
  std::mt19937 rng(11);
  std::uniform_int_distribution<uint32_t> bits;
  for (int i = 0; i < 1000000; ++i) patterns.push_back(bits(rng));
  std::bitset<10> digit_counts;
  std::bitset<3> placements;  // plain integer, plain with fraction, scientific
  for (uint32_t b : patterns) {
    const float v = from_bits(b);
    ASSERT_NO_FATAL_FAILURE(expect_matches_reference(v));
    if (!std::isfinite(v) || v == 0) continue;
    char sci[40];
    auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const std::string_view t(sci, r.ptr - sci);
    const std::string_view mant = t.substr(0, t.find('e'));
    digit_counts.set(mant.size() - (mant.find('.') == std::string_view::npos ? 0 : 1) -
                     (v < 0 ? 1 : 0));
    const std::string text = f32(v);
    placements.set(text.find('e') != std::string::npos ? 2 : text.ends_with(".0") ? 0 : 1);
  }
  EXPECT_EQ(digit_counts.count(), 9u);  // 1 to 9 digits all seen
  EXPECT_TRUE(placements.all());
}

}  // namespace
}  // namespace varnel
