#include "index/brute_force.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "filter.h"
#include "thread_pool.h"

namespace varnel::index {
namespace {

constexpr uint64_t kMaxId = std::numeric_limits<uint64_t>::max();
constexpr size_t kBlock = 16;  // rows per block of the index

std::vector<uint64_t> ids_of(const std::vector<SearchResult>& hits) {
  std::vector<uint64_t> out;
  for (const auto& h : hits) out.push_back(h.id);
  return out;
}

TEST(BruteForceIndex, InsertChecksLengthBeforeDuplicate) {
  BruteForceIndex index(DistanceMetric::Euclidean, 3);
  ASSERT_TRUE(index.insert(7, {1, 2, 3}, Payload{}).ok());

  Status dup = index.insert(7, {4, 5, 6}, Payload{});
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.error().message(), "duplicate vector id: 7");

  Status wrong = index.insert(7, {4, 5}, Payload{});
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().message(), "dimension mismatch: expected 3, got 2");

  auto hits = index.search({1, 2, 3}, 5);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].distance, 0.0f);  // the first vector survived both refusals
  EXPECT_EQ(index.len(), 1u);
}

TEST(BruteForceIndex, WrongQueryLengthKZeroAndEmptyIndexGiveNothing) {
  BruteForceIndex index(DistanceMetric::Euclidean, 3);
  EXPECT_TRUE(index.search({1, 2, 3}, 10).empty());
  ASSERT_TRUE(index.insert(1, {1, 2, 3}, Payload{}).ok());
  EXPECT_TRUE(index.search({1, 2}, 10).empty());
  EXPECT_TRUE(index.search({1, 2, 3}, 0).empty());
  EXPECT_EQ(index.search({1, 2, 3}, kMaxId).size(), 1u);
}

TEST(BruteForceIndex, WorkedEuclideanExample) {
  BruteForceIndex index(DistanceMetric::Euclidean, 2);
  ASSERT_TRUE(index.insert(1, {0, 0}, Payload{}).ok());
  ASSERT_TRUE(index.insert(2, {3, 4}, Payload{}).ok());
  ASSERT_TRUE(index.insert(3, {1, 0}, Payload{}).ok());
  auto hits = index.search({0, 0}, 2);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, 1u);
  EXPECT_EQ(hits[0].distance, 0.0f);
  EXPECT_EQ(hits[1].id, 3u);
  EXPECT_EQ(hits[1].distance, 1.0f);
  ASSERT_TRUE(hits[0].payload.has_value());
}

TEST(BruteForceIndex, DotProductRanksLargestFirst) {
  BruteForceIndex index(DistanceMetric::DotProduct, 2);
  ASSERT_TRUE(index.insert(1, {1, 0}, Payload{}).ok());
  ASSERT_TRUE(index.insert(2, {5, 5}, Payload{}).ok());
  ASSERT_TRUE(index.insert(3, {-1, 0}, Payload{}).ok());
  EXPECT_EQ(ids_of(index.search({1, 1}, 3)), (std::vector<uint64_t>{2, 1, 3}));
}

TEST(BruteForceIndex, DimensionZeroAndExtremeIds) {
  BruteForceIndex zero(DistanceMetric::Cosine, 0);
  ASSERT_TRUE(zero.insert(kMaxId, std::vector<float>{}, Payload{}).ok());
  auto hits = zero.search(std::vector<float>{}, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, kMaxId);
  EXPECT_EQ(hits[0].distance, 1.0f);

  BruteForceIndex index(DistanceMetric::Euclidean, 1);
  ASSERT_TRUE(index.insert(0, {1}, Payload{}).ok());
  ASSERT_TRUE(index.insert(kMaxId, {2}, Payload{}).ok());
  EXPECT_EQ(ids_of(index.search({0}, 2)), (std::vector<uint64_t>{0, kMaxId}));
}

TEST(BruteForceIndex, NanDistancesComeAfterEveryNumber) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  BruteForceIndex index(DistanceMetric::Euclidean, 1);
  ASSERT_TRUE(index.insert(1, {nan}, Payload{}).ok());
  ASSERT_TRUE(index.insert(2, {5}, Payload{}).ok());
  ASSERT_TRUE(index.insert(3, {nan}, Payload{}).ok());
  ASSERT_TRUE(index.insert(4, {1}, Payload{}).ok());
  auto hits = index.search({0}, 10);
  ASSERT_EQ(hits.size(), 4u);
  EXPECT_EQ(hits[0].id, 4u);
  EXPECT_EQ(hits[1].id, 2u);
  EXPECT_TRUE(std::isnan(hits[2].distance));
  EXPECT_TRUE(std::isnan(hits[3].distance));
  // A bounded k never prefers a NaN over a number.
  EXPECT_EQ(ids_of(index.search({0}, 2)), (std::vector<uint64_t>{4, 2}));
}

TEST(BruteForceIndex, RemoveHandsBackAndKeepsOthersFindable) {
  BruteForceIndex index(DistanceMetric::Euclidean, 2);
  for (uint64_t id = 0; id < 5; ++id) {
    ASSERT_TRUE(index.insert(id, {float(id), float(id)}, Payload{}).ok());
  }
  auto gone = index.remove(1);
  ASSERT_TRUE(gone.has_value());
  EXPECT_EQ(gone->vector, (std::vector<float>{1, 1}));
  EXPECT_FALSE(index.remove(1).has_value());
  EXPECT_FALSE(index.remove(99).has_value());
  EXPECT_EQ(index.len(), 4u);
  EXPECT_EQ(ids_of(index.search({4, 4}, 10)), (std::vector<uint64_t>{4, 3, 2, 0}));
  ASSERT_TRUE(index.insert(1, {9, 9}, Payload{}).ok());
  EXPECT_EQ(index.search({9, 9}, 1)[0].id, 1u);
}

