#include "distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
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
    prod.push_back(static_cast<float>(p));
    qq.push_back(static_cast<float>(a));
    vv.push_back(static_cast<float>(b));
    sq.push_back(static_cast<float>(dd));
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
                                           128, 130, 768, 1536));

// ---------------------------------------------------------------------------
// Block kernels: every path against distance(), bit for bit.

constexpr KernelPath kPaths[] = {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512};

bool same_result(float got, float want) {
  if (std::isnan(want)) return std::isnan(got);  // NaN sign and payload are unspecified
  return bits(got) == bits(want);
}

// Rows laid out as the kernels read them: blocks of 16 rows, transposed,
// padded with zero rows; norms in row order, padded with zeros.
struct Blocks {
  std::vector<float> data;
  std::vector<float> norms;
  size_t nblocks = 0;
};

Blocks make_blocks(const std::vector<std::vector<float>>& rows, size_t dim) {
  Blocks b;
  b.nblocks = (rows.size() + kBlockRows - 1) / kBlockRows;
  b.data.assign(b.nblocks * kBlockRows * dim, 0.0f);
  b.norms.assign(b.nblocks * kBlockRows, 0.0f);
  for (size_t r = 0; r < rows.size(); ++r) {
    float* block = b.data.data() + r / kBlockRows * kBlockRows * dim;
    for (size_t i = 0; i < dim; ++i) block[i * kBlockRows + r % kBlockRows] = rows[r][i];
    b.norms[r] = vector_norm(rows[r].data(), dim);
  }
  return b;
}

// Runs the kernel of `path` over all rows (at most kTileBlocks blocks) for
// all queries (at most kTileQueries) and checks every stored row against
// distance(), and the single-row path along with it.
void expect_kernel_matches(KernelPath path, DistanceMetric m,
                           const std::vector<std::vector<float>>& queries,
                           const std::vector<std::vector<float>>& rows, size_t dim) {
  Blocks b = make_blocks(rows, dim);
  std::vector<float> flat, qnorms;
  for (const auto& q : queries) {
    flat.insert(flat.end(), q.begin(), q.end());
    qnorms.push_back(vector_norm(q.data(), dim));
  }
  BlockTile tile;
  tile.queries = flat.data();
  tile.nq = queries.size();
  tile.query_norms = qnorms.data();
  tile.blocks = b.data.data();
  tile.row_norms = b.norms.data();
  tile.nblocks = b.nblocks;
  tile.dim = dim;
  const size_t row_count = b.nblocks * kBlockRows;
  std::vector<float> out(queries.size() * row_count, 12345.0f);
  block_kernel(path, m)(tile, out.data());
  for (size_t j = 0; j < queries.size(); ++j) {
    for (size_t r = 0; r < rows.size(); ++r) {
      const float want = distance(m, queries[j].data(), rows[r].data(), dim);
      const float got = out[j * row_count + r];
      ASSERT_TRUE(same_result(got, want))
          << kernel_path_name(path) << " " << metric_name(m) << " dim=" << dim << " query=" << j
          << " row=" << r << " got=" << got << " want=" << want;
      const float* block = b.data.data() + r / kBlockRows * kBlockRows * dim;
      const float single =
          block_row_distance(m, queries[j].data(), qnorms[j], block, r % kBlockRows, b.norms[r], dim);
      ASSERT_TRUE(same_result(single, want))
          << "single row " << metric_name(m) << " dim=" << dim << " row=" << r;
    }
  }
}

// Component values by flavour: ordinary, around the Hamming threshold,
// special values, overflowing magnitudes, cancellation across blocks.
float draw(std::mt19937& rng, int flavour, size_t dim) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::uniform_real_distribution<float> wide(-1000.0f, 1000.0f);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int> small(-4, 4);
  switch (flavour) {
    case 0:
      return wide(rng);
    case 1: {
      const float picks[] = {0.5f, std::nextafter(0.5f, 1.0f), 0.51f, 0.49f, unit(rng)};
      return picks[rng() % 5];
    }
    case 2: {
      // Mostly ordinary; about one special value per two vectors.
      if (rng() % (2 * dim + 1) != 0) return wide(rng);
      const float specials[] = {nan, inf, -inf, -0.0f, 0.0f, 3e38f, -3e38f, 1e-45f, -1e-40f};
      return specials[rng() % 9];
    }
    case 3: {
      // Products and sums that overflow to infinity, and their differences.
      const float huge[] = {3e38f, -3e38f, 2e19f, -2e19f, 1e30f, 1.0f};
      return huge[rng() % 6];
    }
    case 4: {
      // Zeros of both signs and small integers: exact sums, signed zeros.
      const float zeros[] = {0.0f, -0.0f, float(small(rng))};
      return zeros[rng() % 3];
    }
    default: {
      // Large values next to small ones: the blocking decides what survives.
      const float mixed[] = {1e8f, -1e8f, 1.0f, 0.5f, -3.0f};
      return mixed[rng() % 5];
    }
  }
}

using PathAndLength = std::tuple<KernelPath, size_t>;
class KernelLengths : public ::testing::TestWithParam<PathAndLength> {};

