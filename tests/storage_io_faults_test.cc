// Failures of open, read, write, fsync and ftruncate injected through the
// file layer's fault hook (and /dev/full): each gives its error text, and the
// file left behind still reads back everything that was reported as written,
// at the offsets that were handed out.
#include <errno.h>

#include <gtest/gtest.h>

#include "storage/data_file.h"
#include "storage/wal.h"
#include "storage_test_util.h"

namespace varnel::storage {
namespace {

using testing::ScriptedFaults;
using testing::TempDir;

constexpr int kMaxRuns = 400;

// Frames of mixed sizes: most fit the buffer many times over, every tenth
// is larger than the buffer and goes straight to the file.
WalEntry nth_entry(uint64_t i) {
  return WalEntry{WalEntryKind::kInsert, i, std::vector<float>(i % 10 == 0 ? 3000 : 3, 0.25f), {}};
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.rfind(prefix, 0) == 0;
}

// How a write fault looks: either the n-th write fails outright, or it
// accepts 100 bytes and the one after it fails.
enum class WriteFault { kFails, kPartialThenFails };

ScriptedFaults::Script write_fault(WriteFault kind, int nth, int err) {
  return [=](FileOp op, int n) {
    if (op != FileOp::kWrite) return FaultDecision{};
    if (kind == WriteFault::kFails) return n == nth ? FaultDecision{err, SIZE_MAX} : FaultDecision{};
    if (n == nth) return FaultDecision{0, 100};
    if (n == nth + 1) return FaultDecision{err, SIZE_MAX};
    return FaultDecision{};
  };
}

class LogWriteFaults : public ::testing::TestWithParam<WriteFault> {};

TEST_P(LogWriteFaults, EveryAcknowledgedFrameReadsBack) {
  for (int nth = 1; nth <= kMaxRuns; ++nth) {
    SCOPED_TRACE("write " + std::to_string(nth));
    TempDir dir;
    std::vector<uint64_t> acknowledged;
    bool fired = false;
    {
      Wal w = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual)).value();
      ScriptedFaults hook(write_fault(GetParam(), nth, ENOSPC));
      for (uint64_t i = 0; i < 40; ++i) {
        Status s = w.append(nth_entry(i));
        if (s.ok()) {
          acknowledged.push_back(i);
          continue;
        }
        fired = true;
        const std::string& m = s.error().message();
        EXPECT_TRUE(starts_with(m, "io error: write checksum failed: ") ||
                    starts_with(m, "io error: write length failed: ") ||
                    starts_with(m, "io error: write data failed: "))
            << m;
        EXPECT_NE(m.find(os_error_text(ENOSPC)), std::string::npos) << m;
      }
      // The fault may also land in a write-out; a second sync finishes it.
      Status s = w.sync();
      if (!s.ok()) {
        fired = true;
        EXPECT_EQ(s.error().message(), "io error: flush failed: " + os_error_text(ENOSPC));
        ASSERT_TRUE(w.sync().ok());
      }
    }
    Result<std::vector<WalEntry>> all = storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual).value().read_all();
    ASSERT_TRUE(all.ok()) << all.error().message();
    std::vector<uint64_t> ids;
    for (const WalEntry& e : all.value()) ids.push_back(e.id);
    EXPECT_EQ(ids, acknowledged);
    if (!fired) return;  // the n-th write was past the last one: every case seen
  }
  FAIL() << "faults kept firing";
}

INSTANTIATE_TEST_SUITE_P(Kinds, LogWriteFaults,
                         ::testing::Values(WriteFault::kFails, WriteFault::kPartialThenFails));

TEST(StorageIoFaults, LogFsyncFailureKeepsTheFrameAppended) {
  TempDir dir;
  Wal w = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kAlways)).value();
  {
    ScriptedFaults hook(testing::fail_nth(FileOp::kFsync, 2, EIO));
    ASSERT_TRUE(w.append(nth_entry(1)).ok());
    Status s = w.append(nth_entry(2));
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "io error: sync failed: " + os_error_text(EIO));
    EXPECT_EQ(w.unsynced_appends(), 1u);  // counts as appended, not synced
    ASSERT_TRUE(w.append(nth_entry(3)).ok());
    EXPECT_EQ(w.unsynced_appends(), 0u);
  }
  std::vector<WalEntry> all = w.read_all().value();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].id, 2u);
}

