// The pruned search against the full scan of the same index: for every case
// of data, metric, k, filter and thread count, the same ids in the same order
// with the same distance bits. The index is filled by a Loader and by
// inserts, then thinned by removals and refilled, so the codes are checked
// after every way rows arrive and move.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "cpu.h"
#include "filter.h"
#include "index/brute_force.h"
#include "thread_pool.h"

namespace varnel::index {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr size_t kRows = 20000;
constexpr size_t kDim = 24;  // one block of 16 in every sum, and a tail

using Rows = std::vector<std::vector<float>>;

// Points around a few hundred centres, as real data tends to be.
Rows clusters(std::mt19937& rng, size_t n, float scale) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  Rows centres(400, std::vector<float>(kDim));
  for (auto& c : centres) {
    for (float& x : c) x = g(rng) * scale;
  }
  Rows rows(n, std::vector<float>(kDim));
  for (size_t i = 0; i < n; ++i) {
    const auto& c = centres[rng() % centres.size()];
    for (size_t j = 0; j < kDim; ++j) rows[i][j] = c[j] + g(rng) * scale * 0.05f;
  }
  return rows;
}

struct Case {
  const char* name;
  // Rows of the index; the first few also serve, slightly moved, as queries.
  std::function<Rows(std::mt19937&)> rows;
  // Whether the bounds should leave most blocks unread (Euclidean, Cosine;
  // one thread, k = 10). Copies of the query in many blocks, and rows that
  // are never pruned, rightly keep those blocks in the scan.
  bool prunes;
};

const Case kCases[] = {
    {"Clusters", [](std::mt19937& rng) { return clusters(rng, kRows, 1.0f); }, true},
    {"TiesAtTheKth",
     [](std::mt19937& rng) {
       // Hundreds of copies of a few rows: k cuts through equal distances.
       Rows rows = clusters(rng, kRows, 1.0f);
       for (size_t i = 10; i < rows.size(); i += 37) rows[i] = rows[i % 3];
       return rows;
     },
     false},
    {"LastBit",
     [](std::mt19937& rng) {
       // Copies of row 0 that differ from it, and among themselves, in the
       // last bit of one component.
       Rows rows = clusters(rng, kRows, 1.0f);
       for (size_t i = 10; i < rows.size(); i += 29) {
         rows[i] = rows[0];
         float& x = rows[i][i % kDim];
         x = std::nextafter(x, (i / 29) % 2 ? kInf : -kInf);
       }
       return rows;
     },
     false},
    {"Huge", [](std::mt19937& rng) { return clusters(rng, kRows, 1e37f); }, false},
    {"Tiny", [](std::mt19937& rng) { return clusters(rng, kRows, 1e-39f); }, false},
    {"HugeAmongSmall",
     [](std::mt19937& rng) {
       Rows rows = clusters(rng, kRows, 1.0f);
       for (size_t i = 5; i < rows.size(); i += 101) rows[i][i % kDim] = 3e38f;
       for (size_t i = 7; i < rows.size(); i += 103) rows[i][i % kDim] = -3e38f;
       return rows;
     },
     false},
    {"NanAndInfinities",
     [](std::mt19937& rng) {
       Rows rows = clusters(rng, kRows, 1.0f);
       const float odd[] = {kNan, kInf, -kInf};
       for (size_t i = 3; i < rows.size(); i += 41) rows[i][i % kDim] = odd[i % 3];
       rows[1][4] = kNan;  // a query's own row, and a query with a NaN
       rows[2][5] = kInf;  // a query with an infinity
       return rows;
     },
     false},
    {"AllEqual", [](std::mt19937&) { return Rows(kRows, std::vector<float>(kDim, 0.25f)); },
     false},
    {"Isotropic",
     [](std::mt19937& rng) {
       std::uniform_real_distribution<float> u(-1.0f, 1.0f);
       Rows rows(kRows, std::vector<float>(kDim));
       for (auto& r : rows) {
         for (float& x : r) x = u(rng);
       }
       return rows;
     },
     false},
};

struct Param {
  Case c;
  DistanceMetric metric;
};

class Pruned : public ::testing::TestWithParam<Param> {};

bool same_bits(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

void expect_same(const std::vector<SearchResult>& got, const std::vector<SearchResult>& want,
                 const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t r = 0; r < got.size(); ++r) {
    ASSERT_EQ(got[r].id, want[r].id) << what << " rank " << r;
    ASSERT_TRUE(same_bits(got[r].distance, want[r].distance))
        << what << " rank " << r << ": " << got[r].distance << " vs " << want[r].distance;
  }
}

