// Collection: a persistent vector collection in one directory, holding
// meta.json (metadata), wal.log (write-ahead log) and data.vnl (data file).
//
// The write protocol, all of it here:
//   - A write (insert, upsert, remove, and their batches) checks every row
//     first, then logs its frames, settles the log syncs they bring due, and
//     only then applies them to memory (the index, next_id, and the set of
//     ids changed since the last flush). A log failure takes the call's
//     frames back out of the log: the call changed nothing.
//   - The data file changes only in flush and compact, and only after the
//     log has been synced: flush appends a record for every changed id that
//     is stored and marks the earlier records of every changed id deleted,
//     syncs the data file, and only then empties the log. So the data file
//     never holds a change the log does not, and what an open rebuilds
//     (data file, then the log replayed over it in memory) is always the
//     state after a prefix of the acknowledged changes, holding every
//     synced one.
//   - An open writes nothing but a new collection's meta.json and the cut
//     of a torn last frame or record (after everything was read), so a
//     refused or failed open leaves the directory as it was.
//
// Sharing: one process at a time may have a collection open (a writer lock
// on the directory's log). Within a process, every open of one directory
// (found by device and inode) gives the same object, so all handles share
// one state. In a child forked while it was open, every call refuses and
// dropping it writes nothing. The directory is bound at open: a relative
// path is resolved once, and a later chdir changes nothing.
//
// Locks: writers, flush and compact take turns on one mutex for the whole
// call; searches and reads take the index's reader-writer lock, which a
// write holds only while it applies its rows.
//
// meta.json: see collection_meta.h.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collection_meta.h"
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

struct CollectionConfig {
  size_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  storage::SyncPolicy wal_sync = storage::SyncPolicy::kBatch;
};

// What an open asks for. The package names what it wants and has the stored
// configuration checked against it; the low-level module gives both and
// measures with its own metric whatever is stored.
struct OpenRequest {
  std::optional<size_t> dimension;        // needed to create; else must match the stored one
  std::optional<DistanceMetric> metric;   // needed to create
  // true: a stored metric other than `metric` is refused, and with no metric
  // asked for the stored one is used; false: `metric` is used as given.
  bool match_metric = true;
  storage::SyncPolicy wal_sync = storage::SyncPolicy::kBatch;
  // true: a collection this process already has open is refused (kInUse
  // "the collection is open in this process") instead of shared, so the
  // caller holds the only handle (to drop or rename the directory).
  bool exclusive = false;
};

// The rows of a batch write: row(i) gives the i-th vector (its length may
// differ from the dimension; such a row is refused).
using RowSource = std::function<std::span<const float>(size_t)>;
// Asked between rows of a batch write with the floats written since the last
// call; true ends the batch there (the rows before it are kept).
using WriteStop = std::function<bool(size_t)>;

class Collection {
 public:
  // Opens the collection in the directory `path`, creating the directory and
  // a new collection when it holds none, or gives this process's open
  // collection of that directory (found by device and inode, whichever path
  // or module reached it), so that every handle of one process shares one
  // state. In order: the directory is created when missing and held by its
  // path made absolute; the writer lock is taken (CollectionError kInUse
  // "the collection is in use by another process (pid N)", before any file
  // is read or changed); meta.json is read and checked against the request
  // (kConfigMismatch; nothing created or changed); the log and the data file
  // are opened, the data file loaded and the log replayed into memory. An
  // open writes nothing but a new collection's meta.json and the cutting of
  // a torn last frame or record; a failed open leaves the files as they were.
  // A pool of two threads or more, borrowed for the call, splits the loading
  // of a large data file.
  static Result<std::shared_ptr<Collection>> open(const std::filesystem::path& path,
                                                  const OpenRequest& request,
                                                  ThreadPool* pool = nullptr);
  // The low-level module's open: dimension checked against the stored one
  // ("dimension mismatch: collection has S, config has C"), metric as given.
  static Result<std::shared_ptr<Collection>> open_or_create(const std::filesystem::path& path,
                                                            const CollectionConfig& config,
                                                            ThreadPool* pool = nullptr);

