#include "collection.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
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
constexpr const char* kParseMeta = "parse meta failed: ";
constexpr const char* kWriteMeta = "write meta failed: ";
constexpr const char* kDataDamaged = "data file damaged: ";
constexpr const char* kLockFailed = "lock failed: ";
constexpr const char* kInUse = "the collection is in use by another process";
constexpr const char* kMetaTempPrefix = "meta.json.tmp.";
constexpr const char* kCompact = "compact failed: ";
// The rewritten data file is built under this prefix, then a name no other
// process or call uses (process id, a count, the clock).
constexpr std::string_view kCompactTempPrefix = "data.vnl.compact-";

constexpr std::string_view kMetaFields[] = {"dimension", "metric", "vector_count", "next_id"};

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

// ---- meta.json

std::string CollectionMeta::to_json() const {
  std::string out = "{\n  \"dimension\": ";
  out += std::to_string(dimension);
  out += ",\n  \"metric\": ";
  json::write_string(out, metric);
  out += ",\n  \"vector_count\": ";
  out += std::to_string(vector_count);
  out += ",\n  \"next_id\": ";
  out += std::to_string(next_id);
  out += "\n}";
  return out;
}

Result<CollectionMeta, std::string> CollectionMeta::from_json(std::string_view text) {
  CollectionMeta meta;
  json::Reader r(text);
  json::StructReader s(r, "CollectionMeta", kMetaFields);
  for (int f; (f = s.next_field()) >= 0;) {
    uint64_t n = 0;
    switch (f) {
      case 0:
        if (r.read_u64(&n, "usize")) meta.dimension = static_cast<size_t>(n);
        break;
      case 1:
        r.read_string(&meta.metric);
        break;
      case 2:
        r.read_u64(&meta.vector_count);
        break;
      case 3:
        r.read_u64(&meta.next_id);
        break;
    }
  }
  if (!r.finish()) return r.error();
  return meta;
}

Status write_meta(const storage::Directory& dir, const CollectionMeta& meta) {
  const std::string text = meta.to_json();
  // The pid keeps the temporary apart from any other process's; within the
  // process the writers (several objects may share a directory) take turns.
  static std::mutex one_writer_at_a_time;
  std::lock_guard turn(one_writer_at_a_time);
  const std::string tmp = kMetaTempPrefix + std::to_string(::getpid());
  auto fail = [](std::string cause) { return Error::collection(kWriteMeta + cause); };
  {
    auto file = dir.open_file(tmp, OpenMode::kWriteCreateTruncate);
    if (!file.ok()) return fail(std::move(file.error()));
    auto written = file.value().write_all(text.data(), text.size(), kWriteWholeBuffer);
    if (!written.ok()) return fail(std::move(written.error()));
    auto synced = file.value().sync();
    if (!synced.ok()) return fail(std::move(synced.error()));
  }
  auto renamed = dir.rename(tmp, kMetaFileName);
  if (!renamed.ok()) return fail(std::move(renamed.error()));
  // The rename is durable once the directory is synced.
  auto dir_synced = dir.sync();
  if (!dir_synced.ok()) return fail(std::move(dir_synced.error()));
  return {};
}

Result<CollectionMeta> read_meta(const fs::path& path) {
  auto dir = storage::Directory::open(path);
  if (!dir.ok()) return Error::collection(kReadMeta + dir.error());
  return read_meta(dir.value());
}

Result<CollectionMeta> read_meta(const storage::Directory& dir) {
  auto file = dir.open_file(kMetaFileName, OpenMode::kReadOnly);
  if (!file.ok()) return Error::collection(kReadMeta + file.error());
  auto size = file.value().size();
  if (!size.ok()) return Error::collection(kReadMeta + size.error());
  // meta.json is six short lines; a file of absurd size is read up to a
  // bound and then fails to parse, rather than exhausting memory.
  constexpr uint64_t kMaxMetaBytes = 1 << 20;
  std::string text(static_cast<size_t>(std::min<uint64_t>(size.value(), kMaxMetaBytes)), '\0');
  auto got = file.value().read_full(text.data(), text.size());
  if (!got.ok()) return Error::collection(kReadMeta + got.error());
  text.resize(got.value());
  if (!json::valid_utf8(text)) return Error::collection(std::string(kReadMeta) + kInvalidUtf8Stream);
  auto meta = CollectionMeta::from_json(text);
  if (!meta.ok()) return Error::collection(kParseMeta + meta.error());
  return std::move(meta.value());
}

