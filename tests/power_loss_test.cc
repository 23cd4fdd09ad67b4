// Crash and power-loss model. A writer runs a fixed workload (inserts under
// the batch policy, flushes, a drop and a reopen) and dies just before its
// K-th system call on the collection's files, for every K. What the files
// hold then depends on what died:
//  - the process (kill): every byte written so far is in the files;
//  - the machine (power loss): each file is what it was at its last
//    successful fsync; bytes written since are gone;
//  - the machine, with part of the unsynced tail surviving (a random prefix
//    of what was written since the last fsync, so possibly a torn frame or
//    record).
// Each image is reopened and must: open; hold exactly ids 0..M-1 for some M;
// hold every insert acknowledged before the last fsync of the log or the
// data file that completed; give back every vector bit for bit; and leave a
// data file whose records are all whole and a log that reads to its end.
// A writer that goes on from a recovered image and loses power again must
// hold the same.
//
// A second workload (PowerLossOps) does upserts, removes and inserts of a
// few ids with flushes, compactions, drops and reopens; its images must
// give each id its last synced state or a later one. The model follows
// compact's rename: data.vnl becomes the new file once the directory sync
// completes, and until then a power loss may bring back either file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>

#include "reliability_util.h"
#include "storage_test_util.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using storage::FaultDecision;
using storage::FaultHook;
using storage::FileOp;
using storage::testing::read_bytes;
using storage::testing::write_bytes;
using testing::ScratchDir;
using testing::vector_of;

const char* const kFiles[] = {kMetaFileName, kWalFileName, kDataFileName};

// A directory's three files; nullopt for a file that does not exist.
using Image = std::map<std::string, std::optional<std::string>>;

Image take_image(const fs::path& dir) {
  Image image;
  for (const char* name : kFiles) {
    if (fs::exists(dir / name)) {
      image[name] = read_bytes(dir / name);
    } else {
      image[name] = std::nullopt;
    }
  }
  return image;
}

void put_image(const fs::path& dir, const Image& image) {
  fs::create_directories(dir);
  for (const auto& [name, bytes] : image) {
    if (bytes) write_bytes(dir / name, *bytes);
  }
}

// Watches the file layer: keeps each file's content as of its last
// successful fsync, and from the K-th call on acts as a dead process (every
// call fails) after taking the files as they were at that moment.
class CrashHook : public FaultHook {
 public:
  CrashHook(fs::path dir, int kill_at) : dir_(std::move(dir)), kill_at_(kill_at) {
    for (const char* name : kFiles) synced_[name] = std::nullopt;
    previous_ = storage::set_fault_hook(this);
  }
  ~CrashHook() override { storage::set_fault_hook(previous_); }

  FaultDecision before(FileOp) override {
    if (dead_) return {EIO, SIZE_MAX};
    if (++calls_ == kill_at_) {
      dead_ = true;
      at_death_ = take_image(dir_);
      at_death_data_inode_ = inode_of(dir_ / kDataFileName);
      return {EIO, SIZE_MAX};
    }
    return {};
  }

  void after(FileOp op, int fd, int err) override {
    if (op != FileOp::kFsync || err != 0) return;
    const fs::path p = testing::fd_path(fd);
    const std::string name = p.filename().string();
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) synced_by_inode_[st.st_ino] = read_bytes(p);
    if (name == kWalFileName || name == kDataFileName) {
      synced_[name] = read_bytes(p);
      if (name == kDataFileName) data_inode_ = st.st_ino;
      if (on_synced) on_synced();
    } else if (p == fs::weakly_canonical(dir_)) {
      // meta.json is renamed into place, then the directory synced. So is
      // compact's new data file: once the directory is synced, data.vnl is
      // the new file with what its last fsync made durable.
      synced_[kMetaFileName] = read_bytes(dir_ / kMetaFileName);
      const ino_t now = inode_of(dir_ / kDataFileName);
      if (now != 0 && now != data_inode_ && synced_by_inode_.count(now)) {
        synced_[kDataFileName] = synced_by_inode_[now];
        data_inode_ = now;
      }
    }
  }

  static ino_t inode_of(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  // When data.vnl was replaced by a rename that no directory sync has made
  // durable yet: what its new file's last fsync holds ("" when none).
  std::optional<std::string> renamed_data() const {
    if (at_death_data_inode_ == 0 || data_inode_ == 0 || at_death_data_inode_ == data_inode_) {
      return std::nullopt;
    }
    auto it = synced_by_inode_.find(at_death_data_inode_);
    return it == synced_by_inode_.end() ? std::string() : it->second;
  }

  bool dead() const { return dead_; }
  int calls() const { return calls_; }
  const Image& at_death() const { return at_death_; }
  const Image& synced() const { return synced_; }
  std::function<void()> on_synced;

 private:
  fs::path dir_;
  int kill_at_;
  int calls_ = 0;
  bool dead_ = false;
  Image at_death_;
  Image synced_;
  std::map<ino_t, std::string> synced_by_inode_;  // every regular file's last fsynced content
  ino_t data_inode_ = 0;            // the file synced_[data.vnl] belongs to
  ino_t at_death_data_inode_ = 0;   // data.vnl's file when the process died
  FaultHook* previous_ = nullptr;
};

