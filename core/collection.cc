#include "collection.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <system_error>

#include "json.h"
#include "storage/file.h"
#include "zeroed_memory.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using storage::File;
using storage::OpenMode;

constexpr const char* kCreateDir = "create dir failed: ";
constexpr const char* kReadMeta = "read meta failed: ";
constexpr const char* kDataDamaged = "data file damaged: ";
constexpr const char* kLockFailed = "lock failed: ";
constexpr const char* kInUse = "the collection is in use by another process";
constexpr const char* kOpenHere = "the collection is open in this process";
constexpr const char* kCompact = "compact failed: ";
// The rewritten data file is built under this prefix, then a name no other
// process or call uses (process id, a count, the clock).
constexpr std::string_view kCompactTempPrefix = "data.vnl.compact-";

// A scan that stops inside the last record is a torn tail (an append cut
// short by the end of the process) only when what follows the last whole
// record is shorter than one record could be; a damaged length that claims
// more than remains further back is not cut away.
constexpr uint64_t kTornRecordPayloadAllowance = 1 << 20;

// The length of the text of an empty payload, {"data":{}}.
constexpr uint64_t kEmptyPayloadBytes = 11;

// A load split over two threads (load_data_file): files shorter than this
// load alone, as the second thread would cost more than it saves; the
// caller's part hands its (id, offset) pairs over this many at a time; the
// other part has the index's memory backed this far ahead of the rows.
constexpr uint64_t kSplitLoadMinBytes = 256 << 10;
constexpr size_t kSplitLoadHandOver = 1024;
constexpr size_t kSplitLoadLeadBytes = 32 << 20;

// A name for compact's temporary that no earlier call (of this or another
// process) has used.
std::string compact_temp_name() {
  static std::atomic<uint64_t> count{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return std::string(kCompactTempPrefix) + std::to_string(getpid()) + "-" +
         std::to_string(count.fetch_add(1)) + "-" + std::to_string(now) + ".tmp";
}

// Temporaries that an interrupted compact left behind; best effort, as
// they are never read.
void remove_compact_temps(const storage::Directory& dir) {
  auto names = dir.names();
  if (!names.ok()) return;
  for (const std::string& name : names.value()) {
    if (name.starts_with(kCompactTempPrefix)) (void)dir.remove(name);
  }
}

Status sync_directory(const storage::Directory& dir, const char* context) {
  auto synced = dir.sync();
  if (!synced.ok()) return Error::collection(context + synced.error());
  return {};
}

uint64_t next_after(uint64_t id) {
  return id == std::numeric_limits<uint64_t>::max() ? id : id + 1;
}

}  // namespace

// ---- the process's open collections

namespace {

// One state per directory per process: every open of a directory this
// process has open (from any path, by either module) gets the same object.
// Entries of a parent process, inherited by a fork, never match.
struct OpenCollection {
  storage::FileId dir;
  pid_t pid;
  std::weak_ptr<Collection> collection;
};
std::mutex g_open_lock;  // held for the whole of an open
std::vector<OpenCollection>& open_collections() {
  static std::vector<OpenCollection> all;
  return all;
}

std::string metric_quoted(DistanceMetric metric) {
  return "'" + std::string(metric_python_name(metric)) + "'";
}

// How often (in floats written) a batch write asks its stop function.
constexpr size_t kStopPollFloats = 1 << 12;

// A vector the log cannot hold: JSON has no form for NaN or an infinity.
Status check_vector(const float* vector, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (!std::isfinite(vector[i])) {
      const char* what = std::isnan(vector[i]) ? "NaN" : (vector[i] > 0 ? "inf" : "-inf");
      return Error::invalid_vector("component " + std::to_string(i) + " is " + what +
                                   " (only finite values can be stored)");
    }
  }
  return {};
}

}  // namespace

// In a child forked while the collection was open the object is left as it
// is: its buffers hold the parent's bytes (writing them would duplicate
// them in the parent's files) and its log's thread does not exist there.
struct Collection::Deleter {
  void operator()(Collection* c) const {
    if (c->owner_pid_ == ::getpid()) delete c;
  }
};

Collection::Collection(fs::path path, storage::Directory dir, const CollectionConfig& config,
                       storage::WriterLock lock, storage::Wal wal, storage::DataFile data_file)
    : path_(std::move(path)),
      dir_(std::move(dir)),
      config_(config),
      owner_pid_(::getpid()),
      lock_(std::move(lock)),
      wal_(std::move(wal)),
      data_file_(std::move(data_file)),
      index_(config.metric, config.dimension) {}

Collection::~Collection() = default;

Status Collection::usable() const {
  if (::getpid() == owner_pid_) return {};
  return Error::collection("this collection was opened by process " + std::to_string(owner_pid_) +
                           "; open it again in this process");
}