// ---- open and recovery

Collection::Collection(fs::path path, storage::Directory dir, const CollectionConfig& config,
                       storage::WriterLock lock, storage::Wal wal, storage::DataFile data_file)
    : path_(std::move(path)),
      dir_(std::move(dir)),
      config_(config),
      lock_(std::move(lock)),
      index_(config.metric, config.dimension),
      wal_(std::move(wal)),
      data_file_(std::move(data_file)) {}

Result<std::unique_ptr<Collection>> Collection::open_or_create(const fs::path& path,
                                                               const CollectionConfig& config,
                                                               ThreadPool* pool) {
  if (!storage::path_exists(path)) {
    auto made = storage::create_directories(path);
    if (!made.ok()) return Error::collection(kCreateDir + made.error());
  }
  // From here on only the bound directory is used.
  auto bound = storage::bind_directory(path);
  if (!bound.ok()) return Error::collection(kCreateDir + bound.error());
  // Every file is then reached through the directory's descriptor, so a
  // rename of the directory, or a new one made at its old path, sends
  // nothing of this object elsewhere.
  auto opened_dir = storage::Directory::open(bound.value());
  if (!opened_dir.ok()) return Error::collection(kCreateDir + opened_dir.error());
  storage::Directory& dir = opened_dir.value();

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
    return Error::collection(std::move(text));
  }

  // Only a missing meta.json makes a new collection; taking an unreadable
  // one for missing would rewrite it with whatever dimension was asked for.
  auto meta_exists = dir.exists(kMetaFileName);
  if (!meta_exists.ok()) return Error::collection(kReadMeta + meta_exists.error());
  const bool is_new = !meta_exists.value();
  if (!is_new) {
    auto meta = read_meta(dir);
    if (!meta.ok()) return std::move(meta.error());
    if (meta.value().dimension != config.dimension) {
      return Error::collection("dimension mismatch: collection has " +
                               std::to_string(meta.value().dimension) + ", config has " +
                               std::to_string(config.dimension));
    }
  }

  auto wal = storage::Wal::open(dir, kWalFileName, config.wal_sync);
  if (!wal.ok()) return std::move(wal.error());
  auto data_file =
      storage::DataFile::open(dir, kDataFileName, static_cast<uint32_t>(config.dimension));
  if (!data_file.ok()) return std::move(data_file.error());

  std::unique_ptr<Collection> collection(
      new Collection(path, std::move(dir), config, std::move(lock.value()), std::move(wal.value()),
                     std::move(data_file.value())));
  Status recovered = collection->recover(pool);
  if (!recovered.ok()) return std::move(recovered.error());
  if (is_new) {
    Status saved = collection->save_meta();
    if (!saved.ok()) return std::move(saved.error());
  }
  return collection;
}

Status Collection::recover(ThreadPool* pool) {
  Status loaded = load_data_file(pool);
  if (!loaded.ok()) return loaded;
  return replay_log();
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
Status Collection::load_data_file(ThreadPool* pool) {
  // In the order the live operations nest them: offsets, data, index.
  std::unique_lock offsets_guard(offsets_lock_);
  std::unique_lock data_guard(data_lock_);
  std::unique_lock index_guard(index_lock_);
  std::unique_lock next_id_guard(next_id_lock_);

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
            // A record of another length cannot enter the index; it is skipped
            // and offsets keeps naming the record the index holds.
            if (record.dim != config_.dimension) return {};
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
  next_id_ = any ? next_after(largest) : 1;

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
    // An append cut short by the end of a process: cut it away so the next
    // record starts where the next scan will look for it.
    return data_file_.truncate_to(end.stop_offset);
  }
  return {};
}