TEST(StorageIoFaults, LogBatchRetriesTheSyncOnEveryLaterAppend) {
  TempDir dir;
  Wal w = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kBatch)).value();
  ScriptedFaults hook(testing::fail_nth(FileOp::kFsync, 1, EIO));
  for (int i = 0; i < 99; ++i) ASSERT_TRUE(w.append(nth_entry(1)).ok());
  EXPECT_FALSE(w.append(nth_entry(1)).ok());  // the 100th: its fsync fails
  EXPECT_EQ(w.unsynced_appends(), 100u);
  ASSERT_TRUE(w.append(nth_entry(1)).ok());  // the 101st syncs again
  EXPECT_EQ(hook.count(FileOp::kFsync), 2);
  EXPECT_EQ(w.unsynced_appends(), 0u);
}

TEST(StorageIoFaults, LogCheckpointFailures) {
  struct Case {
    FileOp op;
    int nth;  // counted after the log was opened
    const char* message_start;
    bool frames_kept;
  };
  for (const Case& c : {Case{FileOp::kOpen, 1, "io error: truncate failed: ", true},
                        Case{FileOp::kFsync, 1, "io error: sync failed: ", true},
                        Case{FileOp::kWrite, 1, "io error: flush failed: ", true}}) {
    TempDir dir;
    Wal w = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual)).value();
    ASSERT_TRUE(w.append(nth_entry(1)).ok());
    ASSERT_TRUE(w.append(nth_entry(2)).ok());
    {
      ScriptedFaults hook(testing::fail_nth(c.op, c.nth, EIO));
      Status s = w.checkpoint();
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(s.error().message(), c.message_start + os_error_text(EIO));
    }
    ASSERT_TRUE(w.sync().ok());
    std::vector<WalEntry> all = w.read_all().value();
    ASSERT_EQ(all.size(), 3u);  // both frames, the Checkpoint last
    EXPECT_EQ(all[2].kind, WalEntryKind::kCheckpoint);
    ASSERT_TRUE(w.checkpoint().ok());  // and a retry empties it
    EXPECT_EQ(std::filesystem::file_size(dir / "wal.log"), 0u);
  }
}

TEST(StorageIoFaults, LogRefusesAppendsWhileATornFrameCannotBeCut) {
  TempDir dir;
  Wal w = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual)).value();
  ASSERT_TRUE(w.append(nth_entry(1)).ok());
  {
    ScriptedFaults hook([](FileOp op, int n) {
      if (op == FileOp::kWrite && n == 2) return FaultDecision{0, 5};  // 5 bytes of the big frame
      if (op == FileOp::kWrite && n == 3) return FaultDecision{EIO, SIZE_MAX};
      if (op == FileOp::kFtruncate) return FaultDecision{EROFS, SIZE_MAX};
      return FaultDecision{};
    });
    Status s = w.append(nth_entry(10));  // larger than the buffer
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "io error: write length failed: " + os_error_text(EIO));
    s = w.append(nth_entry(2));
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), std::string("io error: write checksum failed: ") + kPartialWriteStuck);
    // The file holds every acknowledged frame, then the torn one.
    WalReadEnd end;
    int n = 0;
    Status read = w.read_each([&n](WalEntry&) { ++n; return Status{}; }, &end);
    EXPECT_EQ(read.error().message(), "io error: read length failed: failed to fill whole buffer");
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(end.torn_tail);
  }
  ASSERT_TRUE(w.append(nth_entry(3)).ok());  // the cut works again
  ASSERT_TRUE(w.sync().ok());
  std::vector<WalEntry> all = w.read_all().value();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].id, 3u);
}

TEST(StorageIoFaults, LogReadsSurviveShortReadsAndReportFailedOnes) {
  TempDir dir;
  {
    Wal w = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual)).value();
    for (uint64_t i = 0; i < 12; ++i) ASSERT_TRUE(w.append(nth_entry(i)).ok());
  }
  {
    // Reads that deliver 3 bytes at a time change nothing.
    ScriptedFaults hook([](FileOp op, int) {
      return op == FileOp::kRead ? FaultDecision{0, 3} : FaultDecision{};
    });
    Result<std::vector<WalEntry>> all = storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual).value().read_all();
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all.value().size(), 12u);
  }
  for (int nth = 1;; ++nth) {
    ASSERT_LT(nth, kMaxRuns);
    ScriptedFaults hook([nth](FileOp op, int n) {
      if (op != FileOp::kRead) return FaultDecision{};
      return n == nth ? FaultDecision{EIO, SIZE_MAX} : FaultDecision{0, 1000};
    });
    Result<std::vector<WalEntry>> all = storage::testing::open_wal(dir / "wal.log", SyncPolicy::kManual).value().read_all();
    if (all.ok()) {
      EXPECT_EQ(all.value().size(), 12u);
      break;
    }
    const std::string& m = all.error().message();
    EXPECT_TRUE(starts_with(m, "io error: read checksum failed: ") ||
                starts_with(m, "io error: read length failed: ") ||
                starts_with(m, "io error: read data failed: "))
        << m;
    EXPECT_NE(m.find(os_error_text(EIO)), std::string::npos);
  }
}

