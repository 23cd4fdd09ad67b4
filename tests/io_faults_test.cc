// I/O-fault sweep: a fixed workload of opens, inserts, flushes and drops runs
// once per (system call, errno, N), with the N-th call of that kind failing,
// for N = 1, 2, 3, ... until the workload makes fewer than N such calls.
// After each injected failure:
//  - the failing operation reports an Error whose text carries the injected
//    errno's description, and no other operation fails (the object stays
//    usable: the fault is gone for the next call);
//  - a reopen with the fault lifted finds every insert that was reported
//    successful and had been made durable (a later fsync of the log or the
//    data file succeeded, while the file held it: a drop's write-out that
//    failed, which nobody can report, loses the inserts no sync covered
//    yet), nothing that was never inserted, every vector
//    bit for bit, a data file whose every record is whole and holds its own
//    id's vector, and a log that reads to its end.
#include <errno.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <tuple>

#include "reliability_util.h"
#include "storage_test_util.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using storage::FaultDecision;
using storage::FaultHook;
using storage::FileOp;
using testing::check_dir;
using testing::vector_of;

// Fails the nth call of one kind once; reports every fsync that succeeded.
class SweepHook : public FaultHook {
 public:
  SweepHook(FileOp op, int nth, int err) : op_(op), nth_(nth), err_(err) {
    previous_ = storage::set_fault_hook(this);
  }
  ~SweepHook() override { storage::set_fault_hook(previous_); }

  // Torn: the nth call of a write accepts only part of its bytes and the
  // call after it fails, as when a disk fills in the middle of a write.
  // With `cut_fails`, the next ftruncate (cutting the partial piece away)
  // fails as well, which leaves the writer stuck until a later cut works.
  void set_torn(bool cut_fails) {
    torn_ = true;
    cut_fails_ = cut_fails;
  }

  FaultDecision before(FileOp op) override {
    if (cut_armed_) {
      // Only a cut right after the failed write is failed.
      cut_armed_ = false;
      if (op == FileOp::kFtruncate) return {err_, SIZE_MAX};
    }
    if (op != op_) return {};
    ++seen_;
    if (torn_ && seen_ == nth_) return {0, 3};
    if (seen_ == nth_ + (torn_ ? 1 : 0)) {
      fired_ = true;
      cut_armed_ = cut_fails_;
      return {err_, SIZE_MAX};
    }
    return {};
  }
  void after(FileOp op, int fd, int err) override {
    if (op != FileOp::kFsync || err != 0 || !on_synced) return;
    on_synced(fs::path(testing::fd_path(fd)).filename().string());
  }

  bool fired() const { return fired_; }
  std::function<void(const std::string& file_name)> on_synced;

 private:
  FileOp op_;
  int nth_;
  int err_;
  int seen_ = 0;
  bool torn_ = false;
  bool cut_fails_ = false;
  bool cut_armed_ = false;
  bool fired_ = false;
  FaultHook* previous_ = nullptr;
};

// What the workload saw.
struct WorkloadRun {
  std::set<uint64_t> attempted;
  std::set<uint64_t> succeeded;
  std::set<uint64_t> durable;  // succeeded, and covered by a later fsync
  std::vector<std::string> failures;
};

// The workload's size: small vectors keep every frame and record inside the
// 8 KiB buffers; large ones (a frame of more than 8 KiB) go straight to the
// file, where a failed write must be cut back.
struct Shape {
  size_t dim;
  uint64_t scale;  // the workload's id ranges are divided by this
};

class Workload {
 public:
  Workload(const fs::path& dir, SweepHook& hook, Shape shape)
      : dir_(dir), shape_(shape), hook_(hook) {
    hook.on_synced = [this](const std::string& name) {
      if (name != kWalFileName && name != kDataFileName) return;
      // Both files' fsyncs cover everything handed to them before: the log
      // every frame appended, the data file every record.
      synced_in_call_ = true;
      run_.durable.insert(pending_.begin(), pending_.end());
      pending_.clear();
    };
  }