// Applies every complete frame of the log in order. A last frame cut short
// by the end of the file is what a killed writer leaves: it is cut away. A
// complete frame that fails its checksum or does not decode is an error.
Status Collection::replay_log() {
  // Replayed updates and deletes mark records at once, which is safe only
  // for entries on stable storage: the frames a dropped or killed process
  // wrote out may not be, so the log is synced before it is read.
  if (wal_.end_offset() > 0) {
    std::unique_lock guard(wal_lock_);
    Status synced = wal_.sync();
    if (!synced.ok()) return synced;
  }
  storage::WalReadEnd end;
  bool apply_failed = false;
  Status read = storage::Wal::read_each(
      dir_, kWalFileName,
      [&](storage::WalEntry& entry) -> Status {
        Status applied;
        switch (entry.kind) {
          case storage::WalEntryKind::kInsert:
            applied = apply_insert_no_wal(entry.id, entry.vector.data(), entry.vector.size(),
                                          entry.payload);
            break;
          case storage::WalEntryKind::kUpdate:
            applied = apply_update_no_wal(entry.id, entry.vector.data(), entry.vector.size(),
                                          entry.payload);
            break;
          case storage::WalEntryKind::kDelete: {
            auto deleted = apply_delete_no_wal(entry.id);
            if (!deleted.ok()) applied = std::move(deleted.error());
            break;
          }
          case storage::WalEntryKind::kCheckpoint:
            break;
        }
        apply_failed = !applied.ok();
        return applied;
      },
      &end);
  if (read.ok() && !end.torn_tail) return {};
  if (!read.ok() && (apply_failed || !end.torn_tail)) return read;
  std::unique_lock guard(wal_lock_);
  return wal_.truncate_to(end.complete_end);
}

// ---- applying changes

void Collection::raise_next_id(uint64_t id) {
  std::unique_lock guard(next_id_lock_);
  if (next_id_ < next_after(id)) next_id_ = next_after(id);
}

// Appends the record, puts the vector in the index in place of any earlier
// one and points offsets at the new record; each step under its own lock.
Status Collection::store(uint64_t id, const float* vector, size_t len, const Payload& payload,
                         uint64_t synced, bool old_marked) {
  uint64_t offset = 0;
  {
    std::unique_lock guard(data_lock_);
    auto appended = data_file_.append(id, vector, len, payload);
    if (!appended.ok()) return std::move(appended.error());
    offset = appended.value();
    Status marked = write_marks(synced);
    if (!marked.ok()) return marked;
  }
  {
    std::unique_lock guard(index_lock_);
    if (index_.contains(id)) index_.remove(id);
    Status inserted = index_.insert(id, vector, len, payload);
    if (!inserted.ok()) return inserted;
  }
  std::unique_lock guard(offsets_lock_);
  if (!old_marked) remember_shadowed(id);
  offsets_.put(id, offset);
  return {};
}

void Collection::point_offsets_at(uint64_t id, uint64_t offset) {
  remember_shadowed(id);
  offsets_.put(id, offset);
}

void Collection::remember_shadowed(uint64_t id) {
  const uint64_t earlier = offsets_.find(id);
  if (earlier != IdMap::kAbsent) shadowed_.emplace(id, earlier);
}

std::vector<uint64_t> Collection::take_active_records(uint64_t id, bool erase) {
  std::vector<uint64_t> out;
  const uint64_t current = offsets_.find(id);
  if (current != IdMap::kAbsent) out.push_back(current);
  if (erase) offsets_.erase(id);
  auto [first, last] = shadowed_.equal_range(id);
  for (auto it = first; it != last; ++it) out.push_back(it->second);
  shadowed_.erase(first, last);
  return out;
}

Status Collection::apply_insert_no_wal(uint64_t id, const float* vector, size_t len,
                                       const Payload& payload) {
  // Checked before the data file is touched, so a refused vector leaves no
  // record behind and the identifier's earlier vector stays in the index.
  if (len != config_.dimension) return Error::dimension_mismatch(config_.dimension, len);
  Status stored = store(id, vector, len, payload);
  if (!stored.ok()) return stored;
  raise_next_id(id);
  return {};
}

Status Collection::apply_update_no_wal(uint64_t id, const float* vector, size_t len,
                                       const Payload& payload) {
  if (len != config_.dimension) return Error::dimension_mismatch(config_.dimension, len);
  Status marked = mark_active_records(id, false);
  if (!marked.ok()) return marked;
  // An update does not raise next_id.
  return store(id, vector, len, payload, 0, true);
}

Result<bool> Collection::apply_delete_no_wal(uint64_t id) {
  Status marked = mark_active_records(id, true);
  if (!marked.ok()) return std::move(marked.error());
  std::unique_lock guard(index_lock_);
  return index_.remove(id).has_value();
}

