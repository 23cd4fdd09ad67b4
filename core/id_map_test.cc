#include "id_map.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace varnel {
namespace {

constexpr uint64_t kMaxId = std::numeric_limits<uint64_t>::max();

// Random inserts, puts, sets and erases over one set of identifiers, each
// checked against a standard map; every identifier is looked up after
// every round. The sets are the shapes that trouble open addressing: runs
// of neighbours, identifiers equal in their low bits, and the extremes.
struct IdSet {
  const char* name;
  std::vector<uint64_t> ids;
};

std::vector<uint64_t> ids_from(uint64_t count, uint64_t step, uint64_t first = 0) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < count; ++i) out.push_back(first + i * step);
  return out;
}

class IdMapSets : public ::testing::TestWithParam<IdSet> {};

TEST_P(IdMapSets, AgreesWithAStandardMap) {
  const std::vector<uint64_t>& ids = GetParam().ids;
  std::mt19937_64 rng(ids.size());
  IdMap map;
  std::unordered_map<uint64_t, uint64_t> model;
  EXPECT_EQ(map.find(ids[0]), IdMap::kAbsent);  // a map that never held anything
  EXPECT_FALSE(map.erase(ids[0]));
  for (int round = 0; round < 6; ++round) {
    for (size_t n = 0; n < ids.size() * 2; ++n) {
      const uint64_t id = ids[rng() % ids.size()];
      // The last round stores the largest value a map can hold.
      const uint64_t value = round == 5 ? IdMap::kAbsent - 1 : rng() % 1000;
      const bool present = model.count(id) != 0;
      switch (rng() % 4) {
        case 0:
          ASSERT_EQ(map.insert(id, value), !present);
          if (!present) model[id] = value;
          break;
        case 1:
          map.put(id, value);
          model[id] = value;
          break;
        case 2:
          if (present) {
            map.set(id, value);
            model[id] = value;
          }
          break;
        default:
          ASSERT_EQ(map.erase(id), present);
          model.erase(id);
          break;
      }
    }
    ASSERT_EQ(map.size(), model.size());
    for (uint64_t id : ids) {
      auto it = model.find(id);
      ASSERT_EQ(map.find(id), it == model.end() ? IdMap::kAbsent : it->second) << id;
      ASSERT_EQ(map.contains(id), it != model.end());
    }
    if (round == 2) map.reserve(ids.size() * 3);  // growing keeps every entry
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, IdMapSets,
    ::testing::Values(IdSet{"Neighbours", ids_from(3000, 1)},
                      IdSet{"SameLowBits", ids_from(2000, uint64_t{1} << 32, 5)},
                      IdSet{"SameRun", ids_from(1500, 16)},
                      IdSet{"Extremes", {0, 1, kMaxId, kMaxId - 1, uint64_t{1} << 63}},
                      IdSet{"FewScattered", ids_from(40, 0x9e3779b97f4a7c15ull)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IdMap, ReserveAheadKeepsEntriesAndFindsFreeSlots) {
  IdMap map;
  map.reserve(100000);
  for (uint64_t i = 0; i < 100000; ++i) ASSERT_TRUE(map.insert(i * 3, i));
  map.reserve(10);  // never shrinks
  EXPECT_EQ(map.size(), 100000u);
  for (uint64_t i = 0; i < 100000; ++i) {
    ASSERT_EQ(map.find(i * 3), i);
    ASSERT_FALSE(map.contains(i * 3 + 1));
  }
}

}  // namespace
}  // namespace varnel