struct Acks {
  std::set<uint64_t> attempted;
  std::set<uint64_t> durable;  // acknowledged, then covered by a completed fsync
};

// Runs until the hook kills it (or to the end).
Acks run_workload(const fs::path& dir, CrashHook& hook) {
  Acks acks;
  std::vector<uint64_t> pending;
  bool synced_in_call = false;
  hook.on_synced = [&] {
    synced_in_call = true;
    acks.durable.insert(pending.begin(), pending.end());
    pending.clear();
  };
  std::shared_ptr<Collection> c;
  auto open = [&] {
    auto opened = Collection::open_or_create(dir, testing::batch_config());
    if (!opened.ok()) return false;
    c = std::move(opened.value());
    return true;
  };
  auto insert = [&](uint64_t from, uint64_t to) {
    for (uint64_t id = from; id < to; ++id) {
      acks.attempted.insert(id);
      synced_in_call = false;
      if (!c->insert(id, vector_of(id), {}).ok()) return false;
      if (synced_in_call) {
        acks.durable.insert(id);
      } else {
        pending.push_back(id);
      }
    }
    return true;
  };
  // Each step stops the run once the process is dead.
  if (!open() || !insert(0, 250) || !c->flush().ok() || !insert(250, 450)) return acks;
  c.reset();
  if (!open() || !insert(450, 600) || !c->flush().ok() || !insert(600, 650)) return acks;
  c.reset();
  return acks;
}

// The power-loss image with part of each file's unsynced writes kept.
// Deleted markers written in place into the synced part of the data file
// survive one by one, or not.
// meta.json is only ever replaced whole (written aside, synced, renamed), so
// it is either the synced one or the newest one. The other files keep their
// synced content up to where the process last changed it, then a random
// part of what it wrote since: a torn frame or record is likely.
// A data file replaced by a rename whose directory sync had not completed
// (`renamed`: the new file's synced content) comes back as the old file
// whole, or as the new one with part of its own unsynced tail.
Image partial_tail(const Image& synced, const Image& at_death, std::mt19937_64& rng,
                   const std::optional<std::string>& renamed = std::nullopt) {
  Image out = synced;
  for (const auto& [name, now] : at_death) {
    if (!now) continue;
    if (name == kMetaFileName) {
      if (rng() % 2 == 0) out[name] = now;
      continue;
    }
    const bool replaced = name == kDataFileName && renamed.has_value();
    if (replaced && rng() % 2 == 0) continue;  // the rename did not survive
    const std::string base = replaced ? *renamed : synced.at(name).value_or("");
    size_t same = 0;
    while (same < base.size() && same < now->size() && base[same] == (*now)[same]) ++same;
    if (same < base.size() && rng() % 2 == 0) continue;  // the rewrite did not survive
    if (name == kDataFileName && same < base.size() && now->size() >= base.size()) {
      // Grown, with bytes changed in place: deleted markers, each of which
      // reached the disk or not; then part of what was appended.
      std::string mixed = base;
      for (size_t i = same; i < base.size(); ++i) {
        if (base[i] != (*now)[i] && rng() % 2 == 0) mixed[i] = (*now)[i];
      }
      std::uniform_int_distribution<size_t> keep(0, now->size() - base.size());
      out[name] = mixed + now->substr(base.size(), keep(rng));
      continue;
    }
    // Cut back (a checkpoint, a torn tail cut away) and rewritten since: the
    // untouched start stays, then part of the rest.
    std::uniform_int_distribution<size_t> keep(0, now->size() - same);
    out[name] = now->substr(0, same + keep(rng));
  }
  return out;
}