// Marks every active record of `id` at once (the log entry is durable
// already), offsets and then the data file held.
Status Collection::mark_active_records(uint64_t id, bool erase) {
  std::unique_lock offsets_guard(offsets_lock_);
  // mark_deleted may first write out the append buffer (the record can
  // still be there), so it needs the data file exclusively.
  std::unique_lock data_guard(data_lock_);
  for (uint64_t offset : take_active_records(id, erase)) {
    Status marked = data_file_.mark_deleted(offset);
    if (!marked.ok()) return marked;
  }
  return {};
}

// ---- the public operations

Status Collection::insert(uint64_t id, const float* vector, size_t len, const Payload& payload,
                          storage::SyncTiming timing) {
  // A vector that cannot be stored is refused before it is logged: a logged
  // entry is replayed at every open, and one the index refuses would stop
  // every later open.
  if (len != config_.dimension) return Error::dimension_mismatch(config_.dimension, len);
  uint64_t seq = 0;
  uint64_t synced = 0;
  {
    std::unique_lock guard(wal_lock_);
    Status logged = log_change(storage::WalEntryKind::kInsert, id, vector, len, payload, timing,
                               &seq, &synced);
    if (!logged.ok()) return logged;
  }
  // As apply_insert_no_wal, writing the marks this append's sync allows.
  Status stored = store(id, vector, len, payload, synced, false);
  if (stored.ok()) raise_next_id(id);
  change_applied();
  return stored;
}

// ---- upsert, remove, compact

Status Collection::log_change(storage::WalEntryKind kind, uint64_t id, const float* vector,
                              size_t len, const Payload& payload, storage::SyncTiming timing,
                              uint64_t* seq, uint64_t* synced) {
  Status logged = wal_.append(kind, id, vector, len, payload, timing);
  // A frame whose policy sync failed is in the log all the same; its change
  // is not applied, so it counts as settled.
  *seq = wal_.appended();
  *synced = wal_.synced();
  if (logged.ok()) in_flight_.fetch_add(1, std::memory_order_relaxed);
  return logged;
}

void Collection::change_applied() {
  if (in_flight_.fetch_sub(1, std::memory_order_release) == 1) in_flight_.notify_all();
}

void Collection::wait_for_changes_in_flight() {
  for (size_t n; (n = in_flight_.load(std::memory_order_acquire)) != 0;) in_flight_.wait(n);
}

// Marks, in log order, the waiting records whose entries the log has synced.
Status Collection::write_marks(uint64_t synced) {
  size_t done = 0;
  Status out;
  for (; done < pending_marks_.size() && pending_marks_[done].seq <= synced; ++done) {
    out = data_file_.mark_deleted(pending_marks_[done].offset);
    if (!out.ok()) break;
  }
  pending_marks_.erase(pending_marks_.begin(), pending_marks_.begin() + done);
  return out;
}

Status Collection::upsert(uint64_t id, const float* vector, size_t len, const Payload& payload,
                          storage::SyncTiming timing) {
  if (len != config_.dimension) return Error::dimension_mismatch(config_.dimension, len);
  uint64_t seq = 0;
  uint64_t synced = 0;
  bool present = false;
  {
    std::unique_lock guard(wal_lock_);
    {
      std::shared_lock offsets_guard(offsets_lock_);
      present = offsets_.contains(id);
    }
    Status logged =
        log_change(present ? storage::WalEntryKind::kUpdate : storage::WalEntryKind::kInsert, id,
                   vector, len, payload, timing, &seq, &synced);
    if (!logged.ok()) return logged;
  }
  std::vector<uint64_t> replaced;
  {
    std::unique_lock guard(offsets_lock_);
    replaced = take_active_records(id, false);
  }
  if (!replaced.empty()) {
    std::unique_lock guard(data_lock_);
    for (uint64_t offset : replaced) pending_marks_.push_back({offset, seq});
  }
  Status stored = store(id, vector, len, payload, synced, true);
  // Replayed, an Update does not raise next_id; live, it cannot matter (the
  // id was stored, so next_id is past it already).
  if (stored.ok() && !present) raise_next_id(id);
  change_applied();
  return stored;
}