TEST_P(KernelLengths, BitIdenticalToScalarOrder) {
  const auto [path, dim] = GetParam();
  if (!kernel_path_supported(path)) GTEST_SKIP() << kernel_path_name(path) << " not on this CPU";
  std::mt19937 rng(static_cast<unsigned>(dim) * 31u + static_cast<unsigned>(path));
  for (int trial = 0; trial < 12; ++trial) {
    const int flavour = trial % 6;
    const size_t nq = 1 + (trial * 3) % kTileQueries;
    const size_t nrows = 1 + rng() % (kTileBlocks * kBlockRows);
    auto vec = [&] {
      std::vector<float> v(dim);
      for (float& x : v) x = draw(rng, flavour, dim);
      return v;
    };
    std::vector<std::vector<float>> queries(nq), rows(nrows);
    for (auto& q : queries) q = vec();
    for (auto& r : rows) r = vec();
    // A stored copy of a query and a zero row: distance 0 and the zero norm.
    rows[0] = queries[0];
    if (nrows > 1) rows[1].assign(dim, 0.0f);
    for (DistanceMetric m : kAll) expect_kernel_matches(path, m, queries, rows, dim);
  }
}

std::vector<size_t> kernel_lengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 70; ++n) lengths.push_back(n);
  for (size_t n : {127, 128, 768, 1536}) lengths.push_back(n);
  return lengths;
}

INSTANTIATE_TEST_SUITE_P(
    AllPaths, KernelLengths,
    ::testing::Combine(::testing::ValuesIn(kPaths), ::testing::ValuesIn(kernel_lengths())),
    [](const ::testing::TestParamInfo<PathAndLength>& info) {
      return std::string(kernel_path_name(std::get<0>(info.param))) + "_" +
             std::to_string(std::get<1>(info.param));
    });

class KernelPaths : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!kernel_path_supported(GetParam())) GTEST_SKIP() << "not on this CPU";
  }
};

// Every split of a tile into the kernel's own sub-tiles: all query counts
// against all block counts, including a partly filled last block.
TEST_P(KernelPaths, EveryTileShape) {
  std::mt19937 rng(7);
  for (size_t dim : {0u, 19u, 40u}) {
    for (size_t nq = 1; nq <= kTileQueries; ++nq) {
      for (size_t nblocks = 1; nblocks <= kTileBlocks; ++nblocks) {
        std::vector<std::vector<float>> queries(nq), rows(nblocks * kBlockRows - 3);
        for (auto& q : queries) {
          q.resize(dim);
          for (float& x : q) x = draw(rng, 5, dim);
        }
        for (auto& r : rows) {
          r.resize(dim);
          for (float& x : r) x = draw(rng, 0, dim);
        }
        for (DistanceMetric m : kAll) expect_kernel_matches(GetParam(), m, queries, rows, dim);
      }
    }
  }
}

// The worked blocking example, through the kernel: fifteen ones lost against
// one hundred million in the first block, sixteen kept in the second.
TEST_P(KernelPaths, BlockingShowsInKernelResults) {
  std::vector<float> a(32, 1.0f), ones(32, 1.0f);
  a[0] = 100000000.0f;
  expect_kernel_matches(GetParam(), DistanceMetric::DotProduct, {ones}, {a}, 32);
  Blocks b = make_blocks({a}, 32);
  float out[kBlockRows];
  BlockTile tile;
  tile.queries = ones.data();
  tile.nq = 1;
  tile.blocks = b.data.data();
  tile.nblocks = 1;
  tile.dim = 32;
  block_kernel(GetParam(), DistanceMetric::DotProduct)(tile, out);
  EXPECT_EQ(out[0], -100000016.0f);
}

// (1 + 2^-12)^2 rounds to 1 + 2^-11; added to -(1 + 2^-11) it gives exactly
// 0, where a fused multiply-add would keep 2^-24. Checked inside a whole
// block and in the tail.
TEST_P(KernelPaths, ProductsAreRoundedBeforeTheyAreAdded) {
  const float a = 1.0f + std::ldexp(1.0f, -12);
  const float c = -(1.0f + std::ldexp(1.0f, -11));
  for (size_t dim : {2u, 16u, 18u}) {
    std::vector<float> q(dim, 0.0f), v(dim, 0.0f);
    const size_t at = dim == 18 ? 16 : 0;  // the tail of 18, the first block of 16
    q[at] = 1.0f;
    v[at] = c;
    q[at + 1] = a;
    v[at + 1] = a;
    ASSERT_EQ(dot_product(q.data(), v.data(), dim), 0.0f);
    expect_kernel_matches(GetParam(), DistanceMetric::DotProduct, {q}, {v}, dim);
    expect_kernel_matches(GetParam(), DistanceMetric::Cosine, {q}, {v}, dim);
  }
}

TEST_P(KernelPaths, ZeroDimension) {
  std::vector<std::vector<float>> rows(5), queries(3);
  for (DistanceMetric m : kAll) expect_kernel_matches(GetParam(), m, queries, rows, 0);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, KernelPaths, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                           return std::string(kernel_path_name(info.param));
                         });

TEST(KernelPath, BestIsSupportedAndPortableAlwaysIs) {
  EXPECT_TRUE(kernel_path_supported(KernelPath::Portable));
  EXPECT_TRUE(kernel_path_supported(best_kernel_path()));
  for (KernelPath p : kPaths) {
    if (kernel_path_supported(p)) {
      EXPECT_LE(static_cast<int>(p), static_cast<int>(best_kernel_path()));
    }
  }
  EXPECT_EQ(kernel_path_name(KernelPath::Portable), "portable");
  EXPECT_EQ(kernel_path_name(KernelPath::Avx2), "avx2");
  EXPECT_EQ(kernel_path_name(KernelPath::Avx512), "avx512");
}

}  // namespace
}  // namespace varnel