// Checks a crash image; empty when it holds what it must.
std::string check_image(const Image& image, const Acks& acks, uint64_t* count) {
  ScratchDir tmp;
  const fs::path dir = tmp.path() / "c";
  put_image(dir, image);
  testing::DirCheck check = testing::check_dir(dir);
  if (!check.problem.empty()) return check.problem;
  const uint64_t m = check.ids.size();
  if (m > 0 && *check.ids.rbegin() != m - 1) return "ids are not a prefix 0..M-1";
  for (uint64_t id : acks.durable) {
    if (!check.ids.count(id)) return "acknowledged and synced insert " + std::to_string(id) + " lost";
  }
  for (uint64_t id : check.ids) {
    if (!acks.attempted.count(id)) return "id " + std::to_string(id) + " was never inserted";
  }
  *count = m;
  return {};
}

// How many random draws of the surviving tails each crash point gets:
// VARNEL_POWER_LOSS_ROUNDS (default 1) for long runs by hand.
int rounds() {
  const char* env = std::getenv("VARNEL_POWER_LOSS_ROUNDS");
  const int n = env != nullptr ? std::atoi(env) : 1;
  return n > 0 ? n : 1;
}

enum class Death { kKill, kPowerLoss, kPowerLossPartialTail };

std::string death_name(const ::testing::TestParamInfo<Death>& info) {
  switch (info.param) {
    case Death::kKill: return "Kill";
    case Death::kPowerLoss: return "PowerLoss";
    case Death::kPowerLossPartialTail: return "PartialTail";
  }
  return "?";
}

class PowerLoss : public ::testing::TestWithParam<Death> {};

TEST_P(PowerLoss, EveryCrashPointReopensWithEverySyncedInsert) {
  int total = 0;
  {
    ScratchDir tmp;
    CrashHook hook(tmp.path() / "c", -1);
    run_workload(tmp.path() / "c", hook);
    total = hook.calls();
  }
  ASSERT_GT(total, 50);
  uint64_t most = 0;
  const int draws = GetParam() == Death::kPowerLossPartialTail ? rounds() : 1;
  for (int trial = 0; trial < total * draws; ++trial) {
    const int k = trial % total + 1;
    SCOPED_TRACE("killed at call " + std::to_string(k) + " of " + std::to_string(total) +
                 ", trial " + std::to_string(trial));
    ScratchDir tmp;
    const fs::path dir = tmp.path() / "c";
    Acks acks;
    Image at_death, synced;
    {
      CrashHook hook(dir, k);
      acks = run_workload(dir, hook);
      ASSERT_TRUE(hook.dead());
      at_death = hook.at_death();
      synced = hook.synced();
    }
    std::mt19937_64 rng(static_cast<uint64_t>(trial));
    Image image;
    switch (GetParam()) {
      case Death::kKill: image = at_death; break;
      case Death::kPowerLoss: image = synced; break;
      case Death::kPowerLossPartialTail: image = partial_tail(synced, at_death, rng); break;
    }
    uint64_t count = 0;
    ASSERT_EQ(check_image(image, acks, &count), "");
    most = std::max(most, count);
  }
  RecordProperty("crash_points", total);
  EXPECT_GT(most, 0u);
}

// Recovery itself writes: it cuts torn tails and replays the log into the
// data file, none of it synced. A writer that goes on from a recovered
// image (inserts, a flush, more inserts) and then loses power again, at
// every point, must still hold what the first recovery found plus what it
// acknowledged and synced since.
TEST(PowerLossTwice, RecoveredWriterLosesPowerAgain) {
  int total = 0;
  {
    ScratchDir tmp;
    CrashHook hook(tmp.path() / "c", -1);
    run_workload(tmp.path() / "c", hook);
    total = hook.calls();
  }
  for (int trial = 0; trial < total * rounds(); trial += 3) {
    const int k = trial % total + 1;
    SCOPED_TRACE("first crash at call " + std::to_string(k) + ", trial " + std::to_string(trial));
    ScratchDir tmp;
    std::mt19937_64 rng(static_cast<uint64_t>(trial) * 7919);
    const fs::path first = tmp.path() / "first";
    Acks acks;
    Image image;
    {
      CrashHook hook(first, k);
      acks = run_workload(first, hook);
      image = partial_tail(hook.synced(), hook.at_death(), rng);
    }
    const fs::path second = tmp.path() / "second";
    put_image(second, image);
    const int kill_at = static_cast<int>(rng() % 40) + 1;
    Image synced, at_death;
    {
      CrashHook hook(second, kill_at);
      std::vector<uint64_t> pending;
      bool synced_in_call = false;
      hook.on_synced = [&] {
        synced_in_call = true;
        acks.durable.insert(pending.begin(), pending.end());
        pending.clear();
      };
      auto c = Collection::open_or_create(second, testing::batch_config());
      if (c.ok()) {
        // What this recovery found counts as acknowledged: it came back from
        // files that the crash left durable.
        const std::set<uint64_t> found = testing::stored_ids(*c.value());
        acks.durable.insert(found.begin(), found.end());
        const uint64_t m = c.value()->len();
        for (uint64_t id = m; id < m + 260; ++id) {
          if (id == m + 150 && !c.value()->flush().ok()) break;
          acks.attempted.insert(id);
          synced_in_call = false;
          if (!c.value()->insert(id, vector_of(id), {}).ok()) break;
          if (synced_in_call) {
            acks.durable.insert(id);
          } else {
            pending.push_back(id);
          }
        }
      } else {
        ASSERT_TRUE(hook.dead()) << c.error().message();
      }
      if (!hook.dead()) {
        // Killed at the end, before the drop writes anything out.
        ASSERT_TRUE(hook.at_death().empty());
        hook.on_synced = nullptr;
      }
      at_death = hook.dead() ? hook.at_death() : take_image(second);
      synced = hook.synced();
      // A file not synced since the first crash is what that crash left.
      for (auto& [name, bytes] : synced) {
        if (!bytes) bytes = image.at(name);
      }
      // The drop must not reach the files: the process is gone.
      struct Dead : FaultHook {
        FaultDecision before(FileOp) override { return {EIO, SIZE_MAX}; }
      } dead;
      FaultHook* mine = storage::set_fault_hook(&dead);
      c = Error::io("dropped");
      storage::set_fault_hook(mine);
    }
    uint64_t count = 0;
    ASSERT_EQ(check_image(partial_tail(synced, at_death, rng), acks, &count), "");
  }
}

