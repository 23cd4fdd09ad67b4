#include "distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace varnel {
namespace {

// Reference written independently of the library: per block of 16 a fresh
// accumulator seeded with the first two terms, then the tail term by term.
float reference_sum(const std::vector<float>& terms) {
  float total = 0.0f;
  size_t whole = terms.size() / 16 * 16;
  for (size_t b = 0; b < whole; b += 16) {
    volatile float block = terms[b] + terms[b + 1];
    for (size_t j = 2; j < 16; ++j) block = block + terms[b + j];
    total = total + block;
  }
  for (size_t i = whole; i < terms.size(); ++i) total = total + terms[i];
  return total;
}

float reference(DistanceMetric m, const std::vector<float>& q, const std::vector<float>& v) {
  std::vector<float> prod, qq, vv, sq;
  for (size_t i = 0; i < q.size(); ++i) {
    volatile float p = q[i] * v[i];
    volatile float a = q[i] * q[i];
    volatile float b = v[i] * v[i];
    volatile float d = q[i] - v[i];
    volatile float dd = d * d;
    prod.push_back(p);
    qq.push_back(a);
    vv.push_back(b);
    sq.push_back(dd);
  }
  switch (m) {
    case DistanceMetric::Euclidean:
      return std::sqrt(reference_sum(sq));
    case DistanceMetric::DotProduct:
      return -reference_sum(prod);
    case DistanceMetric::Cosine: {
      volatile float den = std::sqrt(reference_sum(qq)) * std::sqrt(reference_sum(vv));
      if (den == 0.0f) return 1.0f;
      volatile float ratio = reference_sum(prod) / den;
      return 1.0f - ratio;
    }
    case DistanceMetric::Hamming: {
      unsigned n = 0;
      for (size_t i = 0; i < q.size(); ++i) n += (q[i] > 0.5f) != (v[i] > 0.5f);
      return static_cast<float>(n);
    }
  }
  return 0.0f;
}

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

float dist(DistanceMetric m, const std::vector<float>& q, const std::vector<float>& v) {
  return distance(m, q.data(), v.data(), q.size());
}

constexpr DistanceMetric kAll[] = {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                   DistanceMetric::DotProduct, DistanceMetric::Hamming};

TEST(Distance, BlockingKeepsSecondBlockOnes) {
  std::vector<float> a(32, 1.0f), ones(32, 1.0f);
  a[0] = 100000000.0f;
  EXPECT_EQ(dot_product(a.data(), ones.data(), 32), 100000016.0f);
}

TEST(Distance, WorkedValues) {
  struct Case {
    DistanceMetric m;
    std::vector<float> q, v;
    float want;
  } cases[] = {
      {DistanceMetric::Euclidean, {0, 0}, {3, 4}, 5.0f},
      {DistanceMetric::Cosine, {1, 0}, {0, 1}, 1.0f},
      {DistanceMetric::Cosine, {1, 0}, {2, 0}, 0.0f},
      {DistanceMetric::Cosine, {1, 0}, {-1, 0}, 2.0f},
      {DistanceMetric::Cosine, {0, 0}, {1, 1}, 1.0f},
      {DistanceMetric::DotProduct, {1, 2}, {3, 4}, -11.0f},
      {DistanceMetric::Hamming, {0.6f, 0.5f, 0.0f}, {0.4f, 0.51f, 0.0f}, 2.0f},
      {DistanceMetric::Euclidean, {}, {}, 0.0f},
      {DistanceMetric::Cosine, {}, {}, 1.0f},
      {DistanceMetric::Hamming, {}, {}, 0.0f},
  };
  for (const Case& c : cases) EXPECT_EQ(dist(c.m, c.q, c.v), c.want) << metric_name(c.m);
  EXPECT_NEAR(dist(DistanceMetric::Cosine, {1, 1}, {1, 0}), 0.29289323f, 1e-7f);
}

TEST(Distance, DotOfZerosIsNegativeZero) {
  for (std::vector<float> z : {std::vector<float>{}, std::vector<float>{0, 0}}) {
    float d = dist(DistanceMetric::DotProduct, z, z);
    EXPECT_EQ(bits(d), bits(-0.0f));
  }
}

TEST(Distance, HammingThresholdIsStrictlyAboveHalf) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(dist(DistanceMetric::Hamming, {0.5f}, {0.0f}), 0.0f);
  EXPECT_EQ(dist(DistanceMetric::Hamming, {std::nextafter(0.5f, 1.0f)}, {0.0f}), 1.0f);
  EXPECT_EQ(dist(DistanceMetric::Hamming, {nan}, {0.0f}), 0.0f);
}

TEST(Distance, NonFiniteInputsFlowThrough) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(std::isnan(dist(DistanceMetric::Euclidean, {nan, 1}, {0, 0})));
  EXPECT_TRUE(std::isnan(dist(DistanceMetric::DotProduct, {nan}, {1})));
  EXPECT_TRUE(std::isnan(dist(DistanceMetric::Cosine, {nan, 1}, {1, 1})));
  EXPECT_EQ(dist(DistanceMetric::Euclidean, {inf}, {0}), inf);
  EXPECT_EQ(dist(DistanceMetric::DotProduct, {inf}, {1}), -inf);
}

TEST(Distance, MetricNames) {
  EXPECT_EQ(metric_name(DistanceMetric::Euclidean), "Euclidean");
  EXPECT_EQ(metric_name(DistanceMetric::Cosine), "Cosine");
  EXPECT_EQ(metric_name(DistanceMetric::DotProduct), "DotProduct");
  EXPECT_EQ(metric_name(DistanceMetric::Hamming), "Hamming");
  EXPECT_EQ(sizeof(DistanceMetric), 1u);
}

class DistanceLengths : public ::testing::TestWithParam<size_t> {};

TEST_P(DistanceLengths, BitIdenticalToReference) {
  const size_t n = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n) * 7919u + 1);
  std::uniform_real_distribution<float> wide(-1000.0f, 1000.0f);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<float> q(n), v(n);
    for (size_t i = 0; i < n; ++i) {
      bool w = trial % 2 == 0;
      q[i] = w ? wide(rng) : unit(rng);
      v[i] = w ? wide(rng) : unit(rng);
    }
    for (DistanceMetric m : kAll) {
      float got = dist(m, q, v), want = reference(m, q, v);
      EXPECT_EQ(bits(got), bits(want)) << metric_name(m) << " n=" << n << " trial=" << trial;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, DistanceLengths,
                         ::testing::Values(0, 1, 2, 3, 5, 7, 8, 15, 16, 17, 31, 32, 33, 48, 100,
                                           128, 130));

}  // namespace
}  // namespace varnel
