#include "distance.h"

#include <cmath>

#include "cpu.h"
#include "distance_simd.h"

namespace varnel {

namespace {

struct MetricNames {
  DistanceMetric metric;
  std::string_view stored;
  std::string_view python;
};
constexpr MetricNames kMetricNames[] = {
    {DistanceMetric::Euclidean, "Euclidean", "euclidean"},
    {DistanceMetric::Cosine, "Cosine", "cosine"},
    {DistanceMetric::DotProduct, "DotProduct", "dot"},
    {DistanceMetric::Hamming, "Hamming", ""},
};

}  // namespace

std::string_view metric_name(DistanceMetric metric) {
  for (const MetricNames& m : kMetricNames) {
    if (m.metric == metric) return m.stored;
  }
  return "Euclidean";
}

std::string_view metric_python_name(DistanceMetric metric) {
  for (const MetricNames& m : kMetricNames) {
    if (m.metric == metric) return m.python;
  }
  return "";
}

std::optional<DistanceMetric> metric_from_name(std::string_view name) {
  for (const MetricNames& m : kMetricNames) {
    if (m.stored == name) return m.metric;
  }
  return std::nullopt;
}

std::optional<DistanceMetric> metric_from_python_name(std::string_view name) {
  for (const MetricNames& m : kMetricNames) {
    if (!m.python.empty() && m.python == name) return m.metric;
  }
  return std::nullopt;
}

namespace {

// `term(i)` is the term of component i; the order of the additions below is
// the blocked order of the header and must not change.
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

// The cosine distance from the dot product and the two norms (square roots
// of the self dot products), multiplied in this order.
inline float cosine_from_norms(float p, float query_norm, float row_norm) {
  float denominator = query_norm * row_norm;
  if (denominator == 0.0f) return 1.0f;
  return 1.0f - p / denominator;
}

inline bool hamming_bit(float x) { return x > 0.5f; }

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
  return cosine_from_norms(p, std::sqrt(nq), std::sqrt(nv));
}

float vector_norm(const float* v, size_t dim) { return std::sqrt(dot_product(v, v, dim)); }

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
      for (size_t i = 0; i < dim; ++i) differ += hamming_bit(query[i]) != hamming_bit(stored[i]);
      return static_cast<float>(differ);
    }
  }
  return 0.0f;
}

float block_row_distance(DistanceMetric metric, const float* query, float query_norm,
                         const float* block, size_t lane, float row_norm, size_t dim) {
  const float* row = block + lane;
  auto at = [&](size_t i) { return row[i * kBlockRows]; };
  switch (metric) {
    case DistanceMetric::Euclidean:
      return std::sqrt(blocked_sum(dim, [&](size_t i) {
        float d = query[i] - at(i);
        return d * d;
      }));
    case DistanceMetric::Cosine:
      return cosine_from_norms(blocked_sum(dim, [&](size_t i) { return query[i] * at(i); }),
                               query_norm, row_norm);
    case DistanceMetric::DotProduct:
      return -blocked_sum(dim, [&](size_t i) { return query[i] * at(i); });
    case DistanceMetric::Hamming: {
      uint64_t differ = 0;
      for (size_t i = 0; i < dim; ++i) differ += hamming_bit(query[i]) != hamming_bit(at(i));
      return static_cast<float>(differ);
    }
  }
  return 0.0f;
}