// ---------------------------------------------------------------------------
// The same deaths for a workload of upserts, removes and inserts over a few
// ids, with flushes, compactions, drops and reopens. Durability is judged
// per id: each id must come back as the result of its last operation that
// was acknowledged before a completed fsync, or of one attempted after it
// (nothing synced may be lost; nothing unsynced need survive, and
// unsynced changes of different ids may survive independently).

constexpr uint64_t kOpIds = 24;

// The value of (id, version): distinct from every other, version in the payload.
std::vector<float> versioned(uint64_t id, uint64_t version) { return vector_of(id * 4096 + version); }

struct Op {
  uint64_t id;
  std::optional<uint64_t> version;  // nullopt: removed
};

struct OpLog {
  std::vector<Op> ops;          // attempted, in order
  std::vector<bool> durable;    // per op: acknowledged and covered by a completed fsync
};

// Runs the workload until the hook kills it (or to the end).
OpLog run_op_workload(const fs::path& dir, CrashHook& hook) {
  OpLog log;
  std::vector<size_t> pending;
  bool synced_in_call = false;
  hook.on_synced = [&] {
    synced_in_call = true;
    for (size_t i : pending) log.durable[i] = true;
    pending.clear();
  };
  std::mt19937_64 rng(99);
  std::shared_ptr<Collection> c;
  uint64_t version = 0;
  auto open = [&] {
    auto opened = Collection::open_or_create(dir, testing::batch_config());
    if (!opened.ok()) return false;
    c = std::move(opened.value());
    return true;
  };
  auto run = [&](int n) {
    for (int i = 0; i < n; ++i) {
      const uint64_t id = rng() % kOpIds;
      const int what = static_cast<int>(rng() % 10);
      Op op{id, std::nullopt};
      if (what >= 3) op.version = ++version;
      log.ops.push_back(op);
      log.durable.push_back(false);
      synced_in_call = false;
      bool ok = false;
      if (!op.version) {
        ok = c->remove(id).ok();
      } else {
        Payload p;
        p.data["v"] = json::Value(*op.version);
        const std::vector<float> v = versioned(id, *op.version);
        ok = what == 9 ? c->insert(id, v, p).ok() : c->upsert(id, v, p).ok();
      }
      if (!ok) return false;
      // An op whose own call synced the log is durable; otherwise it waits
      // for the next completed fsync.
      if (synced_in_call) {
        log.durable.back() = true;
      } else {
        pending.push_back(log.ops.size() - 1);
      }
    }
    return true;
  };
  if (!open() || !run(150) || !c->flush().ok() || !run(120) || !c->compact().ok() || !run(90)) {
    return log;
  }
  c.reset();
  if (!open() || !run(60) || !c->compact().ok() || !run(130) || !c->flush().ok() || !run(40)) {
    return log;
  }
  c.reset();
  if (!open() || !c->compact().ok() || !run(20)) return log;
  c.reset();
  return log;
}