namespace {

// What must agree between two builds for one to use the other's objects:
// the sizes of the types that cross, and a version of this protocol.
constexpr uint64_t kOpenerLayout = (uint64_t{2} << 56) ^ (sizeof(Collection) << 32) ^
                                   (sizeof(OpenRequest) << 16) ^ sizeof(std::filesystem::path);
std::atomic<Collection::OpenFn> g_opener{nullptr};

}  // namespace

Collection::Opener Collection::local_opener() { return {kOpenerLayout, &Collection::open_checked}; }

void Collection::use_opener(const Opener& opener) {
  if (opener.layout == kOpenerLayout && opener.open != nullptr) g_opener.store(opener.open);
}

Result<std::shared_ptr<Collection>> Collection::open_or_create(const fs::path& path,
                                                               const CollectionConfig& config,
                                                               ThreadPool* pool) {
  OpenRequest request;
  request.dimension = config.dimension;
  request.metric = config.metric;
  request.match_metric = false;
  request.wal_sync = config.wal_sync;
  OpenFn open = g_opener.load();
  return (open != nullptr ? open : &Collection::open_checked)(path, request, true, pool);
}

Result<std::shared_ptr<Collection>> Collection::open(const fs::path& path, const OpenRequest& request,
                                                     ThreadPool* pool) {
  OpenFn open = g_opener.load();
  return (open != nullptr ? open : &Collection::open_checked)(path, request, false, pool);
}