  WorkloadRun run() {
    open();
    insert_range(0, 150);  // the 100th insert syncs the log (at scale 1)
    flush();
    insert_range(150, 260);
    drop();  // buffers written out, nothing synced
    // What a writer killed mid-append leaves: half a frame, half a record.
    // The next open cuts both away (ftruncate, lseek).
    append_bytes(dir_ / kWalFileName, std::string("\x11\x22\x33\x44\x05", 5));
    append_bytes(dir_ / kDataFileName, std::string(10, '\0'));
    open();  // cuts the tails, replays 150..259 into memory
    insert_range(260, 300);
    flush();
    insert_range(300, 310);
    drop();
    return std::move(run_);
  }

 private:
  static void append_bytes(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  void fail(const std::string& what, const Error& e) {
    run_.failures.push_back(what + ": " + e.message());
  }

  void open() {
    auto c = Collection::open_or_create(dir_, testing::batch_config(shape_.dim));
    if (!c.ok()) {
      fail("open", c.error());
      // The fault fires once; a second attempt must work.
      c = Collection::open_or_create(dir_, testing::batch_config(shape_.dim));
      if (!c.ok()) {
        fail("open again", c.error());
        return;
      }
    }
    collection_ = std::move(c.value());
    // A later sync of the log covers an unsynced insert of the last session
    // only when its frame reached the file, as this open found.
    for (uint64_t id : unsynced_at_drop_) {
      if (collection_->contains(id)) pending_.push_back(id);
    }
    unsynced_at_drop_.clear();
  }

  // A drop writes its buffers out and cannot report a failure: the inserts
  // no sync covered yet are in the file unless the fault fired in the drop.
  void drop() {
    const bool fired_before = hook_.fired();
    collection_.reset();
    if (hook_.fired() != fired_before) {
      unsynced_at_drop_ = std::move(pending_);
      pending_.clear();
    }
  }

  void insert_range(uint64_t from, uint64_t to) {
    if (!collection_) return;
    for (uint64_t id = from / shape_.scale; id < to / shape_.scale; ++id) {
      run_.attempted.insert(id);
      synced_in_call_ = false;
      Status s = collection_->insert(id, vector_of(id, shape_.dim), {});
      if (!s.ok()) {
        fail("insert " + std::to_string(id), s.error());
        continue;
      }
      run_.succeeded.insert(id);
      // A sync inside this insert's own append covered its frame.
      if (synced_in_call_) {
        run_.durable.insert(id);
      } else {
        pending_.push_back(id);
      }
    }
  }

  void flush() {
    if (!collection_) return;
    Status s = collection_->flush();
    if (!s.ok()) fail("flush", s.error());
  }

  fs::path dir_;
  Shape shape_;
  std::shared_ptr<Collection> collection_;
  WorkloadRun run_;
  SweepHook& hook_;
  std::vector<uint64_t> pending_;  // succeeded, no fsync since
  std::vector<uint64_t> unsynced_at_drop_;  // pending when a drop's write-out failed
  bool synced_in_call_ = false;
};

std::string op_name(FileOp op) {
  switch (op) {
    case FileOp::kOpen: return "open";
    case FileOp::kRead: return "read";
    case FileOp::kWrite: return "write";
    case FileOp::kFsync: return "fsync";
    case FileOp::kFtruncate: return "ftruncate";
    case FileOp::kLseek: return "lseek";
    case FileOp::kFstat: return "fstat";
    case FileOp::kStat: return "stat";
    case FileOp::kRename: return "rename";
    case FileOp::kMkdir: return "mkdir";
    case FileOp::kLock: return "flock";
    case FileOp::kUnlink: return "unlink";
    case FileOp::kReadDir: return "readdir";
  }
  return "?";
}

std::string errno_name(int err) {
  switch (err) {
    case EIO: return "EIO";
    case ENOSPC: return "ENOSPC";
    case EACCES: return "EACCES";
  }
  return std::to_string(err);
}

constexpr Shape kSmall = {testing::kDim, 1};
constexpr Shape kLarge = {1500, 10};  // a frame is about 14 KiB, a record 6 KiB

enum Tear { kWhole, kTorn, kTornCutFails };

// (call, errno, tear, large): tearing applies to writes only.
using SweepParam = std::tuple<FileOp, int, int, bool>;

class IoFaultSweep : public ::testing::TestWithParam<SweepParam> {};

TEST_P(IoFaultSweep, EveryNthCallFailsCleanly) {
  const auto [op, err, tear, large] = GetParam();
  const Shape shape = large ? kLarge : kSmall;
  const std::string cause = os_error_text(err);
  int trials = 0;
  for (int nth = 1;; ++nth) {
    SCOPED_TRACE(op_name(op) + " #" + std::to_string(nth) + " fails with " + errno_name(err));
    testing::ScratchDir tmp;
    const fs::path dir = tmp.path() / "c";
    WorkloadRun run;
    bool fired = false;
    {
      SweepHook hook(op, nth, err);
      if (tear != kWhole) hook.set_torn(tear == kTornCutFails);
      Workload w(dir, hook, shape);
      run = w.run();
      fired = hook.fired();
    }
    if (!fired) {
      // The workload makes fewer than nth such calls, and then nothing fails.
      EXPECT_TRUE(run.failures.empty()) << run.failures.front();
      EXPECT_EQ(run.succeeded, run.attempted);
      break;
    }
    ++trials;
    // At most one operation fails, and it says why.
    ASSERT_LE(run.failures.size(), 1u) << run.failures[0] << " / " << run.failures[1];
    for (const std::string& f : run.failures) {
      EXPECT_NE(f.find(cause), std::string::npos) << f;
    }
    testing::DirCheck check = check_dir(dir, shape.dim);
    ASSERT_EQ(check.problem, "");
    for (uint64_t id : run.durable) {
      ASSERT_TRUE(check.ids.count(id)) << "durable insert " << id << " lost";
    }
    for (uint64_t id : check.ids) {
      ASSERT_TRUE(run.attempted.count(id)) << "id " << id << " was never inserted";
    }
    // Every insert reported successful is there unless the failure hit the
    // writing out of buffers at a drop, which nobody can report.
    if (!run.failures.empty()) {
      for (uint64_t id : run.succeeded) {
        EXPECT_TRUE(check.ids.count(id)) << "successful insert " << id << " lost";
      }
    }
  }
  RecordProperty("trials", trials);
  EXPECT_GT(trials, 0) << "the workload never made this call";
}

std::string param_name(const ::testing::TestParamInfo<SweepParam>& info) {
  static const char* const kTears[] = {"_", "_torn_", "_torn_stuck_"};
  return op_name(std::get<0>(info.param)) + kTears[std::get<2>(info.param)] +
         errno_name(std::get<1>(info.param)) + (std::get<3>(info.param) ? "_large" : "");
}

INSTANTIATE_TEST_SUITE_P(
    AllCalls, IoFaultSweep,
    ::testing::Combine(::testing::Values(FileOp::kOpen, FileOp::kWrite, FileOp::kFsync,
                                         FileOp::kFtruncate, FileOp::kRename, FileOp::kMkdir,
                                         FileOp::kRead, FileOp::kLseek, FileOp::kFstat,
                                         FileOp::kStat, FileOp::kLock),
                       ::testing::Values(EIO, ENOSPC, EACCES), ::testing::Values(kWhole),
                       ::testing::Values(false)),
    param_name);

INSTANTIATE_TEST_SUITE_P(TornWrites, IoFaultSweep,
                         ::testing::Combine(::testing::Values(FileOp::kWrite),
                                            ::testing::Values(EIO, ENOSPC),
                                            ::testing::Values(kTorn, kTornCutFails),
                                            ::testing::Bool()),
                         param_name);

// Large frames and records: the calls whose failures touch the straight
// writes and the cutting back of a partly written piece.
INSTANTIATE_TEST_SUITE_P(
    LargeVectors, IoFaultSweep,
    ::testing::Combine(::testing::Values(FileOp::kWrite, FileOp::kFsync, FileOp::kFtruncate,
                                         FileOp::kLseek, FileOp::kOpen),
                       ::testing::Values(EIO, ENOSPC), ::testing::Values(kWhole),
                       ::testing::Values(true)),
    param_name);

}  // namespace
}  // namespace varnel
