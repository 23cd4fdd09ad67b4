// What a reader makes of a log or a data file cut at every byte offset, and
// of a log with one byte flipped: every cut gives the documented result, and
// the reported end of the complete frames/records is where a recovering
// writer can cut back to and carry on.
#include <gtest/gtest.h>
#include <zlib.h>

#include "coding.h"
#include "storage/data_file.h"
#include "storage/wal.h"
#include "storage_test_util.h"

namespace varnel::storage {
namespace {

using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;

// A small log whose frame boundaries are known, and the file's bytes.
struct SmallLog {
  std::string bytes;
  std::vector<uint64_t> ends;  // end offset of each frame
};

SmallLog write_small_log(const std::filesystem::path& p) {
  SmallLog log;
  Wal w = std::move(storage::testing::open_wal(p, SyncPolicy::kManual)).value();
  Payload payload;
  payload.data["tag"] = "x";
  const std::vector<WalEntry> entries = {
      {WalEntryKind::kInsert, 1, {0.5f, -1.0f}, {}},
      {WalEntryKind::kUpdate, 2, {}, payload},
      {WalEntryKind::kDelete, 3, {1e-7f}, {}},
  };
  for (const WalEntry& e : entries) {
    EXPECT_TRUE(w.append(e).ok());
    log.ends.push_back(w.end_offset());
  }
  EXPECT_TRUE(w.sync().ok());
  log.bytes = read_bytes(p);
  return log;
}

TEST(StorageTorn, LogCutAtEveryOffset) {
  TempDir dir;
  const SmallLog log = write_small_log(dir / "full.log");
  for (uint64_t cut = 0; cut <= log.bytes.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    write_bytes(dir / "wal.log", log.bytes.substr(0, cut));
    uint64_t whole = 0, start = 0;
    for (uint64_t end : log.ends) {
      if (end <= cut) {
        ++whole;
        start = end;
      }
    }
    const uint64_t rest = cut - start;  // bytes of the cut frame that remain

    WalReadEnd end;
    std::vector<uint64_t> ids;
    Status s = storage::testing::read_wal(
        dir / "wal.log", [&ids](WalEntry& e) { ids.push_back(e.id); return Status{}; }, &end);
    EXPECT_EQ(ids.size(), whole);
    EXPECT_EQ(end.complete_end, start);
    EXPECT_EQ(end.torn_tail, rest > 0);
    Result<std::vector<WalEntry>> all = storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual).value().read_all();
    if (rest <= 3) {
      // Nothing, or part of a checksum: quietly ignored.
      ASSERT_TRUE(s.ok()) << s.error().message();
      ASSERT_TRUE(all.ok());
      EXPECT_EQ(all.value().size(), whole);
    } else {
      const char* want = rest <= 7 ? "io error: read length failed: failed to fill whole buffer"
                                   : "io error: read data failed: failed to fill whole buffer";
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(s.error().message(), want);
      ASSERT_FALSE(all.ok());
      EXPECT_EQ(all.error().message(), want);  // and no entries
    }

    // Recovery's way out: cut back to the last complete frame and go on.
    {
      Wal w = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual)).value();
      ASSERT_TRUE(w.truncate_to(end.complete_end).ok());
      ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 99, {}, {}}).ok());
    }
    all = storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual).value().read_all();
    ASSERT_TRUE(all.ok()) << all.error().message();
    ASSERT_EQ(all.value().size(), whole + 1);
    EXPECT_EQ(all.value().back().id, 99u);
  }
}