Result<std::shared_ptr<Collection>> Collection::open_checked(const fs::path& path,
                                                             const OpenRequest& request,
                                                             bool low_level, ThreadPool* pool) {
  std::lock_guard opening(g_open_lock);
  const std::string no_collection =
      "'" + path.string() + "' holds no collection: dim and metric are needed to create one";
  const bool can_create = request.dimension.has_value() && request.metric.has_value();
  if (!storage::path_exists(path)) {
    if (!can_create) return Error::config_mismatch(no_collection);
    auto made = storage::create_directories(path);
    if (!made.ok()) return Error::collection(kCreateDir + made.error());
  }
  // From here on only the bound directory is used.
  auto bound = storage::bind_directory(path);
  if (!bound.ok()) return Error::collection(kCreateDir + bound.error());
  // Every file is then reached through the directory's descriptor, so a
  // rename of the directory, or a new one made at its old path, sends
  // nothing of this object elsewhere.
  // The log is the first file an open reaches, and a directory that cannot
  // be opened fails as the log would in it.
  auto opened_dir = storage::Directory::open(bound.value());
  if (!opened_dir.ok()) return Error::io(storage::kOpenWal + opened_dir.error());
  storage::Directory& dir = opened_dir.value();
  auto id = dir.id();
  if (!id.ok()) return Error::collection(kCreateDir + id.error());
  const storage::FileId dir_id = id.value();

  // What a stored (or this process's open) configuration must agree with.
  auto check = [&](size_t dimension, std::optional<DistanceMetric> metric,
                   std::string_view stored_name) -> Status {
    if (low_level) {
      if (dimension != *request.dimension) {
        return Error::config_mismatch("dimension mismatch: collection has " +
                                      std::to_string(dimension) + ", config has " +
                                      std::to_string(*request.dimension));
      }
      return {};
    }
    if (!metric.has_value()) {
      return Error::config_mismatch("'" + path.string() + "' holds a collection of metric '" +
                                    std::string(stored_name) + "', which varnel cannot search");
    }
    const bool dim_ok = !request.dimension.has_value() || *request.dimension == dimension;
    const bool metric_ok = !request.metric.has_value() || *request.metric == *metric;
    if (dim_ok && metric_ok) return {};
    return Error::config_mismatch(
        "'" + path.string() + "' holds a collection of dim=" + std::to_string(dimension) +
        ", metric=" + metric_quoted(*metric) + "; asked for dim=" +
        std::to_string(request.dimension.value_or(dimension)) +
        ", metric=" + metric_quoted(request.metric.value_or(*metric)));
  };

  auto& all = open_collections();
  std::erase_if(all, [](const OpenCollection& o) { return o.collection.expired(); });
  for (const OpenCollection& o : all) {
    if (o.pid != ::getpid() || o.dir.dev != dir_id.dev || o.dir.ino != dir_id.ino) continue;
    std::shared_ptr<Collection> live = o.collection.lock();
    if (live == nullptr) continue;
    if (request.exclusive) return Error::in_use(kOpenHere);
    const CollectionConfig& have = live->config();
    Status agreed = check(have.dimension, have.metric, metric_name(have.metric));
    if (!agreed.ok()) return std::move(agreed.error());
    if (low_level && have.metric != *request.metric) {
      return Error::config_mismatch("the collection is open in this process with metric " +
                                    std::string(metric_name(have.metric)));
    }
    return live;
  }

  // A directory with entries but none of a collection's files (or of the
  // temporaries named after them) is someone else's: a collection is never
  // made among them.
  auto names = dir.names();
  if (!names.ok()) return Error::collection(kReadMeta + names.error());
  if (!names.value().empty() &&
      std::none_of(names.value().begin(), names.value().end(), [](const std::string& name) {
        return name.starts_with(kMetaFileName) || name.starts_with(kWalFileName) ||
               name.starts_with(kDataFileName);
      })) {
    return Error::config_mismatch("'" + path.string() +
                                  "' is not empty and holds no collection (no " + kMetaFileName +
                                  ", " + kWalFileName + " or " + kDataFileName + ")");
  }

  // The lock comes before anything is read or changed: a refused open
  // replays nothing, cuts nothing, creates no file and writes no meta.json.
  auto lock = storage::WriterLock::acquire(dir);
  if (!lock.ok()) {
    const storage::LockFailure& f = lock.error();
    using Stage = storage::LockFailure::Stage;
    // Opening the file to lock is opening the log, and fails as that would.
    if (f.stage == Stage::kOpen) return Error::io(storage::kOpenWal + f.cause);
    if (f.stage == Stage::kLock) return Error::collection(kLockFailed + f.cause);
    std::string text = kInUse;
    if (f.holder > 0) text += " (pid " + std::to_string(f.holder) + ")";
    return Error::in_use(std::move(text));
  }

  // Only a missing meta.json makes a new collection; taking an unreadable
  // one for missing would rewrite it with whatever was asked for. The
  // stored configuration is read under the lock, so two processes creating
  // one collection at once agree on what it holds.
  auto meta_exists = dir.exists(kMetaFileName);
  if (!meta_exists.ok()) return Error::collection(kReadMeta + meta_exists.error());
  const bool is_new = !meta_exists.value();
  CollectionConfig config;
  config.wal_sync = request.wal_sync;
  if (is_new) {
    if (!can_create) return Error::config_mismatch(no_collection);
    config.dimension = *request.dimension;
    config.metric = *request.metric;
  } else {
    auto meta = read_meta(dir);
    if (!meta.ok()) return std::move(meta.error());
    std::optional<DistanceMetric> stored = metric_from_name(meta.value().metric);
    Status agreed = check(static_cast<size_t>(meta.value().dimension), stored, meta.value().metric);
    if (!agreed.ok()) return std::move(agreed.error());
    config.dimension = meta.value().dimension;
    config.metric = request.match_metric ? *stored : *request.metric;
  }

  // Opening the files creates the missing ones; a failed open removes what
  // it created, so a refused directory is left as it was.
  auto existed = [&](const char* name) {
    auto there = dir.exists(name);
    return !there.ok() || there.value();
  };
  const bool had_wal = existed(kWalFileName);
  const bool had_data = existed(kDataFileName);
  auto wal = storage::Wal::open(dir, kWalFileName, config.wal_sync);
  if (!wal.ok()) return std::move(wal.error());
  auto data_file =
      storage::DataFile::open(dir, kDataFileName, static_cast<uint32_t>(config.dimension));
  if (!data_file.ok()) {
    if (!had_wal) (void)dir.remove(kWalFileName);
    return std::move(data_file.error());
  }

  std::shared_ptr<Collection> collection(
      new Collection(path, std::move(dir), config, std::move(lock.value()), std::move(wal.value()),
                     std::move(data_file.value())),
      Deleter{});
  auto refuse = [&](Error e) {
    if (!had_wal) (void)collection->dir_.remove(kWalFileName);
    if (!had_data) (void)collection->dir_.remove(kDataFileName);
    return e;
  };
  uint64_t torn_data_at = UINT64_MAX;
  uint64_t torn_log_at = UINT64_MAX;
  Status loaded = collection->load_data_file(pool, &torn_data_at);
  if (!loaded.ok()) return refuse(std::move(loaded.error()));
  Status replayed = collection->replay_log(&torn_log_at);
  if (!replayed.ok()) return refuse(std::move(replayed.error()));
  // Everything read: now the torn tails go, so that the next frame and the
  // next record start where the next reader will look for them.
  if (torn_data_at != UINT64_MAX) {
    Status cut = collection->data_file_.truncate_to(torn_data_at);
    if (!cut.ok()) return std::move(cut.error());
  }
  if (torn_log_at != UINT64_MAX) {
    Status cut = collection->wal_.truncate_to(torn_log_at);
    if (!cut.ok()) return std::move(cut.error());
  }
  if (is_new) {
    Status saved = collection->write_meta_now();
    if (!saved.ok()) return refuse(std::move(saved.error()));
  }
  all.push_back({dir_id, ::getpid(), collection});
  return collection;
}