TEST(StorageIoFaults, LogOpenFailures) {
  TempDir dir;
  {
    ScriptedFaults hook(testing::fail_nth(FileOp::kOpen, 1, EACCES));
    Result<Wal> w = storage::testing::open_wal(dir / "wal.log", SyncPolicy::kBatch);
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().message(), "io error: failed to open WAL: " + os_error_text(EACCES));
  }
  Wal w = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kBatch)).value();
  ScriptedFaults hook([](FileOp op, int n) {
    if (op == FileOp::kOpen && n == 1) return FaultDecision{EMFILE, SIZE_MAX};
    if (op == FileOp::kFstat && n == 1) return FaultDecision{EIO, SIZE_MAX};
    return FaultDecision{};
  });
  EXPECT_EQ(w.read_all().error().message(),
            "io error: failed to open WAL for read: " + os_error_text(EMFILE));
  EXPECT_EQ(w.read_all().error().message(), "io error: metadata failed: " + os_error_text(EIO));
}

TEST(StorageIoFaults, DevFullLog) {
  Result<Wal> opened = storage::testing::open_wal("/dev/full", SyncPolicy::kManual);
  if (!opened.ok()) GTEST_SKIP() << opened.error().message();
  Wal w = std::move(opened).value();
  ASSERT_TRUE(w.append(nth_entry(1)).ok());  // buffered
  Status s = w.sync();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "io error: flush failed: No space left on device (os error 28)");
  s = w.append(nth_entry(10));  // needs room, and the write-out fails
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(),
            "io error: write checksum failed: No space left on device (os error 28)");
  EXPECT_EQ(w.unsynced_appends(), 1u);
}

class DataWriteFaults : public ::testing::TestWithParam<WriteFault> {};

TEST_P(DataWriteFaults, EveryHandedOutOffsetStaysRight) {
  for (int nth = 1; nth <= kMaxRuns; ++nth) {
    SCOPED_TRACE("write " + std::to_string(nth));
    TempDir dir;
    std::vector<std::pair<uint64_t, uint64_t>> acknowledged;  // id, offset
    bool fired = false;
    DataFile f = std::move(storage::testing::open_data_file(dir / "data.vnl")).value();
    {
      ScriptedFaults hook(write_fault(GetParam(), nth, EIO));
      for (uint64_t id = 0; id < 40; ++id) {
        const std::vector<float> v(id % 10 == 0 ? 3000 : 3, float(id));
        Result<uint64_t> off = f.append(id, v, Payload{});
        if (off.ok()) {
          acknowledged.emplace_back(id, off.value());
          continue;
        }
        fired = true;
        EXPECT_NE(off.error().message().find(os_error_text(EIO)), std::string::npos);
      }
      Status s = f.flush();
      if (!s.ok()) {
        fired = true;
        EXPECT_EQ(s.error().message(), "io error: flush failed: " + os_error_text(EIO));
        ASSERT_TRUE(f.flush().ok());
      }
    }
    EXPECT_EQ(std::filesystem::file_size(dir / "data.vnl"), f.next_offset());
    for (auto [id, off] : acknowledged) {
      Result<DataRecord> r = f.read_at(off);
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(r.value().id, id);
    }
    DataScanEnd end;
    EXPECT_EQ(f.iter_active(&end).value().size(), acknowledged.size());
    EXPECT_FALSE(end.error.has_value());
    if (!fired) return;
  }
  FAIL() << "faults kept firing";
}

INSTANTIATE_TEST_SUITE_P(Kinds, DataWriteFaults,
                         ::testing::Values(WriteFault::kFails, WriteFault::kPartialThenFails));

TEST(StorageIoFaults, DataFileFieldOfAFailedStraightWrite) {
  // A record larger than the buffer goes straight to the file; the error
  // names the field in which the write stopped.
  struct Case {
    size_t accepted;
    const char* field;
  };
  for (const Case& c : {Case{0, "write deleted marker failed: "}, Case{5, "write id failed: "},
                        Case{10, "write dim failed: "}, Case{100, "write vector failed: "},
                        Case{13 + 4 * 3000 + 1, "write payload_len failed: "},
                        Case{17 + 4 * 3000 + 2, "write payload failed: "}}) {
    TempDir dir;
    DataFile f = std::move(storage::testing::open_data_file(dir / "data.vnl")).value();
    ScriptedFaults hook([&c](FileOp op, int n) {
      if (op != FileOp::kWrite) return FaultDecision{};
      if (n == 1 && c.accepted > 0) return FaultDecision{0, c.accepted};
      return FaultDecision{ENOSPC, SIZE_MAX};
    });
    Result<uint64_t> r = f.append(1, std::vector<float>(3000, 1.0f), Payload{});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "io error: " + std::string(c.field) + os_error_text(ENOSPC));
    EXPECT_EQ(std::filesystem::file_size(dir / "data.vnl"), 0u);  // cut back
    EXPECT_EQ(f.next_offset(), 0u);
  }
}

