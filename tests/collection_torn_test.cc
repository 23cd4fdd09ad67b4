// A collection whose log or data file ends inside a frame or record, as a
// killed writer leaves them: every cut must open, keep every complete frame
// and record before it, and accept new inserts that the next open finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "collection.h"
#include "storage_test_util.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using storage::testing::read_bytes;
using storage::testing::TempDir;
using storage::testing::write_bytes;

constexpr size_t kDim = 2;
constexpr uint64_t kRecordBytes = 17 + 4 * kDim + 11;

CollectionConfig config() { return {kDim, DistanceMetric::Euclidean, storage::SyncPolicy::kBatch}; }

std::vector<float> vector_of(uint64_t id) { return {float(id) * 1.5f, -float(id)}; }

std::set<uint64_t> stored_ids(const Collection& c) {
  std::set<uint64_t> out;
  for (const auto& hit : c.search(std::vector<float>(kDim, 0.0f), 1000)) out.insert(hit.id);
  return out;
}

// Every id in the collection must come back at distance 0 from its vector.
void expect_bit_exact(const Collection& c, const std::set<uint64_t>& ids) {
  for (uint64_t id : ids) {
    auto hits = c.search(vector_of(id), 1);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits[0].distance, 0.0f) << "id " << id;
  }
}

struct Files {
  std::string meta, wal, data;
};

// Five flushed inserts, five more logged and written out by the drop.
Files make_collection(const fs::path& dir) {
  auto c = Collection::open_or_create(dir, config());
  EXPECT_TRUE(c.ok());
  for (uint64_t id = 0; id < 5; ++id) EXPECT_TRUE(c.value()->insert(id, vector_of(id), {}).ok());
  EXPECT_TRUE(c.value()->flush().ok());
  for (uint64_t id = 5; id < 10; ++id) EXPECT_TRUE(c.value()->insert(id, vector_of(id), {}).ok());
  c.value().reset();
  return {read_bytes(dir / "meta.json"), read_bytes(dir / "wal.log"), read_bytes(dir / "data.vnl")};
}

// Frame ends of the log, in order.
std::vector<size_t> frame_ends(const std::string& wal) {
  std::vector<size_t> ends;
  size_t pos = 0;
  while (pos + 8 <= wal.size()) {
    uint32_t n = static_cast<unsigned char>(wal[pos + 4]) |
                 static_cast<unsigned char>(wal[pos + 5]) << 8;
    pos += 8 + n;
    ends.push_back(pos);
  }
  return ends;
}

void check_reopen(const fs::path& dir, const std::set<uint64_t>& want, const std::string& what) {
  {
    auto c = Collection::open_or_create(dir, config());
    ASSERT_TRUE(c.ok()) << what << ": " << c.error().message();
    EXPECT_EQ(stored_ids(*c.value()), want) << what;
    expect_bit_exact(*c.value(), want);
    // What is appended after the cut must be found by the next open.
    ASSERT_TRUE(c.value()->insert(100, vector_of(100), {}).ok());
  }
  auto again = Collection::open_or_create(dir, config());
  ASSERT_TRUE(again.ok()) << what << " (second open): " << again.error().message();
  std::set<uint64_t> with_new = want;
  with_new.insert(100);
  EXPECT_EQ(stored_ids(*again.value()), with_new) << what << " (second open)";
}

TEST(CollectionTorn, LogCutAtEveryByte) {
  TempDir src;
  Files files = make_collection(src.path());
  const std::string flushed_data = files.data.substr(0, 5 * kRecordBytes);
  const auto ends = frame_ends(files.wal);
  ASSERT_EQ(ends.size(), 5u);
  for (size_t cut = 0; cut <= files.wal.size(); ++cut) {
    TempDir dir;
    write_bytes(dir / "meta.json", files.meta);
    write_bytes(dir / "data.vnl", flushed_data);
    write_bytes(dir / "wal.log", files.wal.substr(0, cut));
    std::set<uint64_t> want = {0, 1, 2, 3, 4};
    for (size_t f = 0; f < ends.size(); ++f) {
      if (ends[f] <= cut) want.insert(5 + f);
    }
    check_reopen(dir.path(), want, "log cut at " + std::to_string(cut));
  }
}

TEST(CollectionTorn, DataCutAtEveryByte) {
  TempDir src;
  Files files = make_collection(src.path());
  ASSERT_EQ(files.data.size(), 5 * kRecordBytes);  // the flushed ones; the log holds the rest
  for (size_t cut = 0; cut <= files.data.size(); ++cut) {
    TempDir dir;
    write_bytes(dir / "meta.json", files.meta);
    write_bytes(dir / "data.vnl", files.data.substr(0, cut));
    write_bytes(dir / "wal.log", "");
    std::set<uint64_t> want;
    for (uint64_t id = 0; id < 5; ++id) {
      if ((id + 1) * kRecordBytes <= cut) want.insert(id);
    }
    check_reopen(dir.path(), want, "data cut at " + std::to_string(cut));
  }
}

TEST(CollectionTorn, DamageInsideDataFileIsReportedNotBuiltOn) {
  TempDir dir;
  Files files = make_collection(dir.path());
  std::string data = files.data;
  data[kRecordBytes + 17 + 4 * kDim + 2] = '#';  // second record's payload text
  write_bytes(dir / "data.vnl", data);
  auto c = Collection::open_or_create(dir.path(), config());
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().message().rfind("collection error: data file damaged: offset 36: ", 0), 0u)
      << c.error().message();
  EXPECT_EQ(read_bytes(dir / "data.vnl"), data);  // nothing appended after the damage
}

}  // namespace
}  // namespace varnel
