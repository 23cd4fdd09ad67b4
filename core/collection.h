// Collection: a persistent vector collection in one directory, holding
// meta.json (metadata), wal.log (write-ahead log) and data.vnl (data file).
// One process at a time may have a collection open: open_or_create takes an
// exclusive lock on the directory's log (storage/writer_lock.h), shared by
// every object of this process on that directory and released with the last
// of them or with the process. The directory is bound at open: a relative
// path is resolved once, and a later chdir changes nothing for the object.
// Every insert is logged, then appended to the data file and applied to the
// in-memory index. flush makes the data file durable, empties the log and
// rewrites meta.json. Opening replays what the log still holds. upsert and
// remove log Update and Delete entries; compact rewrites the data file with
// the live records only. There is no close: dropping writes both buffers out
// without syncing them.
//
// Deleted markers wait: a record that an upsert replaces or a remove deletes
// is marked in the data file only once the log entry that did it is synced
// (the log's next sync, a flush or a compact), so a crash never loses a value
// that was durable before the call. Replay at open marks at once (its log is
// on disk already). insert() never marks: of several active records of an
// id the newest wins at open, and the older ones are remembered so that a
// later delete or update marks them all.
//
// Locks: five reader-writer locks (index, wal, data file, offsets, next_id).
// An operation takes one at a time, except these nestings:
//   - data file, index, offsets, next_id: while open loads the data file
//     (with a pool, a second thread fills offsets meanwhile; see the .cc);
//   - offsets, then data file: a replayed update or delete marks a record;
//   - wal, then offsets (read): upsert and remove decide what to log;
//   - wal, then offsets, data file, index (read): compact, which first waits,
//     holding the wal lock, until no logged change is still being applied.
//
// meta.json: exactly six lines, LF-separated, no LF after the last:
//   {
//     "dimension": 3,
//     "metric": "Cosine",
//     "vector_count": 0,
//     "next_id": 1
//   }
// It is written to meta.json.tmp.<pid> (a name no other process's writer
// shares; this process's writers take turns), synced and renamed over
// meta.json, so a crash leaves either the old or the new file, never a
// truncated one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "distance.h"
#include "id_map.h"
#include "index/brute_force.h"
#include "payload.h"
#include "result.h"
#include "storage/data_file.h"
#include "storage/wal.h"
#include "storage/writer_lock.h"
#include "thread_pool.h"

namespace varnel {

inline constexpr const char* kMetaFileName = "meta.json";
inline constexpr const char* kWalFileName = "wal.log";
inline constexpr const char* kDataFileName = "data.vnl";

struct CollectionConfig {
  size_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  storage::SyncPolicy wal_sync = storage::SyncPolicy::kBatch;
};

struct CollectionMeta {
  size_t dimension = 0;
  std::string metric;  // a metric's text name; not checked when read
  uint64_t vector_count = 0;
  uint64_t next_id = 1;

  // The six-line text described above.
  std::string to_json() const;
  // Reads an object (members in any order, other members ignored, each of the
  // four exactly once) or a four-element array; the error is the JSON
  // reader's text ending in "at line L column C".
  static Result<CollectionMeta, std::string> from_json(std::string_view text);
};

// Writes `meta` as meta.json in `dir` (via a synced temporary and a rename;
// the calls of one process are serialised).
// CollectionError "write meta failed: " with the cause.
Status write_meta(const storage::Directory& dir, const CollectionMeta& meta);
// Reads meta.json in `dir`. CollectionError "read meta failed: " (unreadable,
// or not UTF-8) or "parse meta failed: " with the reader's text.
Result<CollectionMeta> read_meta(const storage::Directory& dir);
// The same for the directory at `path` (opened for the call).
Result<CollectionMeta> read_meta(const std::filesystem::path& path);

class Collection {
 public:
  // Creates the directory (and parents) when missing, binds it, takes the
  // writer lock (refused with CollectionError "the collection is in use by
  // another process (pid N)", or without the pid when the system does not
  // tell it, before any file is read or changed; "lock failed: " with the
  // cause when the lock cannot be taken for another reason), checks a stored
  // meta.json's dimension against config.dimension ("dimension mismatch:
  // collection has S, config has C"), opens the log and the data file,
  // rebuilds the index from the data file and replays the log. A new
  // collection gets its meta.json at the end. Errors of the files' opens,
  // the scan and the replay are returned unchanged. A pool of two threads
  // or more, borrowed for the call only, splits the loading of a large data
  // file between two of them; what is read, what is built and every error
  // are the same as without it.
  static Result<std::unique_ptr<Collection>> open_or_create(const std::filesystem::path& path,
                                                            const CollectionConfig& config,
                                                            ThreadPool* pool = nullptr);

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  // Drop: the log's and the data file's buffers are written out, unsynced.
  ~Collection() = default;