// Streams the active records into the index in one pass, so the vectors are
// never held twice. While the collection is being opened nobody else can
// reach it, so holding the data-file lock together with the index, offsets
// and next_id locks (taken in that order) cannot wait.
//
// With a pool of two threads or more the same pass is split in two: the
// caller's part reads the file and fills the index, exactly as alone; the
// other part follows it through the (id, offset) pairs it hands over, in
// file order, and fills offsets and the shadowed records the way the caller
// would have, while it has the kernel back the index's next rows with memory
// (clearing fresh memory costs about what reading the file does). Every
// member ends as it would with one thread; the parts share only the pairs.
Status Collection::load_data_file(ThreadPool* pool, uint64_t* torn_data_at) {
  std::unique_lock index_guard(index_lock_);

  // A record that can enter the index holds the fixed fields, the
  // components and a payload text at least as long as the empty one, so the
  // file's size (nothing has been appended yet) bounds how many there are:
  // with room made for that many up front, no map grows during the scan. A
  // hand-made file of shorter payloads only makes the maps grow as usual.
  const uint64_t file_size = data_file_.next_offset();
  const uint64_t row_bytes = storage::kRecordFixedBytes + 4 * static_cast<uint64_t>(config_.dimension);
  const uint64_t max_rows = file_size / (row_bytes + kEmptyPayloadBytes);
  offsets_.reserve(static_cast<size_t>(max_rows));

  const bool split = pool != nullptr && pool->threads() > 1 && config_.dimension > 0 &&
                     file_size >= kSplitLoadMinBytes;
  // The pairs handed over: any record of the index's length takes at least
  // row_bytes of the file, so this many always suffice. Pages are touched
  // only as pairs arrive.
  struct Pair {
    uint64_t id;
    uint64_t offset;
  };
  ZeroedMemory pair_memory(split ? static_cast<size_t>(file_size / row_bytes + 1) * sizeof(Pair) : 0);
  Pair* pairs = static_cast<Pair*>(pair_memory.get());
  size_t handed = 0;
  // Pairs handed over times 2, plus 1 once the caller's part is done.
  std::atomic<uint64_t> progress{0};

  bool any = false;
  uint64_t largest = 0;
  storage::DataScanEnd end;
  Status scanned;
  {
    index::BruteForceIndex::Loader loader(index_, static_cast<size_t>(max_rows), split);
    auto scan = [&] {
      return data_file_.for_each_active_view(
          [&](storage::DataRecordView& record) -> Status {
            // Every active record counts toward next_id, also one the index
            // cannot take.
            if (!any || record.id > largest) largest = record.id;
            any = true;
            // Every record of a collection has its dimension: one of another
            // length is damage (or a meta.json that lies), and an open that
            // skipped it would let the next compact erase it for good.
            if (record.dim != config_.dimension) {
              return Error::collection(kDataDamaged + std::string("offset ") +
                                       std::to_string(record.offset) + ": a record of dimension " +
                                       std::to_string(record.dim) + " in a collection of dimension " +
                                       std::to_string(config_.dimension));
            }
            // Of several active records with one id, the newest wins.
            record.copy_vector(loader.row());
            loader.add(record.id, std::move(*record.payload));
            if (!split) {
              point_offsets_at(record.id, record.offset);
            } else {
              pairs[handed++] = {record.id, record.offset};
              if (handed % kSplitLoadHandOver == 0) {
                progress.store(uint64_t{handed} << 1, std::memory_order_release);
                progress.notify_one();
              }
            }
            return {};
          },
          &end);
    };
    if (!split) {
      scanned = scan();
    } else {
      const size_t lead_rows = std::max<size_t>(1, kSplitLoadLeadBytes / (4 * config_.dimension));
      pool->run(2, [&](size_t part) {
        if (part == 0) {
          scanned = scan();
          progress.store(uint64_t{handed} << 1 | 1, std::memory_order_release);
          progress.notify_one();
          return;
        }
        // The caller's part never waits for this one, so it runs to its end
        // whichever thread takes it first.
        populate_memory(pair_memory.get(), pair_memory.size());
        size_t applied = 0;
        for (;;) {
          const uint64_t now = progress.load(std::memory_order_acquire);
          const size_t ready = static_cast<size_t>(now >> 1);
          if ((now & 1) == 0) loader.populate(ready + lead_rows);
          for (; applied < ready; ++applied) point_offsets_at(pairs[applied].id, pairs[applied].offset);
          if ((now & 1) != 0) return;
          progress.wait(now, std::memory_order_acquire);
        }
      });
    }
  }
  if (!scanned.ok()) return scanned;
  next_id_.store(any ? next_after(largest) : 1, std::memory_order_relaxed);

  if (end.error.has_value()) {
    const uint64_t tail = end.file_size - end.stop_offset;
    const uint64_t longest_torn =
        storage::kRecordFixedBytes + 4 * static_cast<uint64_t>(config_.dimension) +
        kTornRecordPayloadAllowance;
    if (!end.torn_tail || tail > longest_torn) {
      // Appending after damage would put records where no later scan reaches.
      return Error::collection(kDataDamaged + std::string("offset ") +
                               std::to_string(end.stop_offset) + ": " + end.error->message());
    }
    // An append cut short by the end of a process: cut away once the whole
    // open has succeeded.
    *torn_data_at = end.stop_offset;
  }
  return {};
}

