// Distance metrics over 32-bit float vectors. Every metric gives one float
// where smaller means nearer. Sums run in a fixed blocked order (blocks of 16,
// each summed on its own and then added to the total; the tail added one term
// at a time), with no fused multiply-add: the order is part of the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnel {

enum class DistanceMetric : uint8_t {
  Euclidean = 0,
  Cosine = 1,
  DotProduct = 2,
  Hamming = 3,
};

inline constexpr size_t kSumBlock = 16;

// "Euclidean", "Cosine", "DotProduct", "Hamming".
std::string_view metric_name(DistanceMetric metric);

// Blocked sum of a[i] * b[i].
float dot_product(const float* a, const float* b, size_t dim);
// Blocked sum of (a[i] - b[i])^2, each difference rounded before squaring.
float squared_l2(const float* a, const float* b, size_t dim);

// Distance of `stored` from `query` under `metric`; both hold `dim` floats.
// Pure, allocates nothing, never fails.
float distance(DistanceMetric metric, const float* query, const float* stored, size_t dim);

// The cosine distance given the three blocked sums: 1 - p / (sqrt(nq) *
// sqrt(nv)), or exactly 1 when that denominator is zero.
float cosine_from_parts(float p, float nq, float nv);

}  // namespace varnel