  // Upsert. The length is checked first (DimensionMismatch, nothing
  // touched); then the entry is logged (the log's errors, nothing applied);
  // then applied as apply_insert_no_wal.
  //
  // insert, upsert and remove take the timing of the log's policy sync
  // (storage::SyncTiming): a batch call passes kBehind for each of its
  // changes, so the fsync runs while the next changes are encoded, and ends
  // with settle_log(); then every change it made is as durable as if each
  // had synced inline.
  Status insert(uint64_t id, const float* vector, size_t len, const Payload& payload,
                storage::SyncTiming timing = storage::SyncTiming::kInline);
  Status insert(uint64_t id, const std::vector<float>& vector, const Payload& payload) {
    return insert(id, vector.data(), vector.size(), payload);
  }

  // Insert or replace, logged as what it is: an Update entry when `id` is
  // stored, an Insert when it is new; then applied like insert(). The
  // replaced record is marked deleted once the entry is synced (see above).
  // DimensionMismatch first (nothing logged), then the log's errors (nothing
  // applied), then the data file's.
  Status upsert(uint64_t id, const float* vector, size_t len, const Payload& payload,
                storage::SyncTiming timing = storage::SyncTiming::kInline);
  Status upsert(uint64_t id, const std::vector<float>& vector, const Payload& payload) {
    return upsert(id, vector.data(), vector.size(), payload);
  }
  // Deletes `id`: when it is stored, logs a Delete entry and applies it (its
  // record is marked once the entry is synced); otherwise logs nothing.
  // True when it was stored. The log's errors leave it stored.
  Result<bool> remove(uint64_t id, storage::SyncTiming timing = storage::SyncTiming::kInline);

  // Waits for a log sync still running behind the changes, then writes the
  // deleted marks it allows. Its failure is the log's "sync failed: ". A
  // batch call settles also when it stops early, and reports the first
  // error.
  Status settle_log();

  // A copy of the stored vector and payload; nothing when absent.
  std::optional<index::VectorEntry> get(uint64_t id) const;
  bool contains(uint64_t id) const;
  // Every stored identifier, ascending.
  std::vector<uint64_t> ids() const;

  // The index's answer; a query of the wrong length gives nothing. A pool
  // spreads the rows over its threads, with the same results.
  std::vector<index::SearchResult> search(const float* query, size_t len, size_t k,
                                          const Filter* filter = nullptr,
                                          ThreadPool* pool = nullptr) const;
  std::vector<index::SearchResult> search(const std::vector<float>& query, size_t k,
                                          const Filter* filter = nullptr,
                                          ThreadPool* pool = nullptr) const {
    return search(query.data(), query.size(), k, filter, pool);
  }
  // Several queries of `dim` floats each, back to back: one pass over the
  // index under one read lock serves them all, each list what search() gives.
  // With `stop`, the search may end part way (see index::SearchStop).
  std::vector<std::vector<index::SearchResult>> search_batch(const float* queries, size_t count,
                                                             size_t dim, size_t k,
                                                             const Filter* filter = nullptr,
                                                             ThreadPool* pool = nullptr,
                                                             index::SearchStop* stop = nullptr) const;

  // Rewrites data.vnl with the live records only (ascending id), then
  // empties the log and rewrites meta.json. The new file is written to a
  // temporary of its own in the directory, synced and renamed over data.vnl
  // (the directory synced after), so a crash leaves the old or the new file,
  // whole; the log is synced before the rename and emptied only after it,
  // and replaying it over the new file gives the same collection. Waits for
  // changes still being applied and blocks new ones meanwhile. Errors: the
  // log's, the data file's, CollectionError "compact failed: " (the
  // temporary, the rename, the directory), save_meta's.
  Status compact();

  // Data file to stable storage, then a log checkpoint, then meta.json. Each
  // step's error is returned unchanged and stops the later ones.
  Status flush();

  // Writes meta.json from the live state (index size, next_id).
  Status save_meta() const;