// Applies every complete frame of the log to memory, in order; nothing is
// written (the next flush writes what the replay changed). A last frame cut
// short by the end of the file is what a killed writer leaves: *torn_log_at
// says where to cut it. A complete frame that fails its checksum or does not
// decode is an error.
Status Collection::replay_log(uint64_t* torn_log_at) {
  storage::WalReadEnd end;
  bool apply_failed = false;
  Status read = storage::Wal::read_each(
      dir_, kWalFileName,
      [&](storage::WalEntry& entry) -> Status {
        Status applied;
        switch (entry.kind) {
          case storage::WalEntryKind::kInsert:
          case storage::WalEntryKind::kUpdate:
            if (entry.vector.size() != config_.dimension) {
              applied = Error::dimension_mismatch(config_.dimension, entry.vector.size());
              break;
            }
            put_row(entry.id, entry.vector.data(), entry.vector.size(), entry.payload);
            // An Update does not raise next_id.
            if (entry.kind == storage::WalEntryKind::kInsert) raise_next_id(entry.id);
            break;
          case storage::WalEntryKind::kDelete:
            index_.remove(entry.id);
            dirty_.push_back(entry.id);
            break;
          case storage::WalEntryKind::kCheckpoint:
            break;
        }
        apply_failed = !applied.ok();
        return applied;
      },
      &end);
  if (read.ok() && !end.torn_tail) return {};
  if (!read.ok() && (apply_failed || !end.torn_tail)) {
    // Damage is reported with where it is; the log is left as it is.
    const Error& e = read.error();
    if (e.kind() == Error::Kind::kWalCorrupted && e.text().find("offset") == std::string::npos) {
      return Error::wal_corrupted(e.text() + " (the frame at offset " +
                                  std::to_string(end.complete_end) + ")");
    }
    return read;
  }
  *torn_log_at = end.complete_end;
  return {};
}

// ---- applying changes

void Collection::raise_next_id(uint64_t id) {
  uint64_t now = next_id_.load(std::memory_order_relaxed);
  const uint64_t want = next_after(id);
  while (now < want && !next_id_.compare_exchange_weak(now, want, std::memory_order_relaxed)) {
  }
}

void Collection::put_row(uint64_t id, const float* vector, size_t len, const Payload& payload) {
  index_.remove(id);
  // The length was checked and the id is absent now: the insert succeeds.
  (void)index_.insert(id, vector, len, payload);
  dirty_.push_back(id);
}

void Collection::point_offsets_at(uint64_t id, uint64_t offset) {
  const uint64_t earlier = offsets_.find(id);
  if (earlier != IdMap::kAbsent) shadowed_.emplace(id, earlier);
  offsets_.put(id, offset);
}

std::vector<uint64_t> Collection::take_active_records(uint64_t id) {
  std::vector<uint64_t> out;
  const uint64_t current = offsets_.find(id);
  if (current != IdMap::kAbsent) out.push_back(current);
  offsets_.erase(id);
  auto [first, last] = shadowed_.equal_range(id);
  for (auto it = first; it != last; ++it) out.push_back(it->second);
  shadowed_.erase(first, last);
  return out;
}

// ---- the writes

Status Collection::insert(uint64_t id, const float* vector, size_t len, const Payload& payload) {
  return write_rows(WriteKind::kInsert, &id, 1,
                    [&](size_t) { return std::span<const float>(vector, len); }, &payload,
                    storage::SyncTiming::kInline, {}, nullptr);
}

Status Collection::upsert(uint64_t id, const float* vector, size_t len, const Payload& payload) {
  return write_rows(WriteKind::kUpsert, &id, 1,
                    [&](size_t) { return std::span<const float>(vector, len); }, &payload,
                    storage::SyncTiming::kInline, {}, nullptr);
}

Status Collection::insert_batch(const uint64_t* ids, size_t count, const RowSource& rows,
                                const Payload* payloads, const WriteStop& stop, size_t* written) {
  return write_rows(WriteKind::kInsert, ids, count, rows, payloads, storage::SyncTiming::kBehind,
                    stop, written);
}

Status Collection::upsert_batch(const uint64_t* ids, size_t count, const RowSource& rows,
                                const Payload* payloads, const WriteStop& stop, size_t* written) {
  return write_rows(WriteKind::kUpsert, ids, count, rows, payloads, storage::SyncTiming::kBehind,
                    stop, written);
}