// ---------------------------------------------------------------------------
// Portable kernels: one block and one query at a time, the sixteen rows of
// the block in sixteen independent accumulators. The lane loops have a fixed
// trip count, so the compiler may vectorize them with whatever the baseline
// instruction set offers; the per-lane order stays the blocked one either way.
namespace {

// totals[r] = blocked sum over i of term(query[i], row r's component i).
template <typename Term>
inline void portable_sums(const float* query, const float* block, size_t dim, Term term,
                          float* totals) {
  for (size_t r = 0; r < kBlockRows; ++r) totals[r] = 0.0f;
  size_t i = 0;
  for (; i + kSumBlock <= dim; i += kSumBlock) {
    const float* c = block + i * kBlockRows;
    float acc[kBlockRows];
    for (size_t r = 0; r < kBlockRows; ++r) {
      acc[r] = term(query[i], c[r]) + term(query[i + 1], c[kBlockRows + r]);
    }
    for (size_t j = 2; j < kSumBlock; ++j) {
      const float qj = query[i + j];
      const float* cj = c + j * kBlockRows;
      for (size_t r = 0; r < kBlockRows; ++r) acc[r] += term(qj, cj[r]);
    }
    for (size_t r = 0; r < kBlockRows; ++r) totals[r] += acc[r];
  }
  for (; i < dim; ++i) {
    const float qi = query[i];
    const float* c = block + i * kBlockRows;
    for (size_t r = 0; r < kBlockRows; ++r) totals[r] += term(qi, c[r]);
  }
}

inline float dot_term(float q, float v) { return q * v; }
inline float l2_term(float q, float v) {
  float d = q - v;
  return d * d;
}

template <DistanceMetric M>
void portable_kernel(const BlockTile& t, float* out) {
  const size_t row_count = t.nblocks * kBlockRows;
  for (size_t j = 0; j < t.nq; ++j) {
    const float* query = t.queries + j * t.dim;
    for (size_t b = 0; b < t.nblocks; ++b) {
      const float* block = t.blocks + b * kBlockRows * t.dim;
      float* o = out + j * row_count + b * kBlockRows;
      if constexpr (M == DistanceMetric::Euclidean) {
        portable_sums(query, block, t.dim, l2_term, o);
        for (size_t r = 0; r < kBlockRows; ++r) o[r] = std::sqrt(o[r]);
      } else if constexpr (M == DistanceMetric::DotProduct) {
        portable_sums(query, block, t.dim, dot_term, o);
        for (size_t r = 0; r < kBlockRows; ++r) o[r] = -o[r];
      } else if constexpr (M == DistanceMetric::Cosine) {
        portable_sums(query, block, t.dim, dot_term, o);
        const float* norms = t.row_norms + b * kBlockRows;
        for (size_t r = 0; r < kBlockRows; ++r) {
          o[r] = cosine_from_norms(o[r], t.query_norms[j], norms[r]);
        }
      } else {
        uint64_t differ[kBlockRows] = {};
        for (size_t i = 0; i < t.dim; ++i) {
          const bool qbit = hamming_bit(query[i]);
          const float* c = block + i * kBlockRows;
          for (size_t r = 0; r < kBlockRows; ++r) differ[r] += qbit != hamming_bit(c[r]);
        }
        for (size_t r = 0; r < kBlockRows; ++r) o[r] = static_cast<float>(differ[r]);
      }
    }
  }
}

BlockKernel portable_block_kernel(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return portable_kernel<DistanceMetric::Euclidean>;
    case DistanceMetric::Cosine:
      return portable_kernel<DistanceMetric::Cosine>;
    case DistanceMetric::DotProduct:
      return portable_kernel<DistanceMetric::DotProduct>;
    case DistanceMetric::Hamming:
      return portable_kernel<DistanceMetric::Hamming>;
  }
  return portable_kernel<DistanceMetric::Euclidean>;
}

bool cpu_has(KernelPath path) {
  switch (path) {
    case KernelPath::Portable:
      return true;
    case KernelPath::Avx2:
      return simd::avx2_kernel(DistanceMetric::Euclidean) != nullptr &&
             cpu::has(cpu::Feature::kAvx2);
    case KernelPath::Avx512:
      return simd::avx512_kernel(DistanceMetric::Euclidean) != nullptr &&
             cpu::has(cpu::Feature::kAvx512f);
  }
  return false;
}

KernelPath detect_best_path() {
  if (cpu_has(KernelPath::Avx512)) return KernelPath::Avx512;
  if (cpu_has(KernelPath::Avx2)) return KernelPath::Avx2;
  return KernelPath::Portable;
}

}  // namespace

std::string_view kernel_path_name(KernelPath path) {
  switch (path) {
    case KernelPath::Portable:
      return "portable";
    case KernelPath::Avx2:
      return "avx2";
    case KernelPath::Avx512:
      return "avx512";
  }
  return "portable";
}

bool kernel_path_supported(KernelPath path) { return cpu_has(path); }

KernelPath best_kernel_path() {
  static const KernelPath best = detect_best_path();
  return best;
}

BlockKernel block_kernel(KernelPath path, DistanceMetric metric) {
  BlockKernel kernel = nullptr;
  // An unsupported path quietly gives the portable kernel rather than one
  // that would stop the process on its first instruction.
  if (!kernel_path_supported(path)) path = KernelPath::Portable;
  switch (path) {
    case KernelPath::Portable:
      break;
    case KernelPath::Avx2:
      kernel = simd::avx2_kernel(metric);
      break;
    case KernelPath::Avx512:
      kernel = simd::avx512_kernel(metric);
      break;
  }
  return kernel != nullptr ? kernel : portable_block_kernel(metric);
}

}  // namespace varnel