TEST(StorageIoFaults, DataFileMarkDeletedAndFlushFailures) {
  struct Case {
    FileOp op;
    int nth;
    const char* message_start;
  };
  for (const Case& c : {Case{FileOp::kOpen, 1, "io error: open for delete failed: "},
                        Case{FileOp::kLseek, 1, "io error: seek failed: "},
                        Case{FileOp::kWrite, 1, "io error: flush failed: "}}) {
    TempDir dir;
    DataFile f = std::move(storage::testing::open_data_file(dir / "data.vnl")).value();
    ASSERT_TRUE(f.append(1, std::vector<float>{1}, Payload{}).ok());
    ASSERT_TRUE(f.flush().ok());
    {
      ScriptedFaults hook(testing::fail_nth(c.op, c.nth, EIO));
      Status s = f.mark_deleted(0);
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(s.error().message(), c.message_start + os_error_text(EIO));
    }
    EXPECT_EQ(f.iter_active().value().size(), 1u);  // marker not written
  }
  TempDir dir;
  DataFile f = std::move(storage::testing::open_data_file(dir / "data.vnl")).value();
  ASSERT_TRUE(f.append(1, std::vector<float>{1}, Payload{}).ok());
  {
    ScriptedFaults hook(testing::fail_nth(FileOp::kFsync, 1, EIO));
    EXPECT_EQ(f.flush().error().message(), "io error: sync failed: " + os_error_text(EIO));
  }
  {
    // The buffered record must reach the file before its marker: if that
    // write-out fails, nothing is marked.
    ASSERT_TRUE(f.append(2, std::vector<float>{2}, Payload{}).ok());
    ScriptedFaults hook(testing::fail_nth(FileOp::kWrite, 1, EIO));
    EXPECT_EQ(f.mark_deleted(36).error().message(), "io error: flush failed: " + os_error_text(EIO));
  }
  ASSERT_TRUE(f.flush().ok());
  EXPECT_EQ(f.iter_active().value().size(), 2u);
}

TEST(StorageIoFaults, DataFileScanSurvivesShortReadsAndStopsAtFailedOnes) {
  TempDir dir;
  DataFile f = std::move(storage::testing::open_data_file(dir / "data.vnl")).value();
  for (uint64_t id = 0; id < 20; ++id) {
    ASSERT_TRUE(f.append(id, std::vector<float>(id % 10 == 0 ? 3000 : 3, 1.0f), Payload{}).ok());
  }
  ASSERT_TRUE(f.flush().ok());
  {
    ScriptedFaults hook([](FileOp op, int) {
      return op == FileOp::kRead ? FaultDecision{0, 7} : FaultDecision{};
    });
    EXPECT_EQ(f.iter_active().value().size(), 20u);
  }
  ScriptedFaults hook([](FileOp op, int n) {
    return op == FileOp::kRead && n == 2 ? FaultDecision{EIO, SIZE_MAX} : FaultDecision{0, 4096};
  });
  DataScanEnd end;
  Result<std::vector<DataRecord>> some = f.iter_active(&end);
  ASSERT_TRUE(some.ok());  // a quiet stop
  EXPECT_LT(some.value().size(), 20u);
  ASSERT_TRUE(end.error.has_value());
  EXPECT_FALSE(end.torn_tail);
  EXPECT_NE(end.error->message().find(os_error_text(EIO)), std::string::npos);
}

TEST(StorageIoFaults, DevFullDataFile) {
  Result<DataFile> opened = storage::testing::open_data_file("/dev/full");
  if (!opened.ok()) GTEST_SKIP() << opened.error().message();
  DataFile f = std::move(opened).value();
  EXPECT_EQ(f.append(1, std::vector<float>{1}, Payload{}).value(), 0u);
  EXPECT_EQ(f.flush().error().message(), "io error: flush failed: No space left on device (os error 28)");
  Result<uint64_t> big = f.append(2, std::vector<float>(3000, 1.0f), Payload{});
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().message(),
            "io error: write deleted marker failed: No space left on device (os error 28)");
}

}  // namespace
}  // namespace varnel::storage
