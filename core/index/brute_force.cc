#include "index/brute_force.h"

#include <algorithm>
#include <cmath>
#include <queue>

#include "filter.h"

namespace varnel::index {
namespace {

// The one ordering of hits: by IEEE less-than on the distance, with NaN
// placed after every number (NaNs compare equal among themselves).
inline bool nearer(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a < b;
}

struct Hit {
  float distance;
  size_t row;
};

struct HitNearer {
  bool operator()(const Hit& a, const Hit& b) const { return nearer(a.distance, b.distance); }
};

}  // namespace

BruteForceIndex::BruteForceIndex(DistanceMetric metric, size_t dimension)
    : metric_(metric), dimension_(dimension) {}

Status BruteForceIndex::insert(uint64_t id, std::vector<float> vector, Payload payload) {
  return insert(id, vector.data(), vector.size(), std::move(payload));
}

Status BruteForceIndex::insert(uint64_t id, const float* vector, size_t len, Payload payload) {
  if (len != dimension_) return Error::dimension_mismatch(dimension_, len);
  auto [it, inserted] = row_of_.try_emplace(id, ids_.size());
  if (!inserted) return Error::duplicate_id(id);
  rows_.insert(rows_.end(), vector, vector + len);
  ids_.push_back(id);
  payloads_.push_back(std::move(payload));
  return {};
}

std::optional<VectorEntry> BruteForceIndex::remove(uint64_t id) {
  auto it = row_of_.find(id);
  if (it == row_of_.end()) return std::nullopt;
  const size_t row = it->second;
  row_of_.erase(it);

  VectorEntry entry;
  const float* begin = rows_.data() + row * dimension_;
  entry.vector.assign(begin, begin + dimension_);
  entry.payload = std::move(payloads_[row]);

  // Keep the rows dense: the last row moves into the freed slot.
  const size_t last = ids_.size() - 1;
  if (row != last) {
    std::copy_n(rows_.data() + last * dimension_, dimension_, rows_.data() + row * dimension_);
    ids_[row] = ids_[last];
    payloads_[row] = std::move(payloads_[last]);
    row_of_[ids_[row]] = row;
  }
  rows_.resize(last * dimension_);
  ids_.pop_back();
  payloads_.pop_back();
  return entry;
}

std::vector<SearchResult> BruteForceIndex::search(const float* query, size_t query_len, size_t k,
                                                  const Filter* filter) const {
  std::vector<SearchResult> results;
  if (query_len != dimension_ || k == 0 || ids_.empty()) return results;

  // Bounded selection: a max-heap (farthest on top) of at most k hits.
  const size_t keep = std::min(k, ids_.size());
  std::vector<Hit> heap;
  heap.reserve(keep);
  HitNearer order;
  for (size_t row = 0; row < ids_.size(); ++row) {
    if (filter != nullptr && !filter->matches(payloads_[row])) continue;
    const float d = distance(metric_, query, rows_.data() + row * dimension_, dimension_);
    if (heap.size() < keep) {
      heap.push_back({d, row});
      std::push_heap(heap.begin(), heap.end(), order);
    } else if (nearer(d, heap.front().distance)) {
      std::pop_heap(heap.begin(), heap.end(), order);
      heap.back() = {d, row};
      std::push_heap(heap.begin(), heap.end(), order);
    }
  }
  std::sort_heap(heap.begin(), heap.end(), order);

  results.reserve(heap.size());
  for (const Hit& hit : heap) {
    results.push_back({ids_[hit.row], hit.distance, payloads_[hit.row]});
  }
  return results;
}

}  // namespace varnel::index
