#include "collection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <limits>
#include <map>
#include <random>

#include "filter.h"
#include "storage_test_util.h"
#include "thread_pool.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using storage::SyncPolicy;
using storage::Wal;
using storage::WalEntryKind;
using storage::testing::read_bytes;
using storage::testing::TempDir;
using storage::testing::write_bytes;

CollectionConfig config(size_t dim, DistanceMetric metric = DistanceMetric::Euclidean) {
  return CollectionConfig{dim, metric, SyncPolicy::kBatch};
}

std::shared_ptr<Collection> open(const fs::path& dir, CollectionConfig cfg) {
  auto c = Collection::open_or_create(dir, cfg);
  EXPECT_TRUE(c.ok()) << (c.ok() ? "" : c.error().message());
  return c.ok() ? std::move(c.value()) : nullptr;
}

std::string open_error(const fs::path& dir, CollectionConfig cfg) {
  auto c = Collection::open_or_create(dir, cfg);
  return c.ok() ? "opened" : c.error().message();
}

std::vector<uint64_t> ids(const Collection& c, std::vector<float> query, size_t k = 100) {
  std::vector<uint64_t> out;
  for (const auto& hit : c.search(query, k)) out.push_back(hit.id);
  std::sort(out.begin(), out.end());
  return out;
}

float nearest_distance(const Collection& c, std::vector<float> query) {
  auto hits = c.search(query, 1);
  return hits.empty() ? -1.0f : hits[0].distance;
}

TEST(Collection, NewDirectoryGetsSixLineMeta) {
  TempDir tmp;
  auto c = open(tmp / "a/b", config(3, DistanceMetric::DotProduct));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(read_bytes(tmp / "a/b/meta.json"),
            "{\n  \"dimension\": 3,\n  \"metric\": \"DotProduct\",\n  \"vector_count\": 0,\n"
            "  \"next_id\": 1\n}");
  EXPECT_TRUE(fs::exists(tmp / "a/b/wal.log"));
  EXPECT_TRUE(fs::exists(tmp / "a/b/data.vnl"));
  for (const auto& entry : fs::directory_iterator(tmp / "a/b")) {
    EXPECT_EQ(entry.path().filename().string().find("meta.json.tmp"), std::string::npos);
  }
  EXPECT_EQ(c->next_id(), 1u);
}

TEST(Collection, FlushThenReopenKeepsEverything) {
  TempDir tmp;
  {
    auto c = open(tmp.path(), config(2));
    ASSERT_TRUE(c->insert(3, {1, 1}, Payload{}).ok());
    ASSERT_TRUE(c->insert(7, {2, 2}, Payload{}).ok());
    ASSERT_TRUE(c->insert(3, {5, 5}, Payload{}).ok());  // upsert
    EXPECT_EQ(nearest_distance(*c, {5, 5}), 0.0f);
    ASSERT_TRUE(c->flush().ok());
    EXPECT_EQ(fs::file_size(tmp / "wal.log"), 0u);
    EXPECT_EQ(read_bytes(tmp / "meta.json"),
              "{\n  \"dimension\": 2,\n  \"metric\": \"Euclidean\",\n  \"vector_count\": 2,\n"
              "  \"next_id\": 8\n}");
    ASSERT_TRUE(c->flush().ok());  // a second flush is harmless
  }
  auto c = open(tmp.path(), config(2));
  EXPECT_EQ(ids(*c, {0, 0}), (std::vector<uint64_t>{3, 7}));
  EXPECT_EQ(nearest_distance(*c, {5, 5}), 0.0f);  // the newer record of id 3 wins
  EXPECT_EQ(c->next_id(), 8u);
}

TEST(Collection, DropWithoutFlushReplaysLogOnEachOpen) {
  TempDir tmp;
  {
    auto c = open(tmp.path(), config(2));
    for (uint64_t id = 0; id < 10; ++id) ASSERT_TRUE(c->insert(id, {float(id), 0}, {}).ok());
  }
  // Writes only log; the data file waits for a flush.
  EXPECT_EQ(fs::file_size(tmp / "data.vnl"), 0u);
  const std::string log = read_bytes(tmp / "wal.log");
  for (int round = 1; round <= 2; ++round) {
    {
      auto c = open(tmp.path(), config(2));
      EXPECT_EQ(c->len(), 10u);
      EXPECT_EQ(c->next_id(), 10u);
      EXPECT_EQ(nearest_distance(*c, {9, 0}), 0.0f);
    }
    // An open replays the log into memory only: neither file changes.
    EXPECT_EQ(fs::file_size(tmp / "data.vnl"), 0u);
    EXPECT_EQ(read_bytes(tmp / "wal.log"), log);
  }
}

TEST(Collection, WrongLengthInsertTouchesNothing) {
  TempDir tmp;
  auto c = open(tmp.path(), config(3));
  ASSERT_TRUE(c->insert(1, {1, 2, 3}, {}).ok());
  ASSERT_TRUE(c->flush().ok());
  Status bad = c->insert(1, {1, 2}, {});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(fs::file_size(tmp / "wal.log"), 0u);
  EXPECT_EQ(nearest_distance(*c, {1, 2, 3}), 0.0f);
  Status big = c->insert(std::numeric_limits<uint64_t>::max(), {1, 2, 3, 4}, {});
  EXPECT_FALSE(big.ok());
  EXPECT_EQ(c->next_id(), 2u);
  c.reset();
  EXPECT_NE(open(tmp.path(), config(3)), nullptr);
}

TEST(Collection, LargestIdSaturatesNextId) {
  TempDir tmp;
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  {
    auto c = open(tmp.path(), config(1));
    ASSERT_TRUE(c->insert(max, {1}, {}).ok());
    EXPECT_EQ(c->next_id(), max);
    ASSERT_TRUE(c->flush().ok());
  }
  EXPECT_NE(read_bytes(tmp / "meta.json").find("\"next_id\": 18446744073709551615"),
            std::string::npos);
  auto c = open(tmp.path(), config(1));
  EXPECT_EQ(c->next_id(), max);
  EXPECT_EQ(ids(*c, {0}), (std::vector<uint64_t>{max}));
}

TEST(Collection, ReopenChecksDimensionNotMetric) {
  TempDir tmp;
  {
    auto c = open(tmp.path(), config(2, DistanceMetric::Cosine));
    ASSERT_TRUE(c->insert(1, {1, 0}, {}).ok());
    ASSERT_TRUE(c->insert(2, {10, 0}, {}).ok());
    ASSERT_TRUE(c->flush().ok());
  }
  EXPECT_EQ(open_error(tmp.path(), config(3)),
            "collection error: dimension mismatch: collection has 2, config has 3");
  auto c = open(tmp.path(), config(2, DistanceMetric::Euclidean));
  auto hits = c->search({1, 0}, 2);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[1].distance, 9.0f);  // Euclidean, not the stored Cosine
  ASSERT_TRUE(c->flush().ok());
  EXPECT_NE(read_bytes(tmp / "meta.json").find("\"Euclidean\""), std::string::npos);
}