// The bounded selection must give what sorting every distance and cutting
// to k gives, up to the order of equal distances.
TEST(BruteForceIndex, SelectionMatchesFullSort) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> small(-3, 3);  // many equal distances
  for (DistanceMetric m : {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                           DistanceMetric::DotProduct, DistanceMetric::Hamming}) {
    BruteForceIndex index(m, 5);
    std::vector<std::vector<float>> rows;
    for (uint64_t id = 0; id < 300; ++id) {
      std::vector<float> v(5);
      for (float& x : v) x = float(small(rng));
      rows.push_back(v);
      ASSERT_TRUE(index.insert(id, v, Payload{}).ok());
    }
    for (size_t k : {1u, 7u, 50u, 300u, 1000u}) {
      std::vector<float> q(5);
      for (float& x : q) x = float(small(rng));
      std::vector<float> all;
      for (const auto& r : rows) all.push_back(distance(m, q.data(), r.data(), 5));
      std::sort(all.begin(), all.end());
      all.resize(std::min(k, all.size()));
      auto hits = index.search(q, k);
      ASSERT_EQ(hits.size(), all.size());
      for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].distance, all[i]);
        EXPECT_EQ(hits[i].distance, distance(m, q.data(), rows[hits[i].id].data(), 5));
      }
    }
  }
}


// ---------------------------------------------------------------------------
// The blocked layout and the kernels, on every path the CPU runs.

constexpr KernelPath kPaths[] = {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512};
constexpr DistanceMetric kMetrics[] = {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                       DistanceMetric::DotProduct, DistanceMetric::Hamming};

