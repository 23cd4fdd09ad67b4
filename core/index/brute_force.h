// BruteForceIndex: exact k-nearest-neighbour search by comparing the query
// with every stored vector. No approximation, no persistence, no locking: the
// owner provides exclusion (shared for search and len, exclusive otherwise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "distance.h"
#include "payload.h"
#include "result.h"

namespace varnel {

struct Filter;

namespace index {

struct VectorEntry {
  std::vector<float> vector;
  Payload payload;
};

struct SearchResult {
  uint64_t id = 0;
  float distance = 0.0f;
  std::optional<Payload> payload;
};

// Ordering of results: ascending distance by IEEE less-than; results with a
// NaN distance come after every number; the order among equal distances is
// not specified.
class BruteForceIndex {
 public:
  BruteForceIndex(DistanceMetric metric, size_t dimension);

  // Takes the vector and payload. DimensionMismatch when the length differs
  // from the dimension (checked first), DuplicateId when `id` is present;
  // on error the index is unchanged.
  Status insert(uint64_t id, std::vector<float> vector, Payload payload);
  // The same, reading `len` floats at `vector` (copied into the index).
  Status insert(uint64_t id, const float* vector, size_t len, Payload payload);

  // The k nearest entries that pass `filter` (all when null), nearest first,
  // each with a copy of its payload. A query of the wrong length gives none.
  std::vector<SearchResult> search(const float* query, size_t query_len, size_t k,
                                   const Filter* filter = nullptr) const;
  std::vector<SearchResult> search(const std::vector<float>& query, size_t k,
                                   const Filter* filter = nullptr) const {
    return search(query.data(), query.size(), k, filter);
  }

  // Takes the entry out and gives it back; nothing when `id` is absent.
  std::optional<VectorEntry> remove(uint64_t id);

  size_t len() const { return ids_.size(); }
  bool contains(uint64_t id) const { return row_of_.count(id) != 0; }
  size_t dimension() const { return dimension_; }
  DistanceMetric metric() const { return metric_; }

 private:
  DistanceMetric metric_;
  size_t dimension_;
  std::vector<float> rows_;            // len() * dimension_ floats, row r at r * dimension_
  std::vector<uint64_t> ids_;          // ids_[r] is the identifier of row r
  std::vector<Payload> payloads_;      // payloads_[r] belongs to row r
  std::unordered_map<uint64_t, size_t> row_of_;  // identifier -> row, for every row
};

}  // namespace index
}  // namespace varnel