TEST(StorageTorn, LogWithOneFlippedByteIsNeverReadAsValid) {
  TempDir dir;
  const SmallLog log = write_small_log(dir / "full.log");
  for (size_t at = 0; at < log.bytes.size(); ++at) {
    SCOPED_TRACE("byte " + std::to_string(at));
    std::string bytes = log.bytes;
    bytes[at] ^= 0x20;
    write_bytes(dir / "wal.log", bytes);
    Result<std::vector<WalEntry>> all = storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual).value().read_all();
    ASSERT_FALSE(all.ok());
    // Which frame, and where in it.
    uint64_t start = 0;
    for (uint64_t end : log.ends) {
      if (at < end) break;
      start = end;
    }
    const uint64_t in_frame = at - start;
    if (in_frame < 4 || in_frame >= 8) {
      // Checksum or data: the stored and the computed checksum differ.
      const size_t n = get_u32_le(reinterpret_cast<const unsigned char*>(bytes.data() + start + 4));
      const uint32_t stored = get_u32_le(reinterpret_cast<const unsigned char*>(bytes.data() + start));
      const uint32_t computed = static_cast<uint32_t>(
          ::crc32(0, reinterpret_cast<const unsigned char*>(bytes.data() + start + 8), n));
      EXPECT_EQ(all.error().message(), "WAL corrupted: checksum mismatch: expected " +
                                           std::to_string(stored) + ", got " +
                                           std::to_string(computed));
    }
    // A flipped length byte gives a short read or a mismatch; either way an error.
  }
}

struct SmallData {
  std::string bytes;
  std::vector<uint64_t> starts;
  std::vector<size_t> dims;
};

SmallData write_small_data(const std::filesystem::path& p) {
  SmallData d;
  DataFile f = std::move(storage::testing::open_data_file(p)).value();
  Payload payload;
  payload.data["k"] = 1;
  const std::vector<std::vector<float>> vectors = {{0.5f, -1.0f}, {}, {1, 2, 3}};
  for (size_t i = 0; i < vectors.size(); ++i) {
    d.starts.push_back(f.append(i + 1, vectors[i], i == 2 ? payload : Payload{}).value());
    d.dims.push_back(vectors[i].size());
  }
  d.starts.push_back(f.next_offset());
  EXPECT_TRUE(f.flush().ok());
  d.bytes = read_bytes(p);
  return d;
}

TEST(StorageTorn, DataFileCutAtEveryOffset) {
  TempDir dir;
  const SmallData data = write_small_data(dir / "full.vnl");
  for (uint64_t cut = 0; cut <= data.bytes.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    write_bytes(dir / "data.vnl", data.bytes.substr(0, cut));
    size_t whole = 0;
    while (whole + 1 < data.starts.size() && data.starts[whole + 1] <= cut) ++whole;
    const uint64_t start = data.starts[whole];
    const uint64_t rest = cut - start;

    DataFile f = std::move(storage::testing::open_data_file(dir / "data.vnl")).value();
    DataScanEnd end;
    Result<std::vector<DataRecord>> all = f.iter_active(&end);
    ASSERT_TRUE(all.ok());  // a torn last record is never an error
    ASSERT_EQ(all.value().size(), whole);
    for (size_t i = 0; i < whole; ++i) {
      EXPECT_EQ(all.value()[i].id, i + 1);
      EXPECT_EQ(all.value()[i].offset, data.starts[i]);
    }
    EXPECT_EQ(end.stop_offset, start);
    EXPECT_EQ(end.torn_tail, rest > 0);
    EXPECT_EQ(end.error.has_value(), rest > 0);

    // read_at names the field the file ended in.
    if (whole < 3) {
      const size_t d = data.dims[whole];
      const char* field = rest < 1 ? "read deleted"
                          : rest < 9 ? "read id"
                          : rest < 13 ? "read dim"
                          : rest < 13 + 4 * d ? "read vector"
                          : rest < 17 + 4 * d ? "read payload_len"
                                              : "read payload";
      Result<DataRecord> r = f.read_at(start);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().message(),
                std::string("io error: ") + field + " failed: failed to fill whole buffer");
    }

    // Cut the torn record away and append: the new record's offset is right.
    ASSERT_TRUE(f.truncate_to(end.stop_offset).ok());
    const uint64_t off = f.append(42, std::vector<float>{4.0f}, Payload{}).value();
    EXPECT_EQ(off, start);
    ASSERT_TRUE(f.flush().ok());
    EXPECT_EQ(f.read_at(off).value().id, 42u);
    EXPECT_EQ(f.iter_active().value().size(), whole + 1);
  }
}

}  // namespace
}  // namespace varnel::storage