  // Sharing across modules. Each extension module of a process carries its
  // own copy of this library, and so its own table of open collections; to
  // share one state per directory, one module hands the others its opener
  // (Opener, with the layout tag below to refuse a mismatched build), and
  // they open through it. Until one is installed, the local one is used.
  using OpenFn = Result<std::shared_ptr<Collection>> (*)(const std::filesystem::path&,
                                                          const OpenRequest&, bool low_level,
                                                          ThreadPool*);
  struct Opener {
    uint64_t layout;  // kOpenerLayout of the build that made it
    OpenFn open;
  };
  static Opener local_opener();
  static void use_opener(const Opener& opener);

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  // Drop: the log's buffer is written out, unsynced. In a child forked while
  // the collection was open, nothing is written and no thread is joined.
  ~Collection();

  // Every call below refuses, in a child process forked while the
  // collection was open, with CollectionError "this collection was opened by
  // process N; open it again in this process" and changes nothing.
  Status usable() const;

  // The writes. Each row is checked before anything is written: its length
  // (DimensionMismatch), its components (InvalidVector, for a NaN or an
  // infinity) and its payload (PayloadError, one the log could not read
  // back). The rows before the first refused one (or before `stop` ended the
  // call) are logged, the log's syncs they bring due are settled, and only
  // then are they applied, all at once for searches; the refusal is
  // returned after that, and *written says how many rows were applied. A log
  // failure (a full disk, a failed sync) takes every frame of the call back
  // out of the log and applies none of them.
  //
  // insert logs Insert entries; upsert logs an Update for an id already
  // stored and an Insert for a new one. Both replace what an id held.
  Status insert(uint64_t id, const float* vector, size_t len, const Payload& payload);
  Status insert(uint64_t id, const std::vector<float>& vector, const Payload& payload) {
    return insert(id, vector.data(), vector.size(), payload);
  }
  Status upsert(uint64_t id, const float* vector, size_t len, const Payload& payload);
  Status upsert(uint64_t id, const std::vector<float>& vector, const Payload& payload) {
    return upsert(id, vector.data(), vector.size(), payload);
  }
  // Batches: `payloads` null for empty payloads. The log's periodic fsync
  // runs behind the next rows and is waited for before the call returns.
  Status insert_batch(const uint64_t* ids, size_t count, const RowSource& rows,
                      const Payload* payloads, const WriteStop& stop = {},
                      size_t* written = nullptr);
  Status upsert_batch(const uint64_t* ids, size_t count, const RowSource& rows,
                      const Payload* payloads, const WriteStop& stop = {},
                      size_t* written = nullptr);
  // Deletes `id`: when it is stored, logs a Delete entry and applies it;
  // otherwise logs nothing. True when it was stored.
  Result<bool> remove(uint64_t id);
  // Deletes every stored id of `ids` (logged and settled first, as above; a
  // log failure removes none). The number removed.
  Result<size_t> remove_batch(const uint64_t* ids, size_t count);

  // Partial updates, through the same check, log and apply path as upsert
  // (Update entries). For each stored id of `ids` (others are skipped):
  // its vector replaced by row i of `vectors` (`dim` floats each; null
  // keeps every vector) and each member of patches[i] set in its payload
  // (null keeps every payload). A repeated id takes its updates in order.
  // Everything is checked before anything is logged: a refused row
  // (DimensionMismatch, InvalidVector, PayloadError) or a log failure
  // changes nothing. The number of distinct ids updated.
  Result<size_t> update_batch(const uint64_t* ids, size_t count, const float* vectors,
                              size_t dim, const Payload* patches);
  // Deletes every stored row whose payload passes `filter` (all when null),
  // chosen and removed in one writer's turn, logged as remove_batch logs.
  // The number removed.
  Result<size_t> remove_matching(const Filter* filter);

  // A copy of the stored vector and payload; nothing when absent.
  std::optional<index::VectorEntry> get(uint64_t id) const;
  bool contains(uint64_t id) const;
  // Every stored identifier, ascending.
  std::vector<uint64_t> ids() const;
  // The index's matching_ids, count and rows, each under one read lock, so
  // each sees one state.
  std::vector<uint64_t> matching_ids(const Filter* filter) const;
  size_t count(const Filter* filter) const;
  index::Rows rows(const Filter* filter, const index::RowRequest& request) const;

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

