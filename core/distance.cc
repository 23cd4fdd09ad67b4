#include "distance.h"

#include <cmath>

namespace varnel {

std::string_view metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return "Euclidean";
    case DistanceMetric::Cosine:
      return "Cosine";
    case DistanceMetric::DotProduct:
      return "DotProduct";
    case DistanceMetric::Hamming:
      return "Hamming";
  }
  return "Euclidean";
}

namespace {

template <typename Term>
inline float blocked_sum(size_t dim, Term term) {
  float total = 0.0f;
  size_t i = 0;
  for (; i + kSumBlock <= dim; i += kSumBlock) {
    float block = term(i) + term(i + 1);
    for (size_t j = 2; j < kSumBlock; ++j) block += term(i + j);
    total += block;
  }
  for (; i < dim; ++i) total += term(i);
  return total;
}

}  // namespace

float dot_product(const float* a, const float* b, size_t dim) {
  return blocked_sum(dim, [&](size_t i) { return a[i] * b[i]; });
}

float squared_l2(const float* a, const float* b, size_t dim) {
  return blocked_sum(dim, [&](size_t i) {
    float d = a[i] - b[i];
    return d * d;
  });
}

float cosine_from_parts(float p, float nq, float nv) {
  float denominator = std::sqrt(nq) * std::sqrt(nv);
  if (denominator == 0.0f) return 1.0f;
  return 1.0f - p / denominator;
}

float distance(DistanceMetric metric, const float* query, const float* stored, size_t dim) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return std::sqrt(squared_l2(query, stored, dim));
    case DistanceMetric::Cosine:
      return cosine_from_parts(dot_product(query, stored, dim), dot_product(query, query, dim),
                               dot_product(stored, stored, dim));
    case DistanceMetric::DotProduct:
      return -dot_product(query, stored, dim);
    case DistanceMetric::Hamming: {
      uint64_t differ = 0;
      for (size_t i = 0; i < dim; ++i) differ += (query[i] > 0.5f) != (stored[i] > 0.5f);
      return static_cast<float>(differ);
    }
  }
  return 0.0f;
}

}  // namespace varnel