TEST(Collection, NextIdComesFromRecordsNotMeta) {
  TempDir tmp;
  {
    auto c = open(tmp.path(), config(1));
    ASSERT_TRUE(c->insert(3, {1}, {}).ok());
    ASSERT_TRUE(c->insert(7, {1}, {}).ok());
    ASSERT_TRUE(c->flush().ok());
  }
  write_bytes(tmp / "meta.json", "{\"next_id\":1,\"vector_count\":99,\"metric\":\"x\",\"dimension\":1}");
  EXPECT_EQ(open(tmp.path(), config(1))->next_id(), 8u);
}

// A record of another length is damage: the open is refused and no file
// changes.
TEST(Collection, RecordOfAnotherDimensionRefusesTheOpen) {
  TempDir tmp;
  ASSERT_NE(open(tmp.path(), config(2)), nullptr);
  {
    auto data = storage::testing::open_data_file(tmp / kDataFileName);
    ASSERT_TRUE(data.ok());
    ASSERT_TRUE(data.value().append(1, std::vector<float>{1, 2}, {}).ok());
    ASSERT_TRUE(data.value().append(50, std::vector<float>{1, 2, 3}, {}).ok());
    ASSERT_TRUE(data.value().append(3, std::vector<float>{3, 4}, {}).ok());
    ASSERT_TRUE(data.value().flush().ok());
  }
  std::map<std::string, std::string> before;
  for (const auto& entry : fs::directory_iterator(tmp.path())) {
    before[entry.path().filename().string()] = read_bytes(entry.path());
  }
  EXPECT_EQ(open_error(tmp.path(), config(2)),
            "collection error: data file damaged: offset 36: io error: read dim failed: the "
            "record has 3 components, the file's records 2");
  std::map<std::string, std::string> after;
  for (const auto& entry : fs::directory_iterator(tmp.path())) {
    after[entry.path().filename().string()] = read_bytes(entry.path());
  }
  EXPECT_EQ(after, before);
}

// A relative open keeps reaching its own directory after a chdir, also when
// the new current directory holds a collection of the same name.
TEST(Collection, ChdirAfterRelativeOpenChangesNothing) {
  TempDir tmp;
  fs::create_directories(tmp / "one");
  fs::create_directories(tmp / "two");
  const fs::path cwd = fs::current_path();
  {
    auto other = open(tmp / "two/c", config(1));
    ASSERT_TRUE(other->insert(7, {7}, {}).ok());
    ASSERT_TRUE(other->flush().ok());
  }
  const std::string other_log = read_bytes(tmp / "two/c/wal.log");
  const std::string other_meta = read_bytes(tmp / "two/c/meta.json");
  {
    fs::current_path(tmp / "one");
    auto c = open("c", config(1));
    fs::current_path(tmp / "two");
    EXPECT_EQ(c->path(), fs::path("c"));
    EXPECT_EQ(c->directory(), tmp / "one/c");
    ASSERT_TRUE(c->insert(1, {1}, {}).ok());
    ASSERT_TRUE(c->flush().ok());
    ASSERT_TRUE(c->insert(2, {2}, {}).ok());
    fs::current_path(cwd);
  }
  EXPECT_EQ(ids(*open(tmp / "one/c", config(1)), {0}), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(read_bytes(tmp / "two/c/wal.log"), other_log);
  EXPECT_EQ(read_bytes(tmp / "two/c/meta.json"), other_meta);
  EXPECT_EQ(ids(*open(tmp / "two/c", config(1)), {0}), (std::vector<uint64_t>{7}));
}

// A directory renamed while open keeps being the object's: a new collection
// made at the old path is never written by the old object.
TEST(Collection, RenamedDirectoryKeepsItsFilesAndLeavesTheNewOneAlone) {
  TempDir tmp;
  auto c = open(tmp / "c", config(1));
  ASSERT_TRUE(c->insert(1, {1}, {}).ok());
  fs::rename(tmp / "c", tmp / "moved");
  {
    auto other = open(tmp / "c", config(1));
    ASSERT_TRUE(other->insert(7, {7}, {}).ok());
    ASSERT_TRUE(other->flush().ok());
  }
  const std::string other_log = read_bytes(tmp / "c/wal.log");
  const std::string other_meta = read_bytes(tmp / "c/meta.json");
  const std::string other_data = read_bytes(tmp / "c/data.vnl");
  ASSERT_TRUE(c->insert(2, {2}, {}).ok());
  ASSERT_TRUE(c->flush().ok());
  ASSERT_TRUE(c->compact().ok());
  c.reset();
  EXPECT_EQ(read_bytes(tmp / "c/wal.log"), other_log);
  EXPECT_EQ(read_bytes(tmp / "c/meta.json"), other_meta);
  EXPECT_EQ(read_bytes(tmp / "c/data.vnl"), other_data);
  EXPECT_EQ(ids(*open(tmp / "moved", config(1)), {0}), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(ids(*open(tmp / "c", config(1)), {0}), (std::vector<uint64_t>{7}));
}

// An open refused after the lock (another dimension, an unreadable
// meta.json) leaves the directory exactly as it was: no wal.log, no data.vnl.
TEST(Collection, RefusedOpenLeavesTheDirectoryAsItWas) {
  for (const char* meta : {"{\"dimension\":2,\"metric\":\"euclidean\",\"vector_count\":0,\"next_id\":1}",
                           "not json"}) {
    TempDir tmp;
    write_bytes(tmp / "meta.json", meta);
    EXPECT_NE(open_error(tmp.path(), config(3)), "opened") << meta;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(tmp.path())) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"meta.json"}) << meta;
    EXPECT_EQ(read_bytes(tmp / "meta.json"), meta);
  }
}

struct MetaCase {
  const char* name;
  const char* text;
  const char* error;  // nullptr: opens
};

class CollectionMeta : public ::testing::TestWithParam<MetaCase> {};