// Checks a crash image of the op workload; empty when it holds what it must.
std::string check_op_image(const Image& image, const OpLog& log) {
  ScratchDir tmp;
  const fs::path dir = tmp.path() / "c";
  put_image(dir, image);
  for (int round = 0; round < 2; ++round) {  // the second open reads what the first left
    auto c = Collection::open_or_create(dir, testing::batch_config());
    if (!c.ok()) return "reopen failed: " + c.error().message();
    for (uint64_t id = 0; id < kOpIds; ++id) {
      // The allowed outcomes: the last durable op on the id and every op
      // attempted after it (or absence, when no op on it was durable).
      std::vector<std::optional<uint64_t>> allowed;
      bool any_durable = false;
      for (size_t i = 0; i < log.ops.size(); ++i) {
        if (log.ops[i].id != id) continue;
        if (log.durable[i]) {
          allowed.clear();
          any_durable = true;
        }
        allowed.push_back(log.ops[i].version);
      }
      if (!any_durable) allowed.push_back(std::nullopt);
      std::optional<uint64_t> got;
      if (auto entry = c.value()->get(id)) {
        auto v = entry->payload.data.find("v");
        if (v == entry->payload.data.end() || !v->second.is_number_unsigned()) {
          return "id " + std::to_string(id) + " has no version";
        }
        got = v->second.get<uint64_t>();
        if (!testing::same_bits(entry->vector, versioned(id, *got))) {
          return "id " + std::to_string(id) + " holds another vector";
        }
      }
      if (std::find(allowed.begin(), allowed.end(), got) == allowed.end()) {
        return "id " + std::to_string(id) + " came back as " +
               (got ? "version " + std::to_string(*got) : std::string("absent")) +
               ", not its last synced state or a later one";
      }
    }
    if (c.value()->len() > kOpIds) return "ids that were never written";
  }
  // Every record whole, the log readable to its end.
  auto data = storage::testing::open_data_file(dir / kDataFileName);
  if (!data.ok()) return "data file: " + data.error().message();
  storage::DataScanEnd end;
  Status scanned = data.value().for_each_active([](storage::DataRecord&) { return Status{}; }, &end);
  if (!scanned.ok()) return "data file: " + scanned.error().message();
  if (end.error.has_value()) return "data file stops at " + std::to_string(end.stop_offset);
  Status read = storage::testing::read_wal(dir / kWalFileName, [](storage::WalEntry&) { return Status{}; });
  if (!read.ok()) return "log: " + read.error().message();
  return {};
}

class PowerLossOps : public ::testing::TestWithParam<Death> {};

TEST_P(PowerLossOps, EveryCrashPointKeepsEverySyncedUpsertAndDelete) {
  int total = 0;
  {
    ScratchDir tmp;
    OpLog full;
    {
      CrashHook hook(tmp.path() / "c", -1);
      full = run_op_workload(tmp.path() / "c", hook);
      total = hook.calls();
    }
    ASSERT_EQ(check_op_image(take_image(tmp.path() / "c"), full), "");
  }
  ASSERT_GT(total, 100);
  const int draws = GetParam() == Death::kPowerLossPartialTail ? rounds() : 1;
  for (int trial = 0; trial < total * draws; ++trial) {
    const int k = trial % total + 1;
    SCOPED_TRACE("killed at call " + std::to_string(k) + " of " + std::to_string(total) +
                 ", trial " + std::to_string(trial));
    ScratchDir tmp;
    const fs::path dir = tmp.path() / "c";
    OpLog log;
    Image image;
    {
      CrashHook hook(dir, k);
      log = run_op_workload(dir, hook);
      ASSERT_TRUE(hook.dead());
      std::mt19937_64 rng(static_cast<uint64_t>(trial));
      switch (GetParam()) {
        case Death::kKill: image = hook.at_death(); break;
        case Death::kPowerLoss: image = hook.synced(); break;
        case Death::kPowerLossPartialTail:
          image = partial_tail(hook.synced(), hook.at_death(), rng, hook.renamed_data());
          break;
      }
    }
    ASSERT_EQ(check_op_image(image, log), "");
  }
  RecordProperty("crash_points", total);
}

INSTANTIATE_TEST_SUITE_P(Deaths, PowerLossOps,
                         ::testing::Values(Death::kKill, Death::kPowerLoss,
                                           Death::kPowerLossPartialTail),
                         death_name);

INSTANTIATE_TEST_SUITE_P(Deaths, PowerLoss,
                         ::testing::Values(Death::kKill, Death::kPowerLoss,
                                           Death::kPowerLossPartialTail),
                         death_name);

}  // namespace
}  // namespace varnel