TEST_P(Pruned, SameResultsAsTheFullScan) {
  const Case& c = GetParam().c;
  const DistanceMetric metric = GetParam().metric;
  std::mt19937 rng(12345);
  const Rows rows = c.rows(rng);

  // Half through a Loader, half inserted, ids shuffled so that row order and
  // id order differ; then a tenth removed (rows move) and put back under
  // new ids, one by one and through a second Loader.
  BruteForceIndex index(metric, kDim);
  std::vector<uint64_t> ids(rows.size());
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = (i * 7919) % 100003;
  auto payload = [](size_t i) {
    Payload p;
    if (i % 3 != 0) p.data["keep"] = true;
    return p;
  };
  {
    BruteForceIndex::Loader loader(index, rows.size() / 2);
    for (size_t i = 0; i < rows.size() / 2; ++i) {
      std::copy(rows[i].begin(), rows[i].end(), loader.row());
      loader.add(ids[i], payload(i));
    }
  }
  for (size_t i = rows.size() / 2; i < rows.size(); ++i) {
    ASSERT_TRUE(index.insert(ids[i], rows[i], payload(i)).ok());
  }
  for (size_t i = 10; i < rows.size(); i += 10) ASSERT_TRUE(index.remove(ids[i]).has_value());
  {
    BruteForceIndex::Loader loader(index, 100);
    for (size_t i = 10; i < rows.size() / 2; i += 10) {
      std::copy(rows[i].begin(), rows[i].end(), loader.row());
      loader.add(ids[i] + 200000, payload(i));
    }
    // A repeated id replaces its row inside the run.
    std::copy(rows[3].begin(), rows[3].end(), loader.row());
    loader.add(ids[4], payload(4));
  }
  for (size_t i = rows.size() / 2; i < rows.size(); i += 10) {
    ASSERT_TRUE(index.insert(ids[i] + 200000, rows[i], payload(i)).ok());
  }

  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<std::vector<float>> queries;
  for (size_t q = 0; q < 6; ++q) {
    std::vector<float> v = rows[q];
    if (q >= 3) {
      for (float& x : v) x += x * 0.01f * g(rng);
    }
    queries.push_back(v);
  }

  Filter keep{FilterCondition::exists("keep")};
  ThreadPool two(2), four(4);
  const size_t blocks = (index.len() + 15) / 16;
  uint64_t read = 0, searches = 0;
  for (size_t q = 0; q < queries.size(); ++q) {
    for (size_t k : {1, 10, 100}) {
      for (const Filter* f : std::initializer_list<const Filter*>{nullptr, &keep}) {
        for (ThreadPool* pool : std::initializer_list<ThreadPool*>{nullptr, &two, &four}) {
          const std::string what = "query " + std::to_string(q) + " k " + std::to_string(k) +
                                   (f ? " filtered" : "") + " threads " +
                                   std::to_string(pool ? pool->threads() : 1);
          index.set_pruning(false);
          const auto want = index.search(queries[q], k, f, pool);
          index.set_pruning(true);
          const uint64_t before = index.scan_counts().blocks_exact;
          const auto got = index.search(queries[q], k, f, pool);
          if (pool == nullptr && k == 10 && f == nullptr) {
            read += index.scan_counts().blocks_exact - before;
            ++searches;
          }
          expect_same(got, want, what);
          // A batch takes the same path for a single query.
          expect_same(index.search_batch(queries[q].data(), 1, kDim, k, f, pool)[0], want,
                      what + " batch");
        }
      }
    }
  }
  if (c.prunes && metric != DistanceMetric::DotProduct) {
    // The bounds did their job: most blocks were never read.
    EXPECT_LT(read, searches * blocks / 4);
  }
}

std::vector<Param> params() {
  std::vector<Param> out;
  for (const Case& c : kCases) {
    for (DistanceMetric m :
         {DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::DotProduct}) {
      out.push_back({c, m});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Cases, Pruned, ::testing::ValuesIn(params()), [](const auto& info) {
  return std::string(info.param.c.name) + "_" +
         std::string(metric_name(info.param.metric));
});

// Every bound kernel gives the portable one's sums and verdict, for any
// number of pairs (odd ones included), codes and t-hat at the ends of their
// range, and limits on either side of the sums.
TEST(Pruned, BoundKernelsAgree) {
  struct Path {
    BoundKernel kernel;
    bool runs;
  };
  const Path paths[] = {{avx2_bound_kernel(), cpu::has(cpu::Feature::kAvx2)},
                        {avx512_bound_kernel(), cpu::has(cpu::Feature::kAvx512bw)}};
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> code(-127, 127);
  for (size_t npairs = 1; npairs <= 19; ++npairs) {
    std::vector<int8_t> codes(npairs * 32);
    std::vector<int32_t> pairs(npairs);
    for (int8_t& c : codes) c = static_cast<int8_t>(rng() % 4 == 0 ? (rng() % 2 ? 127 : -127) : code(rng));
    for (int32_t& p : pairs) {
      const auto t0 = static_cast<uint16_t>(static_cast<int16_t>(code(rng)));
      const auto t1 = static_cast<uint16_t>(static_cast<int16_t>(rng() % 3 == 0 ? -127 : code(rng)));
      p = static_cast<int32_t>(t0 | static_cast<uint32_t>(t1) << 16);
    }
    int32_t want[16] = {};
    portable_bound_kernel()(codes.data(), pairs.data(), npairs, -1, want);
    const int32_t low = *std::min_element(want, want + 16);
    for (const Path& p : paths) {
      if (p.kernel == nullptr || !p.runs) continue;
      for (int32_t limit : {-1, low - 1, low, 1 << 30}) {
        int32_t got[16] = {};
        const bool over = p.kernel(codes.data(), pairs.data(), npairs, limit, got);
        EXPECT_EQ(over, low > limit) << npairs << " pairs, limit " << limit;
        for (int r = 0; r < 16; ++r) ASSERT_EQ(got[r], want[r]) << npairs << " pairs, row " << r;
      }
    }
  }
}

// Hamming keeps no codes, and an index below the grid's first size scans in
// full; both must still answer with pruning switched on.
TEST(Pruned, WithoutCodesTheScanIsFull) {
  for (DistanceMetric m : {DistanceMetric::Hamming, DistanceMetric::Euclidean}) {
    BruteForceIndex index(m, kDim);
    std::mt19937 rng(7);
    const Rows rows = clusters(rng, m == DistanceMetric::Hamming ? kRows : kGridMinRows - 1, 1.0f);
    for (size_t i = 0; i < rows.size(); ++i) ASSERT_TRUE(index.insert(i, rows[i], {}).ok());
    const auto got = index.search(rows[0], 10);
    index.set_pruning(false);
    expect_same(got, index.search(rows[0], 10), std::string(metric_name(m)));
  }
}

}  // namespace
}  // namespace varnel::index