  // The log to stable storage; then every change since the last flush goes
  // to the data file (new records appended, replaced and deleted ones
  // marked), which is synced; then the log is emptied and meta.json
  // rewritten. Each step's error stops the later ones, and the log keeps
  // every change until the data file holds it durably.
  Status flush();

  // Rewrites data.vnl with the live records only (ascending id) into a
  // temporary of its own, synced and renamed over data.vnl (the directory
  // synced after), so a crash leaves the old or the new file, whole; then
  // empties the log and rewrites meta.json. Errors: the log's, the data
  // file's, CollectionError "compact failed: " (the temporary, the rename,
  // the directory), meta.json's.
  Status compact();

  size_t len() const;
  uint64_t next_id() const { return next_id_.load(std::memory_order_relaxed); }
  size_t dimension() const { return config_.dimension; }
  const CollectionConfig& config() const { return config_; }
  // The directory as first given to open.
  const std::filesystem::path& path() const { return path_; }
  // The directory every file operation reaches: path() made absolute at open.
  const std::filesystem::path& directory() const { return dir_.path(); }

 private:
  struct Deleter;
  enum class WriteKind : uint8_t { kInsert, kUpsert };

  Collection(std::filesystem::path path, storage::Directory dir, const CollectionConfig& config,
             storage::WriterLock lock, storage::Wal wal, storage::DataFile data_file);

  static Result<std::shared_ptr<Collection>> open_checked(const std::filesystem::path& path,
                                                          const OpenRequest& request,
                                                          bool low_level, ThreadPool* pool);
  Status load_data_file(ThreadPool* pool, uint64_t* torn_data_at);
  Status replay_log(uint64_t* torn_log_at);
  Status write_rows(WriteKind kind, const uint64_t* ids, size_t count, const RowSource& rows,
                    const Payload* payloads, storage::SyncTiming timing, const WriteStop& stop,
                    size_t* written);
  // How many rows, from the first, pass the write checks; *refused says why
  // the next one does not.
  size_t check_rows(size_t count, const RowSource& rows, const Payload* payloads,
                    Status* refused) const;
  // Under write_lock_: logs the first `n` rows (until `stop`), settles,
  // applies; a log failure takes the call's frames back out.
  Status log_and_apply(WriteKind kind, const uint64_t* ids, size_t n, const RowSource& rows,
                       const Payload* payloads, storage::SyncTiming timing, const WriteStop& stop,
                       size_t* logged_out);
  // Under write_lock_: remove_batch's work.
  Result<size_t> remove_locked(const uint64_t* ids, size_t count);
  // Under write_lock_: in memory only, the change marked for the next flush.
  void put_row(uint64_t id, const float* vector, size_t len, const Payload& payload);
  void point_offsets_at(uint64_t id, uint64_t offset);
  // Every active record of `id`: the one offsets names (taken out of
  // offsets) and the shadowed ones (forgotten).
  std::vector<uint64_t> take_active_records(uint64_t id);
  void raise_next_id(uint64_t id);
  Status write_meta_now() const;
  Status write_changes();

  const std::filesystem::path path_;  // the directory as given
  const storage::Directory dir_;      // held from open; every file is reached by name in it
  const CollectionConfig config_;
  const pid_t owner_pid_;             // the process that opened it
  // Declared before the files so that it is released after their buffers
  // are written out at a drop.
  storage::WriterLock lock_;

  // Writers, flush and compact take turns here; it guards every member
  // below but the index, which searches read under index_lock_.
  mutable std::mutex write_lock_;
  storage::Wal wal_;
  storage::DataFile data_file_;
  IdMap offsets_;  // id -> the record of the data file that last held it
  // Older active records of an id (several records of one id found at open);
  // the next flush of the id marks them too, or a later open would bring
  // them back.
  std::unordered_multimap<uint64_t, uint64_t> shadowed_;
  // Ids changed since the data file last took the changes (flush, compact):
  // the next flush appends their records or marks them deleted. May repeat.
  std::vector<uint64_t> dirty_;

  mutable std::shared_mutex index_lock_;
  index::BruteForceIndex index_;  // every live vector

  std::atomic<uint64_t> next_id_{1};  // one past the largest id seen; saturates at 2^64 - 1
};

}  // namespace varnel