bool same_distance(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

// What a search must give, by brute force with the scalar distance: the
// distances of the k nearest of `rows` (those `pass` admits), nearest first,
// NaNs last.
std::vector<float> expected_distances(DistanceMetric m, const std::vector<float>& q,
                                      const std::map<uint64_t, std::vector<float>>& rows,
                                      size_t k, const std::map<uint64_t, bool>* pass = nullptr) {
  std::vector<float> all;
  for (const auto& [id, v] : rows) {
    if (pass != nullptr && !pass->at(id)) continue;
    all.push_back(distance(m, q.data(), v.data(), q.size()));
  }
  std::stable_sort(all.begin(), all.end(), [](float a, float b) {
    if (std::isnan(a)) return false;
    return std::isnan(b) || a < b;
  });
  all.resize(std::min(k, all.size()));
  return all;
}

// Any correct answer passes: the distances in order, each hit's distance
// being its own row's, no identifier twice. Equal distances may come in any
// order and a tie at the cut may keep either row.
void expect_valid_hits(DistanceMetric m, const std::vector<float>& q,
                       const std::map<uint64_t, std::vector<float>>& rows, size_t k,
                       const std::vector<SearchResult>& hits,
                       const std::map<uint64_t, bool>* pass = nullptr) {
  const std::vector<float> want = expected_distances(m, q, rows, k, pass);
  ASSERT_EQ(hits.size(), want.size());
  std::vector<uint64_t> seen;
  for (size_t i = 0; i < hits.size(); ++i) {
    ASSERT_TRUE(same_distance(hits[i].distance, want[i]))
        << metric_name(m) << " position " << i << ": " << hits[i].distance << " vs " << want[i];
    auto row = rows.find(hits[i].id);
    ASSERT_NE(row, rows.end());
    if (pass != nullptr) {
      ASSERT_TRUE(pass->at(hits[i].id));
    }
    ASSERT_TRUE(same_distance(hits[i].distance, distance(m, q.data(), row->second.data(), q.size())));
    seen.push_back(hits[i].id);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

std::vector<float> random_vector(std::mt19937& rng, size_t dim, bool specials) {
  std::uniform_real_distribution<float> value(-10.0f, 10.0f);
  const float pick[] = {std::numeric_limits<float>::quiet_NaN(),
                        std::numeric_limits<float>::infinity(), -0.0f, 0.0f, 3e38f, 0.5f};
  std::vector<float> v(dim);
  for (float& x : v) x = specials && rng() % (4 * dim + 1) == 0 ? pick[rng() % 6] : value(rng);
  return v;
}

using PathMetric = std::tuple<KernelPath, DistanceMetric>;
class IndexPaths : public ::testing::TestWithParam<PathMetric> {
 protected:
  void SetUp() override {
    if (!kernel_path_supported(path())) GTEST_SKIP() << "not on this CPU";
  }
  KernelPath path() const { return std::get<0>(GetParam()); }
  DistanceMetric metric() const { return std::get<1>(GetParam()); }
};

TEST_P(IndexPaths, SearchAndBatchMatchScalarDistances) {
  std::mt19937 rng(3);
  for (size_t dim : {0u, 1u, 5u, 16u, 17u, 33u, 128u}) {
    for (size_t n : {1u, 15u, 16u, 17u, 100u, 257u}) {
      BruteForceIndex index(metric(), dim, path());
      ASSERT_EQ(index.kernel_path(), path());
      std::map<uint64_t, std::vector<float>> rows;
      for (size_t r = 0; r < n; ++r) {
        const uint64_t id = rng();
        std::vector<float> v = random_vector(rng, dim, true);
        if (!index.insert(id, v, Payload{}).ok()) continue;  // a repeated draw
        rows[id] = v;
      }
      std::vector<float> queries;
      const size_t nq = 11;
      for (size_t j = 0; j < nq; ++j) {
        std::vector<float> q = random_vector(rng, dim, j % 3 == 0);
        if (j == 1 && !rows.empty()) q = rows.begin()->second;  // a stored vector
        queries.insert(queries.end(), q.begin(), q.end());
      }
      for (size_t k : {size_t{1}, size_t{10}, n, kMaxId}) {
        auto batch = index.search_batch(queries.data(), nq, dim, k);
        ASSERT_EQ(batch.size(), nq);
        for (size_t j = 0; j < nq; ++j) {
          std::vector<float> q(queries.begin() + j * dim, queries.begin() + (j + 1) * dim);
          SCOPED_TRACE("dim=" + std::to_string(dim) + " n=" + std::to_string(n) +
                       " k=" + std::to_string(k) + " query=" + std::to_string(j));
          expect_valid_hits(metric(), q, rows, k, index.search(q, k));
          expect_valid_hits(metric(), q, rows, k, batch[j]);
        }
      }
    }
  }
}

// Random inserts and removes against a model: the swap with the last row
// must carry the vector, the payload, the norm and the identifier together,
// across block boundaries, down to an empty index and back.
TEST_P(IndexPaths, RemoveKeepsEveryRowFindable) {
  std::mt19937 rng(11);
  const size_t dim = 19;
  BruteForceIndex index(metric(), dim, path());
  std::map<uint64_t, std::vector<float>> rows;
  for (int step = 0; step < 1500; ++step) {
    const bool drain = step >= 1000 && step < 1200;
    if (!drain && (rows.size() < 40 || rng() % 3 != 0)) {
      const uint64_t id = rng() % 200;
      std::vector<float> v = random_vector(rng, dim, false);
      Payload p;
      p.data["id"] = json::Value(id);
      Status s = index.insert(id, v, std::move(p));
      ASSERT_EQ(s.ok(), rows.count(id) == 0);
      if (s.ok()) rows[id] = v;
    } else if (!rows.empty()) {
      auto it = rows.begin();
      std::advance(it, rng() % rows.size());
      auto gone = index.remove(it->first);
      ASSERT_TRUE(gone.has_value());
      EXPECT_EQ(gone->vector, it->second);
      EXPECT_EQ(gone->payload.data.at("id"), json::Value(it->first));
      rows.erase(it);
    }
    ASSERT_EQ(index.len(), rows.size());
    if (step % 50 == 0 || rows.size() <= 1) {
      std::vector<float> q = random_vector(rng, dim, false);
      auto hits = index.search(q, kMaxId);
      expect_valid_hits(metric(), q, rows, kMaxId, hits);
      for (const auto& h : hits) EXPECT_EQ(h.payload->data.at("id"), json::Value(h.id));
      for (const auto& [id, v] : rows) ASSERT_TRUE(index.contains(id));
    }
  }
}

// Blocks where every row passes, some rows pass, or none does: only the
// passing rows come back, with the same distances as without a filter.
TEST_P(IndexPaths, FilterAdmitsOnlyPassingRows) {
  std::mt19937 rng(5);
  const size_t dim = 21;
  BruteForceIndex index(metric(), dim, path());
  std::map<uint64_t, std::vector<float>> rows;
  std::map<uint64_t, bool> pass;
  for (uint64_t r = 0; r < 16 * 9 + 5; ++r) {
    const size_t block = r / 16;
    const bool keep = block % 3 == 0 ? true : block % 3 == 1 ? rng() % 4 == 0 : false;
    std::vector<float> v = random_vector(rng, dim, false);
    Payload p;
    if (keep) p.data["keep"] = json::Value(true);
    ASSERT_TRUE(index.insert(r, v, std::move(p)).ok());
    rows[r] = v;
    pass[r] = keep;
  }
  Filter keep{FilterCondition::exists("keep")};
  Filter none{FilterCondition::exists("absent")};
  std::vector<float> queries;
  for (int j = 0; j < 10; ++j) {
    std::vector<float> q = random_vector(rng, dim, false);
    queries.insert(queries.end(), q.begin(), q.end());
  }
  for (size_t k : {size_t{3}, size_t{40}, kMaxId}) {
    auto batch = index.search_batch(queries.data(), 10, dim, k, &keep);
    auto empty = index.search_batch(queries.data(), 10, dim, k, &none);
    for (size_t j = 0; j < 10; ++j) {
      std::vector<float> q(queries.begin() + j * dim, queries.begin() + (j + 1) * dim);
      expect_valid_hits(metric(), q, rows, k, index.search(q, k, &keep), &pass);
      expect_valid_hits(metric(), q, rows, k, batch[j], &pass);
      EXPECT_TRUE(empty[j].empty());
      EXPECT_TRUE(index.search(q, k, &none).empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllPaths, IndexPaths,
    ::testing::Combine(::testing::ValuesIn(kPaths), ::testing::ValuesIn(kMetrics)),
    [](const ::testing::TestParamInfo<PathMetric>& info) {
      return std::string(kernel_path_name(std::get<0>(info.param))) + "_" +
             std::string(metric_name(std::get<1>(info.param)));
    });

TEST(BruteForceIndex, BatchEdgeCases) {
  BruteForceIndex index(DistanceMetric::Euclidean, 2);
  const float queries[] = {0, 0, 1, 1, 2, 2};
  // Empty index, nothing stored yet: one empty list per query.
  auto none = index.search_batch(queries, 3, 2, 5);
  ASSERT_EQ(none.size(), 3u);
  for (auto& hits : none) EXPECT_TRUE(hits.empty());
  ASSERT_TRUE(index.insert(1, {1, 1}, Payload{}).ok());
  ASSERT_TRUE(index.insert(2, {2, 2}, Payload{}).ok());
  EXPECT_TRUE(index.search_batch(queries, 0, 2, 5).empty());
  for (auto& hits : index.search_batch(queries, 3, 2, 0)) EXPECT_TRUE(hits.empty());
  // Queries of another length: three floats each, all refused.
  auto wrong = index.search_batch(queries, 2, 3, 5);
  ASSERT_EQ(wrong.size(), 2u);
  EXPECT_TRUE(wrong[0].empty() && wrong[1].empty());
  auto all = index.search_batch(queries, 3, 2, kMaxId);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(ids_of(all[0]), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(ids_of(all[2]), (std::vector<uint64_t>{2, 1}));
  EXPECT_EQ(all[1][0].distance, 0.0f);
}

TEST(BruteForceIndex, DimensionZeroOnEveryPathAndMetric) {
  for (KernelPath path : kPaths) {
    for (DistanceMetric m : kMetrics) {
      BruteForceIndex index(m, 0, path);
      for (uint64_t id = 0; id < 20; ++id) ASSERT_TRUE(index.insert(id, {}, Payload{}).ok());
      auto hits = index.search_batch(nullptr, 2, 0, 30);
      ASSERT_EQ(hits.size(), 2u);
      ASSERT_EQ(hits[1].size(), 20u);
      const float want = distance(m, nullptr, nullptr, 0);
      for (const auto& h : hits[1]) EXPECT_TRUE(same_distance(h.distance, want));
      ASSERT_TRUE(index.remove(7).has_value());
      EXPECT_EQ(index.search(std::vector<float>{}, 30).size(), 19u);
    }
  }
}

// Identifiers that share their low or high bits, the extremes, and many of
// them: lookups, duplicates and removals all go through the identifier map.
TEST(BruteForceIndex, IdentifierMapUnderAwkwardIds) {
  BruteForceIndex index(DistanceMetric::Euclidean, 1);
  std::vector<uint64_t> ids = {0, 1, kMaxId, kMaxId - 1};
  for (uint64_t i = 1; i < 3000; ++i) ids.push_back(i << 32);
  for (uint64_t i = 2; i < 3000; ++i) ids.push_back(i * 1024);
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_TRUE(index.insert(ids[i], {float(i)}, Payload{}).ok()) << ids[i];
  }
  for (uint64_t id : ids) {
    ASSERT_TRUE(index.contains(id));
    Status dup = index.insert(id, {0.0f}, Payload{});
    ASSERT_FALSE(dup.ok());
    EXPECT_EQ(dup.error().kind(), Error::Kind::kDuplicateId);
  }
  EXPECT_FALSE(index.contains(2));
  for (size_t i = 0; i < ids.size(); i += 2) ASSERT_TRUE(index.remove(ids[i]).has_value());
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(index.contains(ids[i]), i % 2 == 1) << ids[i];
    if (i % 2 == 1) {
      auto hits = index.search({float(i)}, 1);
      ASSERT_EQ(hits.size(), 1u);
      EXPECT_EQ(hits[0].id, ids[i]);
    }
  }
  EXPECT_EQ(index.len(), ids.size() / 2);
}

// A Loader must leave the index exactly as inserting the same rows one by
// one, each replacing the row its identifier had (remove, then insert),
// would: same rows in the same order, so even the order of equal distances
// agrees. Cases cover partial and whole blocks, a segment boundary, rows
// already in the index (a partial block among them), identifiers repeated
// many times, identifiers that share their low bits, NaN components, cosine
// norms, and payloads.
struct LoadCase {
  const char* name;
  DistanceMetric metric;
  size_t dim;
  size_t before;  // rows inserted one by one before the run
  size_t rows;    // rows added by the run
  uint64_t distinct;  // identifiers drawn from this many (0: all different)
  int id_shift;       // identifiers are (i << id_shift)
  bool fractional = false;  // components with rounding in every sum, not small integers
};

class IndexLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(IndexLoad, MatchesInsertingOneByOne) {
  const LoadCase& c = GetParam();
  std::mt19937 rng(static_cast<uint32_t>(c.rows * 31 + c.dim));
  std::uniform_int_distribution<int> small(-8, 8);
  std::uniform_real_distribution<float> real(-1.0f, 1.0f);
  BruteForceIndex loaded(c.metric, c.dim);
  BruteForceIndex reference(c.metric, c.dim);

  auto make_row = [&](size_t i) {
    std::vector<float> v(c.dim);
    for (float& x : v) x = c.fractional ? real(rng) : float(small(rng));
    if (i % 97 == 5 && c.dim > 0) v[c.dim / 2] = std::numeric_limits<float>::quiet_NaN();
    return v;
  };
  auto make_payload = [](size_t i) {
    Payload p;
    if (i % 3 == 0) p.data["n"] = static_cast<uint64_t>(i);
    return p;
  };
  auto id_of = [&](size_t i) {
    const uint64_t k = c.distinct == 0 ? i : (i * 7919) % c.distinct;
    return k << c.id_shift;
  };
  for (size_t i = 0; i < c.before; ++i) {
    std::vector<float> v = make_row(i);
    ASSERT_TRUE(loaded.insert(id_of(i), v, make_payload(i)).ok());
    ASSERT_TRUE(reference.insert(id_of(i), v, make_payload(i)).ok());
  }
  {
    BruteForceIndex::Loader loader(loaded, c.rows);
    for (size_t i = c.before; i < c.before + c.rows; ++i) {
      std::vector<float> v = make_row(i);
      std::copy(v.begin(), v.end(), loader.row());
      loader.add(id_of(i), make_payload(i));
      reference.remove(id_of(i));
      ASSERT_TRUE(reference.insert(id_of(i), v, make_payload(i)).ok());
    }
  }
  ASSERT_EQ(loaded.len(), reference.len());

  // Every row, in full order, for a few queries; then the same after more
  // inserts and removals, which rely on the rows past the end being zero.
  auto same = [&](const char* when) {
    std::vector<float> queries;
    for (int q = 0; q < 3; ++q) {
      for (size_t i = 0; i < c.dim; ++i) queries.push_back(float(small(rng)));
    }
    auto a = loaded.search_batch(queries.data(), 3, c.dim, loaded.len() + 1);
    auto b = reference.search_batch(queries.data(), 3, c.dim, reference.len() + 1);
    for (size_t q = 0; q < 3; ++q) {
      ASSERT_EQ(a[q].size(), b[q].size()) << when;
      for (size_t r = 0; r < a[q].size(); ++r) {
        ASSERT_EQ(a[q][r].id, b[q][r].id) << when << " rank " << r;
        uint32_t da, db;
        std::memcpy(&da, &a[q][r].distance, 4);
        std::memcpy(&db, &b[q][r].distance, 4);
        if (std::isnan(a[q][r].distance)) {
          ASSERT_TRUE(std::isnan(b[q][r].distance)) << when << " rank " << r;
        } else {
          ASSERT_EQ(da, db) << when << " rank " << r;
        }
        ASSERT_EQ(a[q][r].payload->to_json(), b[q][r].payload->to_json()) << when;
      }
    }
  };
  same("after the run");
  for (size_t i = 0; i < 20; ++i) {
    const uint64_t id = id_of(i * 3);
    ASSERT_EQ(loaded.remove(id).has_value(), reference.remove(id).has_value());
    std::vector<float> v = make_row(i);
    const bool added = loaded.insert(id + 1, v, Payload{}).ok();
    ASSERT_EQ(added, reference.insert(id + 1, v, Payload{}).ok());
  }
  same("after later changes");
}

INSTANTIATE_TEST_SUITE_P(
    Runs, IndexLoad,
    ::testing::Values(LoadCase{"Empty", DistanceMetric::Euclidean, 3, 0, 0, 0, 0},
                      LoadCase{"OneRow", DistanceMetric::Euclidean, 3, 0, 1, 0, 0},
                      LoadCase{"PartialBlock", DistanceMetric::Cosine, 7, 0, 13, 0, 0},
                      LoadCase{"WholeBlocks", DistanceMetric::DotProduct, 16, 0, 64, 0, 0},
                      LoadCase{"PastSegment", DistanceMetric::Cosine, 5, 0, 4096 * 2 + 17, 0, 0},
                      LoadCase{"ManyRepeats", DistanceMetric::Cosine, 4, 0, 3000, 37, 0},
                      LoadCase{"RepeatsOfOne", DistanceMetric::Euclidean, 3, 0, 50, 1, 0},
                      LoadCase{"RepeatsAfterRows", DistanceMetric::Euclidean, 33, 21, 500, 40, 0},
                      LoadCase{"AfterWholeBlocks", DistanceMetric::DotProduct, 1, 32, 100, 45, 0},
                      LoadCase{"SharedLowBits", DistanceMetric::Euclidean, 2, 3, 2000, 600, 32},
                      LoadCase{"DimensionZero", DistanceMetric::Euclidean, 0, 2, 40, 9, 0},
                      LoadCase{"WideRows", DistanceMetric::Cosine, 130, 5, 300, 250, 4},
                      LoadCase{"FractionalCosine", DistanceMetric::Cosine, 37, 3, 700, 500, 0, true},
                      LoadCase{"FractionalL2", DistanceMetric::Euclidean, 64, 0, 300, 0, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BruteForceIndex, ReserveChangesNothingVisible) {
  BruteForceIndex index(DistanceMetric::Cosine, 3);
  ASSERT_TRUE(index.insert(4, {1, 0, 0}, Payload{}).ok());
  index.reserve(1000);
  index.reserve(10);
  ASSERT_TRUE(index.insert(5, {0, 1, 0}, Payload{}).ok());
  EXPECT_EQ(index.len(), 2u);
  EXPECT_EQ(ids_of(index.search({1, 0, 0}, 2)), (std::vector<uint64_t>{4, 5}));
  EXPECT_FALSE(index.insert(4, {1, 1, 1}, Payload{}).ok());
}


// ---------------------------------------------------------------------------
// The ordering rule and threads.

using Hits = std::vector<std::pair<uint64_t, uint32_t>>;  // id, distance bits

uint32_t bits_of(float d) {
  uint32_t b;
  std::memcpy(&b, &d, 4);
  return b;
}

Hits hits_of(const std::vector<SearchResult>& results) {
  Hits out;
  for (const auto& r : results) out.push_back({r.id, bits_of(r.distance)});
  return out;
}

// The rule by a plain sort of every distance: ascending, ties by id, NaNs
// last by id.
Hits reference(DistanceMetric m, const float* q, size_t dim,
               const std::vector<std::pair<uint64_t, std::vector<float>>>& rows,
               const std::vector<bool>* pass, size_t k) {
  std::vector<std::pair<float, uint64_t>> all;
  for (size_t r = 0; r < rows.size(); ++r) {
    if (pass != nullptr && !(*pass)[r]) continue;
    all.push_back({distance(m, q, rows[r].second.data(), dim), rows[r].first});
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    const bool an = std::isnan(a.first), bn = std::isnan(b.first);
    if (an != bn) return bn;
    if (!an && a.first != b.first) return a.first < b.first;
    return a.second < b.second;
  });
  all.resize(std::min(k, all.size()));
  Hits out;
  for (const auto& [d, id] : all) out.push_back({id, bits_of(d)});
  return out;
}

struct TieCase {
  const char* name;
  DistanceMetric metric;
  size_t dim;
  size_t rows;
  int values;       // components drawn from 0 .. values - 1 (few values, many ties)
  int nan_percent;  // rows holding a NaN component
};

void PrintTo(const TieCase& c, std::ostream* os) { *os << c.name; }

class TieRule : public ::testing::TestWithParam<TieCase> {};

// Whatever the insertion order (and the rows' order inside the index, which
// removes shuffle), every path gives the reference list, bit for bit.
TEST_P(TieRule, EveryPathGivesTheReferenceOrder) {
  const TieCase& c = GetParam();
  std::mt19937_64 rng(11);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<std::pair<uint64_t, std::vector<float>>> rows;
  std::vector<uint64_t> used;
  for (size_t r = 0; r < c.rows; ++r) {
    // Identifiers spread over the whole range, the extremes included.
    uint64_t id = r == 0 ? 0 : r == 1 ? kMaxId : rng();
    std::vector<float> v(c.dim);
    for (float& x : v) {
      x = float(int(rng() % c.values));
      if (x == 0.0f && rng() % 2) x = -0.0f;
    }
    if (c.dim > 0 && int(rng() % 100) < c.nan_percent) v[rng() % c.dim] = nan;
    rows.push_back({id, v});
  }
  std::vector<bool> pass(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) pass[r] = r % 3 != 1;
  Filter some{FilterCondition::exists("keep")};

  const size_t nq = 3;
  std::vector<float> queries(nq * c.dim);
  for (float& x : queries) x = float(int(rng() % std::max(c.values, 1)));
  ThreadPool pools[] = {ThreadPool(1), ThreadPool(2), ThreadPool(3), ThreadPool(4)};

  for (int order = 0; order < 3; ++order) {
    std::vector<size_t> perm(rows.size());
    for (size_t i = 0; i < perm.size(); ++i) perm[i] = i;
    std::shuffle(perm.begin(), perm.end(), rng);
    BruteForceIndex index(c.metric, c.dim);
    for (size_t i : perm) {
      Payload p;
      if (pass[i]) p.data["keep"] = json::Value(true);
      ASSERT_TRUE(index.insert(rows[i].first, rows[i].second, std::move(p)).ok());
    }
    // Remove and put back a few, which moves rows about.
    for (size_t i = 0; i < perm.size(); i += 7) {
      auto e = index.remove(rows[perm[i]].first);
      ASSERT_TRUE(e.has_value());
      ASSERT_TRUE(index.insert(rows[perm[i]].first, std::move(e->vector), std::move(e->payload)).ok());
    }
    for (const Filter* f : std::initializer_list<const Filter*>{nullptr, &some}) {
      std::vector<Hits> full;
      for (size_t j = 0; j < nq; ++j) {
        full.push_back(reference(c.metric, queries.data() + j * c.dim, c.dim, rows,
                                 f != nullptr ? &pass : nullptr, rows.size()));
      }
      for (size_t k : {size_t{0}, size_t{1}, size_t{2}, size_t{5}, size_t{300}, rows.size() + 3}) {
        if (k == rows.size() + 3 && rows.size() > 1000 && order > 0) continue;  // time
        std::vector<Hits> want;
        for (const Hits& h : full) want.emplace_back(h.begin(), h.begin() + std::min(k, h.size()));
        for (ThreadPool* pool : {static_cast<ThreadPool*>(nullptr), &pools[0], &pools[1], &pools[2], &pools[3]}) {
          auto batch = index.search_batch(queries.data(), nq, c.dim, k, f, pool);
          ASSERT_EQ(batch.size(), nq);
          for (size_t j = 0; j < nq; ++j) {
            const float* q = queries.data() + j * c.dim;
            ASSERT_EQ(hits_of(index.search(q, c.dim, k, f, pool)), want[j])
                << "order " << order << " k " << k << " query " << j;
            ASSERT_EQ(hits_of(batch[j]), want[j]) << "batch, order " << order << " k " << k;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TieRule,
    ::testing::Values(TieCase{"AllEqual", DistanceMetric::Euclidean, 3, 100, 1, 0},
                      TieCase{"AllNan", DistanceMetric::Euclidean, 2, 40, 3, 100},
                      TieCase{"FewValues", DistanceMetric::Euclidean, 4, 500, 3, 0},
                      TieCase{"FewValuesNans", DistanceMetric::DotProduct, 5, 600, 3, 30},
                      TieCase{"SignedZeros", DistanceMetric::DotProduct, 2, 300, 2, 5},
                      TieCase{"CosineTies", DistanceMetric::Cosine, 3, 400, 3, 10},
                      TieCase{"HammingTies", DistanceMetric::Hamming, 8, 500, 2, 10},
                      TieCase{"DimensionZero", DistanceMetric::Euclidean, 0, 50, 1, 0},
                      // Enough rows for a single query to be split over threads.
                      TieCase{"SplitRows", DistanceMetric::Euclidean, 16, 20000, 2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct SplitCase {
  const char* name;
  size_t dim;
  size_t rows;
  size_t nq;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class ThreadCounts : public ::testing::TestWithParam<SplitCase> {};

// Random data with NaNs and infinities: every thread count gives exactly
// what one thread gives, for every metric, filter and k.
TEST_P(ThreadCounts, IdenticalToOneThread) {
  const SplitCase& c = GetParam();
  std::mt19937 rng(23);
  ThreadPool pools[] = {ThreadPool(1), ThreadPool(2), ThreadPool(3), ThreadPool(4)};
  Filter half{FilterCondition::eq("half", json::Value(true))};
  Filter rare{FilterCondition::exists("rare")};
  Filter none{FilterCondition::exists("absent")};
  for (DistanceMetric m : kMetrics) {
    BruteForceIndex index(m, c.dim);
    for (uint64_t r = 0; r < c.rows; ++r) {
      Payload p;
      p.data["half"] = json::Value(rng() % 2 == 0);
      if (rng() % 100 == 0) p.data["rare"] = json::Value(1);
      ASSERT_TRUE(index.insert(r * 2654435761u, random_vector(rng, c.dim, true), std::move(p)).ok());
    }
    std::vector<float> queries;
    for (size_t j = 0; j < c.nq; ++j) {
      std::vector<float> q = random_vector(rng, c.dim, false);
      queries.insert(queries.end(), q.begin(), q.end());
    }
    for (const Filter* f : std::initializer_list<const Filter*>{nullptr, &half, &rare, &none}) {
      for (size_t k : {size_t{0}, size_t{1}, size_t{10}, c.rows + 3}) {
        auto one = index.search_batch(queries.data(), c.nq, c.dim, k, f);
        for (ThreadPool& pool : pools) {
          auto many = index.search_batch(queries.data(), c.nq, c.dim, k, f, &pool);
          ASSERT_EQ(many.size(), one.size());
          for (size_t j = 0; j < c.nq; ++j) {
            ASSERT_EQ(hits_of(many[j]), hits_of(one[j]))
                << metric_name(m) << " threads " << pool.threads() << " k " << k;
          }
          ASSERT_EQ(hits_of(index.search(queries.data(), c.dim, k, f, &pool)), hits_of(one[0]));

          // A stop that never stops changes nothing, and the work it is told
          // of covers every block once per query.
          size_t work = 0;
          SearchStop stop([&work](size_t w) {
            work += w;
            return false;
          });
          auto watched = index.search_batch(queries.data(), c.nq, c.dim, k, f, &pool, &stop);
          ASSERT_FALSE(stop.stopped());
          for (size_t j = 0; j < c.nq; ++j) ASSERT_EQ(hits_of(watched[j]), hits_of(one[j]));
          if (k > 0 && c.rows > 0) {
            ASSERT_EQ(work, (c.rows + kBlock - 1) / kBlock * kBlock * c.dim * c.nq);
          }
        }
      }
    }
  }
}

// A stop asked for at the first report ends the search: no further report
// is asked for, on any thread, and every list comes back empty.
TEST(BruteForceIndex, SearchStopEndsTheScan) {
  std::mt19937 rng(5);
  BruteForceIndex index(DistanceMetric::Euclidean, 32);
  for (uint64_t r = 0; r < 20000; ++r) ASSERT_TRUE(index.insert(r, random_vector(rng, 32, false), {}).ok());
  std::vector<float> queries;
  for (size_t j = 0; j < 24; ++j) {
    std::vector<float> q = random_vector(rng, 32, false);
    queries.insert(queries.end(), q.begin(), q.end());
  }
  ThreadPool two(2);
  for (ThreadPool* pool : {static_cast<ThreadPool*>(nullptr), &two}) {
    for (size_t stop_at : {size_t{1}, size_t{3}}) {
      size_t asks = 0;
      SearchStop stop([&](size_t) { return ++asks == stop_at; });
      auto got = index.search_batch(queries.data(), 24, 32, 10, nullptr, pool, &stop);
      EXPECT_TRUE(stop.stopped());
      EXPECT_EQ(asks, stop_at);
      ASSERT_EQ(got.size(), 24u);
      for (const auto& list : got) EXPECT_TRUE(list.empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ThreadCounts,
    ::testing::Values(SplitCase{"Empty", 8, 0, 3}, SplitCase{"OneRow", 8, 1, 3},
                      SplitCase{"FewRowsManyQueries", 64, 17, 300},
                      SplitCase{"RowsSplit", 64, 3000, 1},
                      SplitCase{"RowsSplitBatch", 32, 3000, 20},
                      SplitCase{"PastSegment", 16, 9000, 2},
                      // Enough rows for the filter to be evaluated in parts.
                      SplitCase{"FilterSplit", 4, 70000, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BruteForceIndex, GetCopiesAndIdsAscend) {
  BruteForceIndex index(DistanceMetric::Euclidean, 2);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Payload p;
  p.data["a"] = json::Value(1);
  ASSERT_TRUE(index.insert(kMaxId, {nan, -0.0f}, p).ok());
  ASSERT_TRUE(index.insert(5, {1, 2}, Payload{}).ok());
  ASSERT_TRUE(index.insert(0, {3, 4}, Payload{}).ok());
  EXPECT_EQ(index.ids(), (std::vector<uint64_t>{0, 5, kMaxId}));
  auto got = index.get(kMaxId);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(bits_of(got->vector[0]), bits_of(nan));
  EXPECT_EQ(bits_of(got->vector[1]), bits_of(-0.0f));
  EXPECT_EQ(got->payload.data.at("a"), json::Value(1));
  EXPECT_FALSE(index.get(7).has_value());
  index.remove(5);
  EXPECT_EQ(index.ids(), (std::vector<uint64_t>{0, kMaxId}));
  EXPECT_EQ(index.get(0)->vector, (std::vector<float>{3, 4}));
  EXPECT_TRUE(index.get(0)->payload.empty());
}

}  // namespace
}  // namespace varnel::index

namespace varnel::index {
namespace {

// rows() and matching_ids() give the passing rows by ascending id, whatever
// the insertion order and the removals (which move rows), and the vectors
// bit for bit as get() gives them; the two copying paths (few rows gathered,
// many copied block by block) agree.
TEST(BruteForceIndex, RowsComeByAscendingIdWithTheirParts) {
  BruteForceIndex index(DistanceMetric::Euclidean, 3);
  std::vector<uint64_t> order;
  for (uint64_t i = 0; i < 70; ++i) order.push_back((i * 37) % 70 + 1);
  for (uint64_t id : order) {
    Payload p;
    p.data["odd"] = json::Value(id % 2 == 1);
    p.data["id"] = json::Value(id);
    ASSERT_TRUE(index.insert(id, {float(id), float(id) + 0.5f, -float(id)}, p).ok());
  }
  index.remove(4);
  index.remove(69);
  const Filter odd{FilterCondition::eq("odd", json::Value(true))};
  struct Case {
    const Filter* filter;
    RowRequest request;
    uint64_t first, step;
    size_t n;
  } cases[] = {
      {nullptr, {0, SIZE_MAX, true, true, true}, 1, 1, 68},  // every row but 4, 69
      {&odd, {0, SIZE_MAX, true, true, true}, 1, 2, 34},
      {&odd, {3, 2, true, true, true}, 7, 2, 2},             // a page: few rows
      {&odd, {40, 5, true, false, false}, 0, 0, 0},          // past the end
      {nullptr, {0, 0, true, true, true}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Rows rows = index.rows(c.filter, c.request);
    std::vector<uint64_t> want;
    for (uint64_t id = c.first; want.size() < c.n; id += c.step) {
      if (id != 4 && id != 69) want.push_back(id);
    }
    EXPECT_EQ(rows.ids, want);
    EXPECT_EQ(index.count(c.filter), c.filter == nullptr ? 68u : 34u);
    std::string text;
    for (size_t i = 0; i < want.size(); ++i) {
      std::optional<VectorEntry> e = index.get(want[i]);
      if (c.request.vectors) {
        EXPECT_EQ(std::memcmp(rows.vectors.get() + 3 * i, e->vector.data(), 12), 0) << want[i];
      }
      if (c.request.payloads) {
        EXPECT_EQ(rows.payloads[i].data, e->payload.data);
      }
      if (c.request.payload_text) {
        text += "{\"id\":" + std::to_string(want[i]) + ",\"odd\":" + (want[i] % 2 ? "true" : "false") + "}";
        EXPECT_EQ(rows.text_ends[i], text.size());
      }
    }
    if (c.request.payload_text) {
      EXPECT_EQ(rows.text, text);
    }
  }
  // A pool splits the copying over its threads with the same rows, the
  // big index's vectors in several parts, the small one's beside its text.
  ThreadPool pool(3);
  BruteForceIndex big(DistanceMetric::Euclidean, 8);
  for (uint64_t i = 0; i < 20000; ++i) {
    const uint64_t id = (i * 7919) % 20000;
    std::vector<float> v(8);
    for (size_t c = 0; c < 8; ++c) v[c] = float(id * 8 + c);
    ASSERT_TRUE(big.insert(id, std::move(v), Payload{}).ok());
  }
  for (const BruteForceIndex* x : {&index, &big}) {
    for (RowRequest request : {RowRequest{0, SIZE_MAX, true, false, true}, RowRequest{5, 3, true, false, true}}) {
      Rows alone = x->rows(nullptr, request);
      Rows split = x->rows(nullptr, request, &pool);
      ASSERT_EQ(alone.ids, split.ids);
      EXPECT_EQ(std::memcmp(alone.vectors.get(), split.vectors.get(), alone.ids.size() * x->dimension() * 4), 0);
      EXPECT_EQ(alone.text, split.text);
    }
  }
  Rows all = big.rows(nullptr, RowRequest{0, SIZE_MAX, true, false, false}, &pool);
  for (size_t i = 0; i < all.ids.size(); ++i) {
    ASSERT_EQ(all.ids[i], i);
    ASSERT_EQ(all.vectors[i * 8 + 7], float(i * 8 + 7));
  }

  std::vector<uint64_t> odd_ids = index.matching_ids(&odd);
  EXPECT_EQ(odd_ids.size(), 34u);
  EXPECT_TRUE(std::is_sorted(odd_ids.begin(), odd_ids.end()));
  EXPECT_EQ(index.matching_ids(nullptr), index.ids());
}

}  // namespace
}  // namespace varnel::index