Result<bool> Collection::remove(uint64_t id, storage::SyncTiming timing) {
  uint64_t seq = 0;
  uint64_t synced = 0;
  {
    std::unique_lock guard(wal_lock_);
    {
      std::shared_lock offsets_guard(offsets_lock_);
      if (!offsets_.contains(id)) return false;
    }
    Status logged =
        log_change(storage::WalEntryKind::kDelete, id, nullptr, 0, Payload{}, timing, &seq,
                   &synced);
    if (!logged.ok()) return std::move(logged.error());
  }
  std::vector<uint64_t> deleted;
  {
    std::unique_lock guard(offsets_lock_);
    deleted = take_active_records(id, true);
  }
  bool held = false;
  {
    std::unique_lock guard(index_lock_);
    held = index_.remove(id).has_value();
  }
  Status marked;
  {
    std::unique_lock guard(data_lock_);
    for (uint64_t offset : deleted) pending_marks_.push_back({offset, seq});
    marked = write_marks(synced);
  }
  change_applied();
  if (!marked.ok()) return std::move(marked.error());
  return held || !deleted.empty();
}

Status Collection::settle_log() {
  uint64_t synced = 0;
  {
    std::unique_lock guard(wal_lock_);
    if (!wal_.sync_behind()) return {};
    Status settled = wal_.settle();
    if (!settled.ok()) return settled;
    synced = wal_.synced();
  }
  std::unique_lock guard(data_lock_);
  return write_marks(synced);
}

Status Collection::compact() {
  std::unique_lock wal_guard(wal_lock_);
  // No change can be logged now; the ones logged before finish applying,
  // so the index holds every change the log holds.
  wait_for_changes_in_flight();
  // The log on disk then covers everything the new file will hold, and
  // replaying it over the new file gives the same collection.
  Status log_synced = wal_.sync();
  if (!log_synced.ok()) return log_synced;
  {
    std::unique_lock offsets_guard(offsets_lock_);
    std::unique_lock data_guard(data_lock_);
    std::shared_lock index_guard(index_lock_);
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
    offsets.reserve(index_.len());
    for (uint64_t id : index_.ids()) {
      std::optional<index::VectorEntry> entry = index_.get(id);
      auto offset = fresh.value().append(id, entry->vector.data(), entry->vector.size(),
                                         entry->payload);
      if (!offset.ok()) return fail(std::move(offset.error()));
      offsets.put(id, offset.value());
    }
    Status flushed = fresh.value().flush();
    if (!flushed.ok()) return fail(std::move(flushed.error()));
    auto renamed = dir_.rename(tmp, kDataFileName);
    if (!renamed.ok()) return fail(Error::collection(kCompact + renamed.error()));
    // From here on data.vnl is the new file. The old one's buffered records
    // go to its unlinked inode when it is dropped; the log covers them.
    fresh.value().renamed_to(kDataFileName);
    data_file_ = std::move(fresh.value());
    offsets_ = std::move(offsets);
    shadowed_.clear();
    pending_marks_.clear();  // their records are gone with the old file
    // The log is emptied only once the rename is durable.
    Status dir_synced = sync_directory(dir_, kCompact);
    if (!dir_synced.ok()) return dir_synced;
  }
  Status emptied = wal_.checkpoint();
  wal_guard.unlock();
  if (!emptied.ok()) return emptied;
  return save_meta();
}

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

Status Collection::flush() {
  // The checkpoint below empties the log, so everything the log holds must
  // be in the data file first. No change can be logged while the log's lock
  // is held; the ones logged before finish applying (their records appended,
  // their deletion marks queued), and then every mark and record goes to the
  // file. A change logged after the marks were written but before the
  // checkpoint would otherwise lose its entry while its mark still waited
  // in memory: the deleted record would come back on the next open.
  std::unique_lock wal_guard(wal_lock_);
  wait_for_changes_in_flight();
  Status log_synced = wal_.sync();
  if (!log_synced.ok()) return log_synced;
  {
    std::unique_lock guard(data_lock_);
    Status marked = write_marks(wal_.synced());
    if (!marked.ok()) return marked;
    Status flushed = data_file_.flush();
    if (!flushed.ok()) return flushed;
  }
  Status emptied = wal_.checkpoint();
  wal_guard.unlock();
  if (!emptied.ok()) return emptied;
  return save_meta();
}

Status Collection::save_meta() const {
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

uint64_t Collection::next_id() const {
  std::shared_lock guard(next_id_lock_);
  return next_id_;
}

}  // namespace varnel
