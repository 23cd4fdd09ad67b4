#include "index/brute_force.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace varnel::index {
namespace {

constexpr uint64_t kMaxId = std::numeric_limits<uint64_t>::max();

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

}  // namespace
}  // namespace varnel::index