// The one write path: check, log (and settle), then apply. Writers take
// turns for the whole call, so the log's order is the order of the changes
// in memory, and nothing reaches memory (or, later, the data file) before
// its frame is in the log.
Status Collection::write_rows(WriteKind kind, const uint64_t* ids, size_t count,
                              const RowSource& rows, const Payload* payloads,
                              storage::SyncTiming timing, const WriteStop& stop,
                              size_t* written) {
  if (written != nullptr) *written = 0;
  Status ok = usable();
  if (!ok.ok()) return ok;
  // The rows that pass, and the refusal that ends them.
  Status refused;
  const size_t n = check_rows(count, rows, payloads, &refused);
  std::lock_guard writing(write_lock_);
  size_t logged = 0;
  Status failed = log_and_apply(kind, ids, n, rows, payloads, timing, stop, &logged);
  if (!failed.ok()) return failed;
  if (written != nullptr) *written = logged;
  return logged < n ? Status{} : refused;
}

size_t Collection::check_rows(size_t count, const RowSource& rows, const Payload* payloads,
                              Status* refused) const {
  for (size_t n = 0; n < count; ++n) {
    std::span<const float> row = rows(n);
    if (row.size() != config_.dimension) {
      *refused = Error::dimension_mismatch(config_.dimension, row.size());
      return n;
    }
    *refused = check_vector(row.data(), row.size());
    if (!refused->ok()) return n;
    if (payloads != nullptr && !payloads[n].empty()) {
      const std::string why = payloads[n].check_writable(1);
      if (!why.empty()) {
        *refused = Error::payload("the payload cannot be stored: " + why);
        return n;
      }
    }
  }
  return count;
}

Status Collection::log_and_apply(WriteKind kind, const uint64_t* ids, size_t n,
                                 const RowSource& rows, const Payload* payloads,
                                 storage::SyncTiming timing, const WriteStop& stop,
                                 size_t* logged_out) {
  static const Payload kEmpty;
  auto payload_of = [&](size_t i) -> const Payload& {
    return payloads != nullptr ? payloads[i] : kEmpty;
  };
  const uint64_t start_offset = wal_.end_offset();
  const uint64_t start_appended = wal_.appended();
  size_t logged = 0;
  Status failed;
  size_t since_poll = 0;
  for (; logged < n; ++logged) {
    if (stop && since_poll >= kStopPollFloats) {
      if (stop(since_poll)) break;
      since_poll = 0;
    }
    std::span<const float> row = rows(logged);
    const uint64_t id = ids[logged];
    const bool update = kind == WriteKind::kUpsert && index_.contains(id);
    failed = wal_.append(update ? storage::WalEntryKind::kUpdate : storage::WalEntryKind::kInsert,
                         id, row.data(), row.size(), payload_of(logged), timing);
    if (!failed.ok()) break;
    since_poll += row.size() + 1;
  }
  if (failed.ok()) failed = wal_.settle();
  if (!failed.ok()) {
    // Nothing of this call may come back at the next open.
    (void)wal_.rollback_to(start_offset, start_appended);
    return failed;
  }
  {
    std::unique_lock guard(index_lock_);
    for (size_t i = 0; i < logged; ++i) {
      std::span<const float> row = rows(i);
      put_row(ids[i], row.data(), row.size(), payload_of(i));
    }
  }
  for (size_t i = 0; i < logged; ++i) raise_next_id(ids[i]);
  *logged_out = logged;
  return {};
}

Result<size_t> Collection::update_batch(const uint64_t* ids, size_t count, const float* vectors,
                                        size_t dim, const Payload* patches) {
  Status ok = usable();
  if (!ok.ok()) return std::move(ok.error());
  if (vectors != nullptr && dim != config_.dimension) {
    return Error::dimension_mismatch(config_.dimension, dim);
  }
  std::lock_guard writing(write_lock_);
  // The new rows, one per distinct stored id, built from what is stored
  // now; only this writer's turn changes the index, so they stay current.
  std::vector<uint64_t> chosen;
  std::vector<index::VectorEntry> entries;
  std::unordered_map<uint64_t, size_t> at;
  {
    std::shared_lock guard(index_lock_);
    for (size_t i = 0; i < count; ++i) {
      auto [it, fresh] = at.try_emplace(ids[i], entries.size());
      if (fresh) {
        std::optional<index::VectorEntry> stored = index_.get(ids[i]);
        if (!stored.has_value()) {
          at.erase(it);
          continue;
        }
        chosen.push_back(ids[i]);
        entries.push_back(std::move(*stored));
      }
      index::VectorEntry& entry = entries[it->second];
      if (vectors != nullptr) entry.vector.assign(vectors + i * dim, vectors + (i + 1) * dim);
      if (patches != nullptr) entry.payload.merge(patches[i]);
    }
  }
  std::vector<Payload> payloads;
  payloads.reserve(entries.size());
  for (index::VectorEntry& entry : entries) payloads.push_back(std::move(entry.payload));
  RowSource rows = [&](size_t i) { return std::span<const float>(entries[i].vector); };
  Status refused;
  if (check_rows(entries.size(), rows, payloads.data(), &refused) < entries.size()) {
    return std::move(refused.error());
  }
  const storage::SyncTiming timing =
      entries.size() > 1 ? storage::SyncTiming::kBehind : storage::SyncTiming::kInline;
  size_t logged = 0;
  Status failed = log_and_apply(WriteKind::kUpsert, chosen.data(), entries.size(), rows,
                                payloads.data(), timing, {}, &logged);
  if (!failed.ok()) return std::move(failed.error());
  return logged;
}