  // Apply one change without logging it (the second half of insert, and the
  // replay of logged entries). A vector of the wrong length is refused with
  // DimensionMismatch before anything changes.
  Status apply_insert_no_wal(uint64_t id, const float* vector, size_t len, const Payload& payload);
  Status apply_update_no_wal(uint64_t id, const float* vector, size_t len, const Payload& payload);
  // True when the index held `id`.
  Result<bool> apply_delete_no_wal(uint64_t id);

  size_t len() const;
  uint64_t next_id() const;
  size_t dimension() const { return config_.dimension; }
  const CollectionConfig& config() const { return config_; }
  // The directory as given to open_or_create.
  const std::filesystem::path& path() const { return path_; }
  // The directory every file operation reaches: path() made absolute at open.
  const std::filesystem::path& directory() const { return dir_.path(); }

 private:
  Collection(std::filesystem::path path, storage::Directory dir, const CollectionConfig& config,
             storage::WriterLock lock, storage::Wal wal, storage::DataFile data_file);

  Status recover(ThreadPool* pool);
  Status load_data_file(ThreadPool* pool);
  Status replay_log();
  // Appends the record, replaces the index entry and the offset; while the
  // data file is held, writes the waiting marks whose entries are among the
  // first `synced` appends of the log.
  // `old_marked`: the caller marks (or has queued) the id's earlier
  // records; otherwise the one offsets named is remembered as shadowed.
  Status store(uint64_t id, const float* vector, size_t len, const Payload& payload,
               uint64_t synced = 0, bool old_marked = false);
  // Offsets lock held (W): offsets names `offset` for `id`, the record it
  // named before remembered as shadowed.
  void point_offsets_at(uint64_t id, uint64_t offset);
  // Offsets lock held (W): remembers the record offsets names for `id` as
  // shadowed, before offsets is pointed at a newer one.
  void remember_shadowed(uint64_t id);
  // Offsets lock held (W): every active record of `id`, the one offsets
  // names (taken out of offsets when `erase`) and the shadowed ones (always
  // forgotten).
  std::vector<uint64_t> take_active_records(uint64_t id, bool erase);
  // Marks every active record of `id` now (replay: the entry is durable).
  Status mark_active_records(uint64_t id, bool erase);
  void raise_next_id(uint64_t id);
  // Logs one change (wal lock held by the caller) and counts it in flight.
  Status log_change(storage::WalEntryKind kind, uint64_t id, const float* vector, size_t len,
                    const Payload& payload, storage::SyncTiming timing, uint64_t* seq,
                    uint64_t* synced);
  void change_applied();
  // Waits (wal lock held by the caller) until every logged change is applied,
  // so the index and the pending marks hold everything the log holds.
  void wait_for_changes_in_flight();
  // Marks (data file held) every waiting record whose entry is synced.
  Status write_marks(uint64_t synced);

  struct PendingMark {
    uint64_t offset;  // the record to mark
    uint64_t seq;     // the log append (1-based count) that replaced or deleted it
  };

  const std::filesystem::path path_;  // the directory as given
  const storage::Directory dir_;      // held from open; every file is reached by name in it
  const CollectionConfig config_;
  // Declared before the files so that it is released after their buffers
  // are written out at a drop.
  storage::WriterLock lock_;

  mutable std::shared_mutex index_lock_;
  index::BruteForceIndex index_;  // every live vector

  mutable std::shared_mutex wal_lock_;
  storage::Wal wal_;

  mutable std::shared_mutex data_lock_;
  storage::DataFile data_file_;
  std::vector<PendingMark> pending_marks_;  // under data_lock_; seq ascending

  mutable std::shared_mutex offsets_lock_;
  IdMap offsets_;  // id -> offset of the record the index holds
  // Older records that insert() (or an open finding several records of one
  // id) left active; a delete or update of the id must mark them too, or a
  // later open would bring them back. Under offsets_lock_.
  std::unordered_multimap<uint64_t, uint64_t> shadowed_;

  mutable std::shared_mutex next_id_lock_;
  uint64_t next_id_ = 1;  // one past the largest id seen; saturates at 2^64 - 1

  // Changes logged and not yet applied (or refused); flush and compact wait for 0.
  // Raised under the wal lock; an atomic, not a sixth lock.
  std::atomic<size_t> in_flight_{0};
};

}  // namespace varnel
