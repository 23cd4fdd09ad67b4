// The pruned search against the full scan of the same index. The input picks
// the metric, dimension, k, the shape of the data (clusters, their spread,
// the magnitude) and a seed; its remaining bytes are float bit patterns
// written over components of rows and queries, so the fuzzer can place
// NaN, infinities, subnormals and near ties wherever it likes. Property: the
// same ids in the same order with the same distance bits (NaN for NaN), with
// and without a filter, after inserts, a Loader run and removals.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "filter.h"
#include "fuzz_util.h"
#include "index/brute_force.h"

using namespace varnel;
using namespace varnel::index;

namespace {

// Enough rows for the pruned scan to start (it skips small parts).
constexpr size_t kRows = 4400;

bool same_bits(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const DistanceMetric metric = static_cast<DistanceMetric>(data[0] % 3);
  const size_t dim = kPruneMinDim + data[1] % 24;
  const size_t k = 1 + data[2] % 40;
  const size_t centres = 1 + data[3] % 64;
  const float spread = std::ldexp(1.0f, -(data[4] % 12));
  const float scale = std::ldexp(1.0f, static_cast<int>(data[5] % 160) - 80);
  std::mt19937 rng(data[6] | data[7] << 8);
  data += 8;
  size -= 8;

  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> c(centres * dim);
  for (float& x : c) x = g(rng) * scale;
  std::vector<float> rows(kRows * dim);
  for (size_t r = 0; r < kRows; ++r) {
    const float* at = c.data() + rng() % centres * dim;
    for (size_t i = 0; i < dim; ++i) rows[r * dim + i] = at[i] + g(rng) * spread * scale;
  }
  // Queries: moved copies of rows; then the input's floats, 6 bytes each:
  // a place (u16) and a bit pattern, into rows or (place % 8 == 0) queries.
  std::vector<float> queries(4 * dim);
  for (size_t q = 0; q < 4; ++q) {
    const size_t r = rng() % kRows;
    for (size_t i = 0; i < dim; ++i) queries[q * dim + i] = rows[r * dim + i] * (1 + 0.001f * g(rng));
  }
  for (size_t o = 0; o + 6 <= size; o += 6) {
    uint16_t place;
    float value;
    std::memcpy(&place, data + o, 2);
    std::memcpy(&value, data + o + 2, 4);
    if (place % 8 == 0) {
      queries[place / 8 % queries.size()] = value;
    } else {
      // Copies of the value along a row give near ties; one component only
      // gives a lone outlier.
      const size_t r = place % kRows;
      rows[r * dim + place % dim] = value;
      if (place % 5 == 0) std::memcpy(rows.data() + (r + 1) % kRows * dim, rows.data() + r * dim, dim * 4);
    }
  }

  BruteForceIndex index(metric, dim);
  auto payload = [](size_t r) {
    Payload p;
    if (r % 3 != 0) p.data["keep"] = true;
    return p;
  };
  for (size_t r = 0; r < kRows / 2; ++r) {
    if (!index.insert(r, rows.data() + r * dim, dim, payload(r)).ok()) fuzz::fail("insert");
  }
  {
    BruteForceIndex::Loader loader(index, kRows - kRows / 2);
    for (size_t r = kRows / 2; r < kRows; ++r) {
      std::memcpy(loader.row(), rows.data() + r * dim, dim * 4);
      loader.add(r, payload(r));
    }
  }
  for (size_t r = 0; r < kRows; r += 1 + rng() % 50) index.remove(r);

  Filter keep{FilterCondition::exists("keep")};
  for (const Filter* f : {static_cast<const Filter*>(nullptr), static_cast<const Filter*>(&keep)}) {
    for (size_t q = 0; q < 4; ++q) {
      index.set_pruning(false);
      const auto want = index.search(queries.data() + q * dim, dim, k, f);
      index.set_pruning(true);
      const auto got = index.search(queries.data() + q * dim, dim, k, f);
      if (got.size() != want.size()) fuzz::fail("result lengths differ");
      for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].id != want[i].id) fuzz::fail("ids differ");
        if (!same_bits(got[i].distance, want[i].distance)) fuzz::fail("distances differ");
      }
    }
  }
  return 0;
}