Result<bool> Collection::remove(uint64_t id) {
  Result<size_t> removed = remove_batch(&id, 1);
  if (!removed.ok()) return std::move(removed.error());
  return removed.value() > 0;
}

Result<size_t> Collection::remove_batch(const uint64_t* ids, size_t count) {
  Status ok = usable();
  if (!ok.ok()) return std::move(ok.error());
  std::lock_guard writing(write_lock_);
  return remove_locked(ids, count);
}

Result<size_t> Collection::remove_matching(const Filter* filter) {
  Status ok = usable();
  if (!ok.ok()) return std::move(ok.error());
  std::lock_guard writing(write_lock_);
  std::vector<uint64_t> chosen;
  {
    std::shared_lock guard(index_lock_);
    chosen = index_.matching_ids(filter);
  }
  return remove_locked(chosen.data(), chosen.size());
}

Result<size_t> Collection::remove_locked(const uint64_t* ids, size_t count) {
  const uint64_t start_offset = wal_.end_offset();
  const uint64_t start_appended = wal_.appended();
  const storage::SyncTiming timing =
      count > 1 ? storage::SyncTiming::kBehind : storage::SyncTiming::kInline;
  // The stored ids among `ids`, each once.
  std::vector<uint64_t> present;
  IdMap seen;
  Status failed;
  for (size_t i = 0; i < count && failed.ok(); ++i) {
    const uint64_t id = ids[i];
    if (!index_.contains(id) || !seen.insert(id, 0)) continue;
    failed = wal_.append(storage::WalEntryKind::kDelete, id, nullptr, 0, Payload{}, timing);
    if (failed.ok()) present.push_back(id);
  }
  if (failed.ok()) failed = wal_.settle();
  if (!failed.ok()) {
    (void)wal_.rollback_to(start_offset, start_appended);
    return std::move(failed.error());
  }
  {
    std::unique_lock guard(index_lock_);
    for (uint64_t id : present) index_.remove(id);
  }
  dirty_.insert(dirty_.end(), present.begin(), present.end());
  return present.size();
}

// ---- flush and compact

// Under write_lock_, the log synced: every changed id's new record appended
// and its earlier ones marked deleted. An id leaves dirty_ only once all of
// that is done, so a failure part way leaves the rest for the next flush.
Status Collection::write_changes() {
  std::sort(dirty_.begin(), dirty_.end());
  dirty_.erase(std::unique(dirty_.begin(), dirty_.end()), dirty_.end());
  size_t done = 0;
  Status out;
  for (; done < dirty_.size() && out.ok(); ++done) {
    const uint64_t id = dirty_[done];
    std::optional<index::VectorEntry> entry;
    {
      std::shared_lock guard(index_lock_);
      entry = index_.get(id);
    }
    if (entry.has_value()) {
      auto appended = data_file_.append(id, entry->vector.data(), entry->vector.size(), entry->payload);
      if (!appended.ok()) {
        out = std::move(appended.error());
        break;
      }
      std::vector<uint64_t> earlier = take_active_records(id);
      offsets_.put(id, appended.value());
      for (size_t i = 0; i < earlier.size() && out.ok(); ++i) {
        out = data_file_.mark_deleted(earlier[i]);
        // The rest stay remembered, and the id stays changed.
        if (!out.ok()) {
          for (size_t j = i; j < earlier.size(); ++j) shadowed_.emplace(id, earlier[j]);
        }
      }
    } else {
      std::vector<uint64_t> earlier = take_active_records(id);
      for (size_t i = 0; i < earlier.size() && out.ok(); ++i) {
        out = data_file_.mark_deleted(earlier[i]);
        if (!out.ok()) {
          for (size_t j = i; j < earlier.size(); ++j) shadowed_.emplace(id, earlier[j]);
        }
      }
    }
    if (!out.ok()) break;
  }
  dirty_.erase(dirty_.begin(), dirty_.begin() + static_cast<ptrdiff_t>(done));
  return out;
}