TEST_P(CollectionMeta, OpensOrFailsWithText) {
  TempDir tmp;
  write_bytes(tmp / "meta.json", GetParam().text);
  std::string got = open_error(tmp.path(), config(3));
  if (GetParam().error == nullptr) {
    EXPECT_EQ(got, "opened");
  } else {
    EXPECT_EQ(got, GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CollectionMeta,
    ::testing::Values(
        MetaCase{"OtherOrderOneLineExtraMember",
                 "{\"next_id\":5,\"extra\":[1,{}],\"metric\":\"Cosine\",\"vector_count\":0,"
                 "\"dimension\":3}",
                 nullptr},
        MetaCase{"ArrayForm", "[3,\"Cosine\",0,1]", nullptr},
        MetaCase{"MissingNextId", "{\"dimension\":3,\"metric\":\"Cosine\",\"vector_count\":0}",
                 "collection error: parse meta failed: missing field `next_id` at line 1 column 50"},
        MetaCase{"FloatDimension",
                 "{\"dimension\":3.0,\"metric\":\"Cosine\",\"vector_count\":0,\"next_id\":1}",
                 "collection error: parse meta failed: invalid type: floating point `3.0`, "
                 "expected usize at line 1 column 16"},
        MetaCase{"Empty", "",
                 "collection error: parse meta failed: EOF while parsing a value at line 1 column 0"},
        MetaCase{"NotUtf8", "{\"dimension\":3,\"metric\":\"\xff\"}",
                 "collection error: read meta failed: stream did not contain valid UTF-8"},
        MetaCase{"DuplicateMember",
                 "{\"dimension\":3,\"dimension\":3,\"metric\":\"x\",\"vector_count\":0,\"next_id\":1}",
                 "collection error: parse meta failed: duplicate field `dimension` at line 1 column 27"},
        MetaCase{"OtherDimension",
                 "{\"dimension\":4,\"metric\":\"Cosine\",\"vector_count\":0,\"next_id\":1}",
                 "collection error: dimension mismatch: collection has 4, config has 3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Collection, ReplaysUpdateDeleteAndCheckpointEntries) {
  TempDir tmp;
  {
    auto c = open(tmp.path(), config(1));
    ASSERT_TRUE(c->insert(1, {1}, {}).ok());
    ASSERT_TRUE(c->insert(2, {2}, {}).ok());
    ASSERT_TRUE(c->flush().ok());
  }
  {
    auto wal = storage::testing::open_wal(tmp / "wal.log", SyncPolicy::kManual);
    ASSERT_TRUE(wal.ok());
    const float v10[] = {10}, v20[] = {20}, v30[] = {30};
    Payload empty;
    ASSERT_TRUE(wal.value().append(WalEntryKind::kUpdate, 1, v10, 1, empty).ok());
    ASSERT_TRUE(wal.value().append(WalEntryKind::kCheckpoint, 0, nullptr, 0, empty).ok());
    ASSERT_TRUE(wal.value().append(WalEntryKind::kDelete, 2, nullptr, 0, empty).ok());
    ASSERT_TRUE(wal.value().append(WalEntryKind::kDelete, 99, nullptr, 0, empty).ok());
    ASSERT_TRUE(wal.value().append(WalEntryKind::kUpdate, 50, v20, 1, empty).ok());
    // Inserted and updated within the same replay: the update must reach the
    // record the insert appended moments before.
    ASSERT_TRUE(wal.value().append(WalEntryKind::kInsert, 60, v20, 1, empty).ok());
    ASSERT_TRUE(wal.value().append(WalEntryKind::kUpdate, 60, v30, 1, empty).ok());
    ASSERT_TRUE(wal.value().sync().ok());
  }
  for (int round = 0; round < 2; ++round) {
    auto c = open(tmp.path(), config(1));
    EXPECT_EQ(ids(*c, {0}), (std::vector<uint64_t>{1, 50, 60}));
    EXPECT_EQ(nearest_distance(*c, {10}), 0.0f);
    EXPECT_EQ(nearest_distance(*c, {30}), 0.0f);
    EXPECT_EQ(c->next_id(), 61u);  // updates do not raise it; the insert of 60 does
    EXPECT_EQ(c->search({20}, 1)[0].id, 50u);
    ASSERT_TRUE(c->flush().ok());
  }
}

TEST(Collection, WalCorruptionFailsOpen) {
  TempDir tmp;
  {
    auto c = open(tmp.path(), config(1));
    ASSERT_TRUE(c->insert(1, {1}, {}).ok());
  }
  std::string log = read_bytes(tmp / "wal.log");
  log[log.size() - 3] ^= 0x01;
  write_bytes(tmp / "wal.log", log);
  EXPECT_EQ(open_error(tmp.path(), config(1)).rfind("WAL corrupted: checksum mismatch: expected ", 0),
            0u);
}

// Opening rebuilds the index from the data file in one run. Whatever the
// file holds (an identifier written many times, records of another length,
// records marked deleted, identifiers equal in their low bits), the open
// collection must answer exactly as an index that took the active records
// one by one, the newest of each identifier winning, and offsets must name
// that newest record: a replayed delete marks it and no other.
struct FileCase {
  const char* name;
  DistanceMetric metric;
  size_t dim;
  size_t records;
  uint64_t distinct;  // identifiers drawn from this many, shifted by id_shift
  int id_shift;
};

class CollectionLoad : public ::testing::TestWithParam<FileCase> {};

TEST_P(CollectionLoad, OpenMatchesRecordsAppliedOneByOne) {
  const FileCase& fc = GetParam();
  TempDir tmp;
  std::mt19937 rng(static_cast<uint32_t>(fc.records + fc.dim));
  std::uniform_int_distribution<int> small(-6, 6);
  index::BruteForceIndex reference(fc.metric, fc.dim);
  std::map<uint64_t, uint64_t> newest;   // id -> offset of the record that must win
  uint64_t largest = 0;
  {
    auto file = storage::testing::open_data_file(tmp / "data.vnl");
    ASSERT_TRUE(file.ok());
    std::vector<std::pair<uint64_t, bool>> appended;  // offset, deleted later
    for (size_t i = 0; i < fc.records; ++i) {
      const uint64_t id = ((i * 7919) % fc.distinct) << fc.id_shift;
      const bool deleted = i % 13 == 6;
      std::vector<float> v(fc.dim);
      for (float& x : v) x = float(small(rng));
      Payload payload;
      if (i % 5 == 0) payload.data["i"] = static_cast<uint64_t>(i);
      auto offset = file.value().append(id, v, payload);
      ASSERT_TRUE(offset.ok());
      appended.push_back({offset.value(), deleted});
      if (deleted) continue;
      reference.remove(id);
      ASSERT_TRUE(reference.insert(id, v, payload).ok());
      newest[id] = offset.value();
      largest = std::max(largest, id);
    }
    ASSERT_TRUE(file.value().flush().ok());
    for (const auto& [offset, deleted] : appended) {
      if (deleted) {
        ASSERT_TRUE(file.value().mark_deleted(offset).ok());
      }
    }
  }

  // Loading alone and split over a pool must give the same collection.
  const fs::path original = tmp / "original";
  fs::create_directory(original);
  fs::copy_file(tmp / "data.vnl", original / "data.vnl");
  for (size_t threads : {1, 2, 3}) {
  SCOPED_TRACE("threads " + std::to_string(threads));
  const fs::path dir = tmp / ("t" + std::to_string(threads));
  fs::create_directory(dir);
  fs::copy_file(original / "data.vnl", dir / "data.vnl");
  ThreadPool pool(threads);
  auto opened = Collection::open_or_create(dir, config(fc.dim, fc.metric), &pool);
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  auto c = std::move(opened.value());
  ASSERT_EQ(c->len(), reference.len());
  EXPECT_EQ(c->next_id(), newest.empty() ? 1 : largest + 1);
  for (int q = 0; q < 3; ++q) {
    std::vector<float> query(fc.dim);
    for (float& x : query) x = float(small(rng));
    auto got = c->search(query, reference.len() + 1);
    auto want = reference.search(query, reference.len() + 1);
    ASSERT_EQ(got.size(), want.size());
    for (size_t r = 0; r < got.size(); ++r) {
      ASSERT_EQ(got[r].id, want[r].id) << "rank " << r;
      ASSERT_EQ(std::memcmp(&got[r].distance, &want[r].distance, 4), 0) << "rank " << r;
      ASSERT_EQ(got[r].payload->to_json(), want[r].payload->to_json());
    }
  }

  // Deleting marks exactly the record offsets names.
  size_t n = 0;
  for (const auto& [id, offset] : newest) {
    if (n++ % 3 != 0) continue;
    auto held = c->remove(id);
    ASSERT_TRUE(held.ok());
    EXPECT_TRUE(held.value());
  }
  ASSERT_TRUE(c->flush().ok());  // the data file takes the deletes now
  auto file = storage::testing::open_data_file(dir / "data.vnl");
  ASSERT_TRUE(file.ok());
  n = 0;
  for (const auto& [id, offset] : newest) {
    auto rec = file.value().read_at(offset);
    ASSERT_TRUE(rec.ok());
    EXPECT_EQ(rec.value().deleted, n++ % 3 == 0) << id;
  }
  // The older records of a deleted id were marked too (the shadowed ones),
  // so a deleted id stays away after a reopen; and every thread count
  // marked the same bytes.
  c.reset();
  file = storage::testing::open_data_file(dir / "data.vnl");
  ASSERT_TRUE(file.ok());
  auto reopened = open(dir, config(fc.dim, fc.metric));
  ASSERT_NE(reopened, nullptr);
  n = 0;
  for (const auto& [id, offset] : newest) EXPECT_EQ(reopened->contains(id), n++ % 3 != 0) << id;
  EXPECT_EQ(read_bytes(dir / "data.vnl"), read_bytes(tmp / "t1" / "data.vnl"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, CollectionLoad,
    ::testing::Values(FileCase{"PartialBlock", DistanceMetric::Euclidean, 3, 9, 1000, 0},
                      FileCase{"ManyRepeats", DistanceMetric::Cosine, 8, 2500, 61, 0},
                      FileCase{"OneIdOnly", DistanceMetric::DotProduct, 2, 40, 1, 0},
                      FileCase{"SameLowBits", DistanceMetric::Cosine, 5, 5000, 900, 40},
                      FileCase{"OverASegment", DistanceMetric::Euclidean, 4, 9000, 8000, 0},
                      // Large enough for a pool to split the load.
                      FileCase{"SplitManyRepeats", DistanceMetric::Cosine, 16, 12000, 700, 0},
                      FileCase{"SplitSegments", DistanceMetric::Euclidean, 32, 40000, 30000, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// Files a pool must open exactly as one thread does: the same error text,
// or the same records, next_id and data file (a torn tail cut the same).
struct DamageCase {
  const char* name;
  size_t records;
  // Changes the bytes of a good file of `records` records (each kRecord long).
  void (*damage)(std::string& bytes);
};

constexpr size_t kDamageDim = 24;
constexpr size_t kDamageRecord = 17 + 4 * kDamageDim + 11;  // empty payloads only

class CollectionLoadDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(CollectionLoadDamage, PoolOpensAsOneThreadDoes) {
  const DamageCase& dc = GetParam();
  TempDir tmp;
  {
    auto file = storage::testing::open_data_file(tmp / "data.vnl");
    ASSERT_TRUE(file.ok());
    for (size_t i = 0; i < dc.records; ++i) {
      std::vector<float> v(kDamageDim, float(i % 97));
      v[0] = float(i);
      ASSERT_TRUE(file.value().append(i % 5000, v, Payload{}).ok());
    }
    ASSERT_TRUE(file.value().flush().ok());
  }
  std::string bytes = read_bytes(tmp / "data.vnl");
  dc.damage(bytes);
  std::vector<std::string> outcomes;
  for (size_t threads : {1, 2}) {
    const fs::path dir = tmp / ("t" + std::to_string(threads));
    fs::create_directory(dir);
    write_bytes(dir / "data.vnl", bytes);
    ThreadPool pool(threads);
    auto c = Collection::open_or_create(dir, config(kDamageDim), &pool);
    std::string outcome;
    if (!c.ok()) {
      outcome = "error " + c.error().message();
    } else {
      outcome = "len " + std::to_string(c.value()->len()) + " next_id " +
                std::to_string(c.value()->next_id()) + "\n";
      for (uint64_t id : c.value()->ids()) {
        auto entry = c.value()->get(id);
        outcome += std::to_string(id) + ":" + std::to_string(entry->vector[0]) + " ";
      }
    }
    c = Error::empty_vector();  // dropped: its buffers are out
    outcome += "\nfile " + read_bytes(dir / "data.vnl");
    outcomes.push_back(outcome);
  }
  EXPECT_EQ(outcomes[0], outcomes[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CollectionLoadDamage,
    ::testing::Values(
        DamageCase{"Whole", 6000, [](std::string&) {}},
        DamageCase{"TornInLastRecord", 6000, [](std::string& b) { b.resize(b.size() - 40); }},
        DamageCase{"TornInHead", 6000, [](std::string& b) { b.resize(b.size() - kDamageRecord + 5); }},
        DamageCase{"DeletedMarkers", 6000,
                   [](std::string& b) {
                     for (size_t r = 0; r < 6000; r += 3) b[r * kDamageRecord] = 1;
                     b[7 * kDamageRecord] = 2;  // 2 reads as live
                   }},
        DamageCase{"PayloadDamagedMidway", 6000,
                   [](std::string& b) { b[3000 * kDamageRecord + 17 + 4 * kDamageDim + 2] = '!'; }},
        DamageCase{"LengthClaimsTooMuch", 6000,
                   [](std::string& b) { b[4000 * kDamageRecord + 12] = 0x7f; }},
        DamageCase{"DimChangedMidway", 6000, [](std::string& b) { b[10 * kDamageRecord + 9] = 0; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Collection, SearchBatchMatchesSingleSearches) {
  TempDir tmp;
  auto c = open(tmp.path(), config(2));
  for (uint64_t id = 0; id < 20; ++id) ASSERT_TRUE(c->insert(id, {float(id), 1}, {}).ok());
  const float queries[] = {0, 0, 5, 1, 19, 2};
  auto batch = c->search_batch(queries, 3, 2, 3);
  ASSERT_EQ(batch.size(), 3u);
  for (size_t q = 0; q < 3; ++q) {
    auto single = c->search(queries + 2 * q, 2, 3);
    ASSERT_EQ(batch[q].size(), single.size());
    for (size_t i = 0; i < single.size(); ++i) EXPECT_EQ(batch[q][i].distance, single[i].distance);
  }
}


// ---------------------------------------------------------------------------
// upsert, remove, get, ids, compact

using Model = std::map<uint64_t, std::pair<std::vector<float>, int64_t>>;  // vector, payload "n"

Payload numbered(int64_t n) {
  Payload p;
  p.data["n"] = json::Value(n);
  return p;
}

// The collection holds exactly the model: ids, vectors bit for bit, payloads.
void expect_holds(const Collection& c, const Model& model) {
  std::vector<uint64_t> want;
  for (const auto& [id, e] : model) want.push_back(id);
  ASSERT_EQ(c.ids(), want);
  ASSERT_EQ(c.len(), model.size());
  for (const auto& [id, e] : model) {
    ASSERT_TRUE(c.contains(id)) << id;
    auto got = c.get(id);
    ASSERT_TRUE(got.has_value()) << id;
    ASSERT_EQ(got->vector.size(), e.first.size());
    EXPECT_EQ(std::memcmp(got->vector.data(), e.first.data(), 4 * e.first.size()), 0) << id;
    EXPECT_EQ(got->payload.data.at("n"), json::Value(e.second)) << id;
  }
}

std::vector<WalEntryKind> logged_kinds(const fs::path& dir) {
  std::vector<WalEntryKind> out;
  Status read = storage::testing::read_wal(dir / "wal.log", [&](storage::WalEntry& e) -> Status {
    out.push_back(e.kind);
    return {};
  });
  EXPECT_TRUE(read.ok());
  return out;
}

TEST(Collection, UpsertAndRemoveLogWhatTheyDo) {
  TempDir tmp;
  auto c = open(tmp.path(), CollectionConfig{1, DistanceMetric::Euclidean, SyncPolicy::kAlways});
  ASSERT_TRUE(c->upsert(5, {1}, numbered(1)).ok());  // new: Insert
  ASSERT_TRUE(c->upsert(5, {2}, numbered(2)).ok());  // stored: Update
  auto absent = c->remove(6);
  ASSERT_TRUE(absent.ok());
  EXPECT_FALSE(absent.value());  // nothing logged
  auto present = c->remove(5);
  ASSERT_TRUE(present.ok());
  EXPECT_TRUE(present.value());
  ASSERT_TRUE(c->upsert(5, {3}, numbered(3)).ok());  // gone again: Insert
  EXPECT_EQ(logged_kinds(tmp.path()),
            (std::vector<WalEntryKind>{WalEntryKind::kInsert, WalEntryKind::kUpdate,
                                       WalEntryKind::kDelete, WalEntryKind::kInsert}));
  Status wrong = c->upsert(5, {1, 2}, numbered(4));
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().message(), "dimension mismatch: expected 1, got 2");
  EXPECT_EQ(logged_kinds(tmp.path()).size(), 4u);
  expect_holds(*c, Model{{5, {{3}, 3}}});
  EXPECT_EQ(c->next_id(), 6u);
}

// Marker byte of the record at `offset` in data.vnl.
char marker_at(const fs::path& dir, size_t offset) { return read_bytes(dir / "data.vnl").at(offset); }

// Under every sync policy, a write leaves the data file as it was (also
// after the log synced it); the flush marks the replaced or deleted record,
// and only the records of ids changed since the last flush.
TEST(Collection, MarkersWaitForTheFlushUnderEveryPolicy) {
  for (SyncPolicy policy : {SyncPolicy::kAlways, SyncPolicy::kBatch, SyncPolicy::kManual}) {
    for (bool remove : {false, true}) {
      TempDir tmp;
      const size_t second = 17 + 4 + numbered(1).to_json().size();  // where record 2 starts
      auto c = open(tmp.path(), CollectionConfig{1, DistanceMetric::Euclidean, policy});
      ASSERT_TRUE(c->upsert(1, {1}, numbered(1)).ok());
      ASSERT_TRUE(c->upsert(2, {2}, numbered(2)).ok());
      ASSERT_TRUE(c->flush().ok());
      const std::string data = read_bytes(tmp / "data.vnl");
      if (remove) {
        ASSERT_TRUE(c->remove(1).ok());
      } else {
        ASSERT_TRUE(c->upsert(1, {9}, numbered(9)).ok());
      }
      if (policy == SyncPolicy::kBatch) {
        // The 100th append syncs the log; the data file still waits.
        for (int i = 0; i < 99; ++i) ASSERT_TRUE(c->upsert(2, {2}, numbered(2)).ok());
      }
      EXPECT_EQ(read_bytes(tmp / "data.vnl"), data);
      ASSERT_TRUE(c->flush().ok());
      EXPECT_EQ(marker_at(tmp.path(), 0), 1);
      EXPECT_EQ(marker_at(tmp.path(), second), policy == SyncPolicy::kBatch ? 1 : 0);
      c.reset();
      auto again = open(tmp.path(), config(1));
      if (remove) {
        expect_holds(*again, Model{{2, {{2}, 2}}});
      } else {
        expect_holds(*again, Model{{1, {{9}, 9}}, {2, {{2}, 2}}});
      }
    }
  }
}

// Writes never touch the data file: a replaced or deleted record is marked
// by the flush that writes the change, after the log holding it was synced.
TEST(Collection, MarksWaitForTheFlush) {
  for (bool remove : {false, true}) {
    TempDir tmp;
    auto c = open(tmp.path(), config(1));
    ASSERT_TRUE(c->upsert(1, {1}, numbered(1)).ok());
    ASSERT_TRUE(c->upsert(2, {2}, numbered(2)).ok());
    ASSERT_TRUE(c->flush().ok());
    const uint64_t size = fs::file_size(tmp / "data.vnl");
    const float nine = 9;
    if (remove) {
      ASSERT_TRUE(c->remove(1).ok());
    } else {
      ASSERT_TRUE(c->upsert(1, &nine, 1, numbered(9)).ok());
    }
    std::vector<uint64_t> ids(99);
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = 3 + i;
    const float two = 2;
    ASSERT_TRUE(c->upsert_batch(ids.data(), ids.size(),
                                [&](size_t) { return std::span<const float>(&two, 1); }, nullptr)
                    .ok());
    EXPECT_EQ(marker_at(tmp.path(), 0), 0);
    EXPECT_EQ(fs::file_size(tmp / "data.vnl"), size);
    ASSERT_TRUE(c->flush().ok());
    EXPECT_EQ(marker_at(tmp.path(), 0), 1);
    c.reset();
    auto again = open(tmp.path(), config(1));
    EXPECT_EQ(again->len(), remove ? 100u : 101u);
    EXPECT_EQ(again->contains(1), !remove);
  }
}

// A data file may hold several active records of one id (written by an
// older version, or a crash between an append and its mark): the newest wins
// at open, and a delete must reach every one of them, or a later open brings
// an older one back: live (remove, then flush) and replayed (a Delete entry
// in the log, then flush).
TEST(Collection, DeleteReachesEveryActiveRecordOfAnId) {
  TempDir tmp;
  ASSERT_NE(open(tmp.path(), config(1)), nullptr);
  const size_t record = 17 + 4 + numbered(1).to_json().size();
  {
    auto data = storage::testing::open_data_file(tmp / kDataFileName);
    ASSERT_TRUE(data.ok());
    for (uint64_t id : {1, 2}) {
      ASSERT_TRUE(data.value().append(id, std::vector<float>{1}, numbered(1)).ok());
      ASSERT_TRUE(data.value().append(id, std::vector<float>{2}, numbered(2)).ok());
    }
    ASSERT_TRUE(data.value().flush().ok());
  }
  const std::string data = read_bytes(tmp / "data.vnl");
  auto c = open(tmp.path(), config(1));
  expect_holds(*c, Model{{1, {{2}, 2}}, {2, {{2}, 2}}});
  EXPECT_EQ(read_bytes(tmp / "data.vnl"), data);  // the open changed nothing
  ASSERT_TRUE(c->remove(1).ok());
  ASSERT_TRUE(c->flush().ok());
  EXPECT_EQ(marker_at(tmp.path(), 0), 1);
  EXPECT_EQ(marker_at(tmp.path(), record), 1);
  c.reset();
  {
    auto wal = storage::testing::open_wal(tmp / "wal.log", SyncPolicy::kManual);
    ASSERT_TRUE(wal.ok());
    ASSERT_TRUE(wal.value().append(WalEntryKind::kDelete, 2, nullptr, 0, Payload{}).ok());
    ASSERT_TRUE(wal.value().sync().ok());
  }
  c = open(tmp.path(), config(1));
  expect_holds(*c, Model{});
  ASSERT_TRUE(c->flush().ok());
  c.reset();
  expect_holds(*open(tmp.path(), config(1)), Model{});
}

enum class Ending { kDrop, kFlush, kCompact, kCompactThenMore };

struct ScriptCase {
  const char* name;
  SyncPolicy policy;
  Ending ending;
  int ops;
  // kBehind: every change goes through the batch calls (whose log syncs
  // run behind their rows and are settled before they return).
  storage::SyncTiming timing = storage::SyncTiming::kInline;
};

void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.name; }

class CollectionScript : public ::testing::TestWithParam<ScriptCase> {};

// Random upserts, removes and inserts against a model; the collection holds
// the model throughout, after its ending, and after reopening (twice).
TEST_P(CollectionScript, HoldsTheModelAcrossReopen) {
  const ScriptCase& sc = GetParam();
  TempDir tmp;
  const size_t dim = 3;
  const CollectionConfig cfg{dim, DistanceMetric::Cosine, sc.policy};
  std::mt19937_64 rng(7);
  Model model;
  int64_t n = 0;
  auto step = [&](Collection& c) {
    const uint64_t id = rng() % 40 == 0 ? std::numeric_limits<uint64_t>::max() : rng() % 60;
    const int what = int(rng() % 10);
    if (what < 3) {
      const bool behind = sc.timing == storage::SyncTiming::kBehind;
      auto removed = behind ? c.remove_batch(&id, 1) : Result<size_t>(size_t{c.remove(id).value()});
      ASSERT_TRUE(removed.ok());
      EXPECT_EQ(removed.value() == 1, model.erase(id) == 1);
      return;
    }
    std::vector<float> v(dim);
    for (float& x : v) x = float(int(rng() % 7)) - 3.0f;
    ++n;
    const Payload payload = numbered(n);
    auto row = [&](size_t) { return std::span<const float>(v); };
    if (sc.timing == storage::SyncTiming::kBehind) {
      if (what < 9) {
        ASSERT_TRUE(c.upsert_batch(&id, 1, row, &payload).ok());
      } else {
        ASSERT_TRUE(c.insert_batch(&id, 1, row, &payload).ok());
      }
    } else if (what < 9) {
      ASSERT_TRUE(c.upsert(id, v.data(), v.size(), payload).ok());
    } else {
      ASSERT_TRUE(c.insert(id, v.data(), v.size(), payload).ok());
    }
    model[id] = {v, n};
  };
  {
    auto c = open(tmp.path(), cfg);
    for (int i = 0; i < sc.ops; ++i) {
      step(*c);
      if (i % 97 == 0) expect_holds(*c, model);
    }
    switch (sc.ending) {
      case Ending::kDrop:
        break;
      case Ending::kFlush:
        ASSERT_TRUE(c->flush().ok());
        break;
      case Ending::kCompact:
      case Ending::kCompactThenMore: {
        ASSERT_TRUE(c->compact().ok());
        EXPECT_EQ(fs::file_size(tmp / "wal.log"), 0u);
        // Exactly the live records: 17 + 4 * dim + payload text each.
        uint64_t want = 0;
        for (const auto& [id, e] : model) {
          want += 17 + 4 * dim + numbered(e.second).to_json().size();
        }
        EXPECT_EQ(fs::file_size(tmp / "data.vnl"), want);
        size_t files = 0;
        for (const auto& entry : fs::directory_iterator(tmp.path())) {
          (void)entry;
          ++files;
        }
        EXPECT_EQ(files, 3u);  // no temporary left behind
        if (sc.ending == Ending::kCompactThenMore) {
          for (int i = 0; i < sc.ops / 2; ++i) step(*c);
        }
        break;
      }
    }
    expect_holds(*c, model);
  }
  for (int round = 0; round < 2; ++round) {
    auto c = open(tmp.path(), cfg);
    expect_holds(*c, model);
    // Searches see the same set: every id once, in the rule's order.
    auto hits = c->search({1, 0, 0}, model.size() + 1);
    ASSERT_EQ(hits.size(), model.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, CollectionScript,
    ::testing::Values(ScriptCase{"DropAlways", SyncPolicy::kAlways, Ending::kDrop, 300},
                      ScriptCase{"DropBatch", SyncPolicy::kBatch, Ending::kDrop, 700},
                      ScriptCase{"FlushBatch", SyncPolicy::kBatch, Ending::kFlush, 700},
                      ScriptCase{"FlushManual", SyncPolicy::kManual, Ending::kFlush, 500},
                      ScriptCase{"CompactBatch", SyncPolicy::kBatch, Ending::kCompact, 700},
                      ScriptCase{"CompactManual", SyncPolicy::kManual, Ending::kCompact, 500},
                      ScriptCase{"CompactThenMoreBatch", SyncPolicy::kBatch,
                                 Ending::kCompactThenMore, 700},
                      ScriptCase{"CompactThenMoreAlways", SyncPolicy::kAlways,
                                 Ending::kCompactThenMore, 300},
                      ScriptCase{"DropBatchBehind", SyncPolicy::kBatch, Ending::kDrop, 700,
                                 storage::SyncTiming::kBehind},
                      ScriptCase{"FlushBatchBehind", SyncPolicy::kBatch, Ending::kFlush, 700,
                                 storage::SyncTiming::kBehind},
                      ScriptCase{"CompactThenMoreBatchBehind", SyncPolicy::kBatch,
                                 Ending::kCompactThenMore, 700, storage::SyncTiming::kBehind}),
    [](const auto& info) { return std::string(info.param.name); });

// A crash after the rename and before the log is emptied leaves the new
// file and the whole log (compact syncs it first): replaying it over the new
// file gives the same collection. Simulated by putting back the log as it
// was on disk when compact began (every append synced under kAlways).
TEST(Collection, LogReplayedOverCompactedFileGivesSameCollection) {
  TempDir tmp;
  const CollectionConfig cfg{2, DistanceMetric::Euclidean, SyncPolicy::kAlways};
  const Model model = {{1, {{3, 3}, 3}}, {4, {{6, 6}, 6}}, {7, {{7, 7}, 7}}};
  std::string log_before;
  {
    auto c = open(tmp.path(), cfg);
    ASSERT_TRUE(c->upsert(1, {1, 1}, numbered(1)).ok());
    ASSERT_TRUE(c->upsert(2, {2, 2}, numbered(2)).ok());
    ASSERT_TRUE(c->flush().ok());
    ASSERT_TRUE(c->upsert(1, {3, 3}, numbered(3)).ok());  // Update
    ASSERT_TRUE(c->remove(2).ok());                        // Delete
    ASSERT_TRUE(c->upsert(4, {4, 4}, numbered(4)).ok());   // Insert
    ASSERT_TRUE(c->upsert(4, {5, 5}, numbered(5)).ok());   // Update of a buffered record
    ASSERT_TRUE(c->remove(4).ok());
    ASSERT_TRUE(c->upsert(4, {6, 6}, numbered(6)).ok());
    ASSERT_TRUE(c->insert(7, {7, 7}, numbered(7)).ok());
    log_before = read_bytes(tmp / "wal.log");
    ASSERT_EQ(logged_kinds(tmp.path()).size(), 7u);
    ASSERT_TRUE(c->compact().ok());
    expect_holds(*c, model);
  }
  write_bytes(tmp / "wal.log", log_before);
  for (int round = 0; round < 2; ++round) expect_holds(*open(tmp.path(), cfg), model);
  // And over the old file, as a crash before the rename leaves it, too.
}

TEST(Collection, CompactRemovesStaleTemporariesAndKeepsWorking) {
  TempDir tmp;
  write_bytes(tmp / "data.vnl.compact-1-2-3.tmp", "left by a crash");
  auto c = open(tmp.path(), config(1));
  ASSERT_TRUE(c->compact().ok());  // empty collection
  EXPECT_FALSE(fs::exists(tmp / "data.vnl.compact-1-2-3.tmp"));
  EXPECT_EQ(fs::file_size(tmp / "data.vnl"), 0u);
  ASSERT_TRUE(c->upsert(3, {3}, numbered(3)).ok());
  ASSERT_TRUE(c->compact().ok());
  ASSERT_TRUE(c->compact().ok());  // twice in a row
  ASSERT_TRUE(c->upsert(3, {4}, numbered(4)).ok());  // marks a record of the new file
  ASSERT_TRUE(c->flush().ok());
  EXPECT_EQ(marker_at(tmp.path(), 0), 1);
  EXPECT_EQ(read_bytes(tmp / "meta.json"),
            "{\n  \"dimension\": 1,\n  \"metric\": \"Euclidean\",\n  \"vector_count\": 1,\n"
            "  \"next_id\": 4\n}");
  c.reset();
  expect_holds(*open(tmp.path(), config(1)), Model{{3, {{4}, 4}}});
}

// Searches with a filter and a pool through the collection give what the
// index gives on one thread.
TEST(Collection, SearchBatchTakesFilterAndPool) {
  TempDir tmp;
  auto c = open(tmp.path(), config(2));
  for (uint64_t id = 0; id < 50; ++id) {
    ASSERT_TRUE(c->upsert(id, {float(id % 5), 0}, numbered(int64_t(id % 2))).ok());
  }
  Filter odd{FilterCondition::eq("n", json::Value(int64_t{1}))};
  ThreadPool pool(3);
  const float queries[] = {0, 0, 4, 0};
  auto one = c->search_batch(queries, 2, 2, 7, &odd);
  auto many = c->search_batch(queries, 2, 2, 7, &odd, &pool);
  ASSERT_EQ(one.size(), 2u);
  for (size_t j = 0; j < 2; ++j) {
    ASSERT_EQ(one[j].size(), 7u);
    ASSERT_EQ(many[j].size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
      EXPECT_EQ(one[j][i].id, many[j][i].id);
      EXPECT_EQ(one[j][i].id % 2, 1u);
    }
  }
  // Ties by ascending id: ids 5, 15, 25, 35, 45 lie at distance 0 of (0, 0).
  std::vector<uint64_t> first;
  for (const auto& h : c->search(queries, 2, 5, &odd, &pool)) first.push_back(h.id);
  EXPECT_EQ(first, (std::vector<uint64_t>{5, 15, 25, 35, 45}));
}


// Removes racing flushes: a flush empties the log, so a delete logged while
// it runs must reach the data file before that, or the record comes back
// when the collection is opened again.
TEST(Collection, RemovesRacingFlushesStayRemovedOnReopen) {
  TempDir tmp;
  const size_t dim = 4;
  const std::vector<float> v(dim, 1.0f);
  for (int round = 0; round < 10; ++round) {
    Model model;
    {
      auto c = open(tmp.path(), config(dim));
      for (uint64_t id = 0; id < 400; ++id) {
        ASSERT_TRUE(c->upsert(id, v, numbered(round)).ok());
        model[id] = {v, round};
      }
      ASSERT_TRUE(c->flush().ok());
      std::atomic<bool> stop{false};
      std::thread flusher([&] {
        while (!stop.load()) ASSERT_TRUE(c->flush().ok());
      });
      for (uint64_t id = 0; id < 400; ++id) {
        if (id % 3 == 0) continue;
        ASSERT_TRUE(c->remove(id).ok());
        model.erase(id);
      }
      stop.store(true);
      flusher.join();
      expect_holds(*c, model);
    }
    expect_holds(*open(tmp.path(), config(dim)), model);
  }
}

// Writers on disjoint ids, searchers and a thread that flushes and compacts,
// all at once: no deadlock, and the end state (live and reopened) is every
// writer's last word on each of its ids.
TEST(Collection, ConcurrentWritersSearchesAndCompactions) {
  TempDir tmp;
  const size_t dim = 4;
  Model models[2];
  {
    auto c = open(tmp.path(), config(dim));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
      threads.emplace_back([&, w] {
        std::mt19937_64 rng(w + 1);
        for (int i = 0; i < 1500; ++i) {
          const uint64_t id = uint64_t(w) * 1000 + rng() % 50;
          if (rng() % 4 == 0) {
            ASSERT_TRUE(c->remove(id).ok());
            models[w].erase(id);
          } else {
            std::vector<float> v(dim, float(i));
            v[0] = float(id);
            ASSERT_TRUE(c->upsert(id, v, numbered(i)).ok());
            models[w][id] = {v, i};
          }
        }
      });
    }
    ThreadPool pool(2);
    for (int r = 0; r < 2; ++r) {
      threads.emplace_back([&] {
        const float q[dim] = {1, 2, 3, 4};
        while (!stop.load()) {
          auto hits = c->search(q, dim, 20, nullptr, &pool);
          for (size_t i = 1; i < hits.size(); ++i) ASSERT_LE(hits[i - 1].distance, hits[i].distance);
          (void)c->ids();
        }
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; !stop.load(); ++i) {
        ASSERT_TRUE((i % 2 == 0 ? c->compact() : c->flush()).ok());
      }
    });
    threads[0].join();
    threads[1].join();
    stop.store(true);
    for (size_t t = 2; t < threads.size(); ++t) threads[t].join();
    Model all = models[0];
    all.insert(models[1].begin(), models[1].end());
    expect_holds(*c, all);
  }
  Model all = models[0];
  all.insert(models[1].begin(), models[1].end());
  expect_holds(*open(tmp.path(), config(dim)), all);
}

// update_batch merges into what is stored and logs Updates for stored ids
// only; remove_matching logs a Delete per passing row. Both replay to what
// they left in memory.
TEST(Collection, UpdateAndRemoveMatchingLogAndReplay) {
  TempDir tmp;
  {
    auto c = open(tmp.path(), CollectionConfig{1, DistanceMetric::Euclidean, SyncPolicy::kAlways});
    for (uint64_t id = 1; id <= 4; ++id) ASSERT_TRUE(c->upsert(id, {float(id)}, numbered(int64_t(id))).ok());
    Payload tag;
    tag.data["tag"] = json::Value("x");
    Payload renumber = numbered(20);
    const uint64_t ids[] = {2, 9, 2, 3};        // 9 is absent; 2 twice, in order
    const float vectors[] = {5, 6, 7, 8};
    const Payload patches[] = {tag, tag, renumber, tag};
    auto updated = c->update_batch(ids, 4, vectors, 1, patches);
    ASSERT_TRUE(updated.ok());
    EXPECT_EQ(updated.value(), 2u);
    auto kept = c->update_batch(ids, 1, nullptr, 0, patches);  // payload only
    ASSERT_TRUE(kept.ok());
    const float wide[] = {1, 2};
    auto refused = c->update_batch(ids, 1, wide, 2, nullptr);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "dimension mismatch: expected 1, got 2");
    const float nan[] = {std::nanf("")};
    ASSERT_FALSE(c->update_batch(ids, 1, nan, 1, nullptr).ok());
    const Filter tagged{FilterCondition::eq("tag", json::Value("x"))};
    EXPECT_EQ(c->count(&tagged), 2u);
    auto removed = c->remove_matching(&tagged);
    ASSERT_TRUE(removed.ok());
    EXPECT_EQ(removed.value(), 2u);
    EXPECT_EQ(logged_kinds(tmp.path()),
              (std::vector<WalEntryKind>{WalEntryKind::kInsert, WalEntryKind::kInsert,
                                         WalEntryKind::kInsert, WalEntryKind::kInsert,
                                         WalEntryKind::kUpdate, WalEntryKind::kUpdate,
                                         WalEntryKind::kUpdate, WalEntryKind::kDelete,
                                         WalEntryKind::kDelete}));
    expect_holds(*c, Model{{1, {{1}, 1}}, {4, {{4}, 4}}});
  }
  auto c = open(tmp.path(), config(1));
  expect_holds(*c, Model{{1, {{1}, 1}}, {4, {{4}, 4}}});
}

TEST(Collection, MergedPayloadKeepsOtherMembers) {
  TempDir tmp;
  auto c = open(tmp.path(), config(2));
  Payload first = numbered(1);
  first.data["keep"] = json::Value("k");
  ASSERT_TRUE(c->upsert(7, {1, 2}, first).ok());
  Payload patch = numbered(2);
  const uint64_t id = 7;
  ASSERT_TRUE(c->update_batch(&id, 1, nullptr, 0, &patch).ok());
  auto got = c->get(7);
  EXPECT_EQ(got->vector, (std::vector<float>{1, 2}));
  EXPECT_EQ(got->payload.data.at("n"), json::Value(2));
  EXPECT_EQ(got->payload.data.at("keep"), json::Value("k"));
}

// A directory holding other files is not made a collection; one this
// process has open is refused to an exclusive open.
TEST(Collection, ForeignDirectoryAndExclusiveOpenAreRefused) {
  TempDir tmp;
  fs::create_directories(tmp / "foreign");
  write_bytes(tmp / "foreign/notes.txt", "mine");
  EXPECT_EQ(open_error(tmp / "foreign", config(2)),
            "collection error: '" + (tmp / "foreign").string() +
                "' is not empty and holds no collection (no meta.json, wal.log or data.vnl)");
  EXPECT_EQ(std::vector<std::string>{"notes.txt"},
            [&] {
              std::vector<std::string> names;
              for (const auto& e : fs::directory_iterator(tmp / "foreign")) names.push_back(e.path().filename());
              return names;
            }());
  auto c = open(tmp / "coll", config(2));
  OpenRequest request;
  request.exclusive = true;
  auto again = Collection::open(tmp / "coll", request);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().kind(), Error::Kind::kInUse);
  c.reset();
  EXPECT_TRUE(Collection::open(tmp / "coll", request).ok());
}

}  // namespace
}  // namespace varnel
