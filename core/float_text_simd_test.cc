#include "float_text_simd.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json.h"

namespace varnel {
namespace {

float from_bits(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

uint32_t to_bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// The list as the scalar writer gives it, value by value.
std::string reference_list(const float* v, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) out += ',';
    json::write_f32(out, v[i]);
  }
  return out;
}

constexpr char kGuard = '#';

class F32List : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!f32_text_path_supported(GetParam())) GTEST_SKIP() << "this CPU lacks the path";
  }

  // The list on the path under test, checked against the reference; the
  // writer must stay inside n * kMaxF32Chars bytes of room. On a mismatch,
  // names the first value whose text differs.
  void expect_list(const std::vector<float>& v) {
    const size_t room = v.size() * json::kMaxF32Chars;
    std::vector<char> buf(room + 64, kGuard);
    char* end = write_f32_list(GetParam(), buf.data(), v.data(), v.size());
    ASSERT_GE(end, buf.data());
    ASSERT_LE(end, buf.data() + room);
    for (size_t i = room; i < buf.size(); ++i) ASSERT_EQ(buf[i], kGuard) << "wrote past the room";
    const std::string got(buf.data(), end);
    const std::string want = reference_list(v.data(), v.size());
    if (got == want) return;
    for (float x : v) {
      char one[json::kMaxF32Chars];
      const std::string g(one, write_f32_list(GetParam(), one, &x, 1));
      ASSERT_EQ(g, reference_list(&x, 1)) << "bits 0x" << std::hex << to_bits(x);
    }
    FAIL() << "the list differs though every value alone matches:\n" << got << "\n" << want;
  }
};

// The values where a text's form changes: signed zeros, the ends of the
// subnormals and normals, powers of two and ten and their neighbours, the
// first-digit exponents -7 to 13 around the plain window, nine-digit
// shortest forms, NaNs and infinities (null).
std::vector<float> edge_floats() {
  std::vector<float> base = {
      0.0f, FLT_TRUE_MIN, 2 * FLT_TRUE_MIN, 3 * FLT_TRUE_MIN, 7 * FLT_TRUE_MIN, 8 * FLT_TRUE_MIN,
      from_bits(0x007FFFFF), FLT_MIN, FLT_MAX, 1.0f, 0.1f, 0.3f, 1.0f / 3, 2.0f / 3,
      0.000001f, 0.0000009999999f, 0.00000099999994f, 1e-7f, 9.999999e12f, 1e12f, 1e13f,
      999999.9f, 9999999.0f, 16777216.0f, 16777217.0f, 4294967296.0f, 8.589973e9f,
      // Shortest forms of one to nine digits.
      2.0f, 25.0f, 1.25f, 3.125f, 1.5625f, 1.953125f, 1.2207031f, 1.2345678f, 1.00000012f,
      3.4028235e38f, 1.17549435e-38f, 0.0000012345678f, 1234567.8f, 123456780000.0f};
  for (int e = -45; e <= 38; ++e) {
    base.push_back(std::strtof(("1e" + std::to_string(e)).c_str(), nullptr));
    base.push_back(std::strtof(("9.999999e" + std::to_string(e)).c_str(), nullptr));
  }
  for (int e = -149; e <= 127; ++e) base.push_back(std::ldexp(1.0f, e));
  std::vector<float> out;
  for (float v : base) {
    for (float s : {v, -v}) {
      out.push_back(s);
      if (std::isfinite(s) && s != 0) {
        out.push_back(std::nextafter(s, 0.0f));
        out.push_back(std::nextafter(s, s * 2));
      }
    }
  }
  const float inf = std::numeric_limits<float>::infinity();
  for (float v : {inf, -inf, std::numeric_limits<float>::quiet_NaN(),
                  -std::numeric_limits<float>::quiet_NaN(),
                  std::numeric_limits<float>::signaling_NaN(), from_bits(0x7F800001),
                  from_bits(0xFFFFFFFF)}) {
    out.push_back(v);
  }
  // Every exponent field's first and last mantissas (gaps at powers of two,
  // the subnormal range, NaN payloads).
  for (uint32_t e = 0; e < 256; ++e) {
    for (uint32_t m = 0; m < 8; ++m) {
      out.push_back(from_bits(e << 23 | m));
      out.push_back(from_bits(0x80000000u | e << 23 | (0x7FFFFF - m)));
    }
  }
  return out;
}

TEST_P(F32List, MatchesTheScalarWriterOnEveryEdge) { expect_list(edge_floats()); }

TEST_P(F32List, MatchesTheScalarWriterOnAMillionRandomPatterns) {
  std::mt19937 rng(15);
  std::uniform_int_distribution<uint32_t> bits;
  std::vector<float> v(1000);  // not a multiple of a lane count
  for (int round = 0; round < 1000; ++round) {
    for (float& x : v) x = from_bits(bits(rng));
    ASSERT_NO_FATAL_FAILURE(expect_list(v));
  }
}

TEST_P(F32List, EveryLengthWritesItsValuesAndNoMore) {
  // Lengths around each lane count, so every partial last step runs, with a
  // mix of forms in each list.
  const std::vector<float> edges = edge_floats();
  for (size_t n = 0; n <= 49; ++n) {
    std::vector<float> v(edges.begin() + 3 * n, edges.begin() + 4 * n);
    ASSERT_NO_FATAL_FAILURE(expect_list(v)) << "length " << n;
  }
}

TEST_P(F32List, VectorsOfTypicalComponentsMatch) {
  // Normally distributed components, as embeddings have, in d = 128 and
  // d = 1536 vectors.
  std::mt19937 rng(3);
  std::normal_distribution<float> normal(0.0f, 0.05f);
  for (size_t d : {128, 1536}) {
    std::vector<float> v(d);
    for (float& x : v) x = normal(rng);
    ASSERT_NO_FATAL_FAILURE(expect_list(v));
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, F32List,
                         ::testing::Values(KernelPath::Portable, KernelPath::Avx2,
                                           KernelPath::Avx512),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                           return std::string(kernel_path_name(info.param));
                         });

TEST(F32ListDispatch, TheBestPathWritesTheReferenceText) {
  const std::vector<float> v = {0.0f, -0.0f, 1.5f, -2.25e-7f, 3.4028235e38f, 1e13f,
                                std::numeric_limits<float>::quiet_NaN()};
  char buf[7 * json::kMaxF32Chars];
  EXPECT_EQ(std::string(buf, write_f32_list(buf, v.data(), v.size())),
            "0.0,-0.0,1.5,-2.25e-7,3.4028235e+38,1e+13,null");
  EXPECT_EQ(write_f32_list(buf, v.data(), 0), buf);
  EXPECT_TRUE(f32_text_path_supported(KernelPath::Portable));
}

}  // namespace
}  // namespace varnel