Status Collection::flush() {
  Status ok = usable();
  if (!ok.ok()) return ok;
  std::lock_guard writing(write_lock_);
  // The log first: from here until the checkpoint it holds every change,
  // whatever happens to the data file.
  Status log_synced = wal_.sync();
  if (!log_synced.ok()) return log_synced;
  // Should this flush fail part way, the records it wrote may never reach
  // the disk (a failed sync can drop them): every id it was to write is
  // written again by the next one.
  std::vector<uint64_t> writing_now = dirty_;
  Status written = write_changes();
  if (written.ok()) written = data_file_.flush();
  if (!written.ok()) {
    dirty_.insert(dirty_.end(), writing_now.begin(), writing_now.end());
    return written;
  }
  Status emptied = wal_.checkpoint();
  if (!emptied.ok()) return emptied;
  return write_meta_now();
}

Status Collection::compact() {
  Status ok = usable();
  if (!ok.ok()) return ok;
  std::lock_guard writing(write_lock_);
  // The log on disk then covers everything the new file will hold, and
  // replaying it over the new file gives the same collection.
  Status log_synced = wal_.sync();
  if (!log_synced.ok()) return log_synced;
  remove_compact_temps(dir_);
  const std::string tmp = compact_temp_name();
  auto fail = [&](Error e) {
    (void)dir_.remove(tmp);
    return e;
  };
  {
    auto created = dir_.open_file(tmp, OpenMode::kWriteCreateTruncate);
    if (!created.ok()) return fail(Error::collection(kCompact + created.error()));
  }
  auto fresh = storage::DataFile::open(dir_, tmp, static_cast<uint32_t>(config_.dimension));
  if (!fresh.ok()) return fail(std::move(fresh.error()));
  IdMap offsets;
  {
    std::shared_lock guard(index_lock_);
    offsets.reserve(index_.len());
    for (uint64_t id : index_.ids()) {
      std::optional<index::VectorEntry> entry = index_.get(id);
      auto offset = fresh.value().append(id, entry->vector.data(), entry->vector.size(),
                                         entry->payload);
      if (!offset.ok()) return fail(std::move(offset.error()));
      offsets.put(id, offset.value());
    }
  }
  Status flushed = fresh.value().flush();
  if (!flushed.ok()) return fail(std::move(flushed.error()));
  auto renamed = dir_.rename(tmp, kDataFileName);
  if (!renamed.ok()) return fail(Error::collection(kCompact + renamed.error()));
  // From here on data.vnl is the new file, holding every live record.
  fresh.value().renamed_to(kDataFileName);
  data_file_ = std::move(fresh.value());
  offsets_ = std::move(offsets);
  shadowed_.clear();
  dirty_.clear();
  // The log is emptied only once the rename is durable.
  Status dir_synced = sync_directory(dir_, kCompact);
  if (!dir_synced.ok()) return dir_synced;
  Status emptied = wal_.checkpoint();
  if (!emptied.ok()) return emptied;
  return write_meta_now();
}

// ---- reads

std::optional<index::VectorEntry> Collection::get(uint64_t id) const {
  std::shared_lock guard(index_lock_);
  return index_.get(id);
}

bool Collection::contains(uint64_t id) const {
  std::shared_lock guard(index_lock_);
  return index_.contains(id);
}

std::vector<uint64_t> Collection::ids() const {
  std::shared_lock guard(index_lock_);
  return index_.ids();
}

std::vector<uint64_t> Collection::matching_ids(const Filter* filter) const {
  std::shared_lock guard(index_lock_);
  return index_.matching_ids(filter);
}

size_t Collection::count(const Filter* filter) const {
  std::shared_lock guard(index_lock_);
  return index_.count(filter);
}

index::Rows Collection::rows(const Filter* filter, const index::RowRequest& request) const {
  std::shared_lock guard(index_lock_);
  return index_.rows(filter, request);
}

std::vector<index::SearchResult> Collection::search(const float* query, size_t len, size_t k,
                                                    const Filter* filter,
                                                    ThreadPool* pool) const {
  std::shared_lock guard(index_lock_);
  return index_.search(query, len, k, filter, pool);
}

std::vector<std::vector<index::SearchResult>> Collection::search_batch(
    const float* queries, size_t count, size_t dim, size_t k, const Filter* filter,
    ThreadPool* pool, index::SearchStop* stop) const {
  std::shared_lock guard(index_lock_);
  return index_.search_batch(queries, count, dim, k, filter, pool, stop);
}

Status Collection::write_meta_now() const {
  CollectionMeta meta;
  meta.dimension = config_.dimension;
  meta.metric = std::string(metric_name(config_.metric));
  meta.vector_count = len();
  meta.next_id = next_id();
  return write_meta(dir_, meta);
}

size_t Collection::len() const {
  std::shared_lock guard(index_lock_);
  return index_.len();
}

}  // namespace varnel
