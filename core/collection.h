// Collection: a persistent vector collection in one directory, holding
// meta.json (metadata), wal.log (write-ahead log) and data.vnl (data file).
// One process at a time may have a collection open: open_or_create takes an
// exclusive lock on the directory's log (storage/writer_lock.h), shared by
// every object of this process on that directory and released with the last
// of them or with the process. The directory is bound at open: a relative
// path is resolved once, and a later chdir changes nothing for the object.
// Every insert is logged, then appended to the data file and applied to the
// in-memory index. flush makes the data file durable, empties the log and
// rewrites meta.json. Opening replays what the log still holds. There is no
// update, delete or close in the public surface; dropping writes both buffers
// out without syncing them.
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

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "distance.h"
#include "id_map.h"
#include "index/brute_force.h"
#include "payload.h"
#include "result.h"
#include "storage/data_file.h"
#include "storage/wal.h"
#include "storage/writer_lock.h"

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

// Writes `meta` as dir/meta.json (via a synced temporary and a rename; the
// calls of one process are serialised).
// CollectionError "write meta failed: " with the cause.
Status write_meta(const std::filesystem::path& dir, const CollectionMeta& meta);
// Reads dir/meta.json. CollectionError "read meta failed: " (unreadable, or
// not UTF-8) or "parse meta failed: " with the reader's text.
Result<CollectionMeta> read_meta(const std::filesystem::path& dir);

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
  // the scan and the replay are returned unchanged.
  static Result<std::unique_ptr<Collection>> open_or_create(const std::filesystem::path& path,
                                                            const CollectionConfig& config);

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  // Drop: the log's and the data file's buffers are written out, unsynced.
  ~Collection() = default;

  // Upsert. The length is checked first (DimensionMismatch, nothing
  // touched); then the entry is logged (the log's errors, nothing applied);
  // then applied as apply_insert_no_wal.
  Status insert(uint64_t id, const float* vector, size_t len, const Payload& payload);
  Status insert(uint64_t id, const std::vector<float>& vector, const Payload& payload) {
    return insert(id, vector.data(), vector.size(), payload);
  }

  // The index's answer; a query of the wrong length gives nothing.
  std::vector<index::SearchResult> search(const float* query, size_t len, size_t k,
                                          const Filter* filter = nullptr) const;
  std::vector<index::SearchResult> search(const std::vector<float>& query, size_t k,
                                          const Filter* filter = nullptr) const {
    return search(query.data(), query.size(), k, filter);
  }
  // Several queries of `dim` floats each, back to back: one pass over the
  // index under one read lock serves them all, each list what search() gives.
  std::vector<std::vector<index::SearchResult>> search_batch(const float* queries, size_t count,
                                                             size_t dim, size_t k) const;

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
  const std::filesystem::path& directory() const { return dir_; }

 private:
  Collection(std::filesystem::path path, std::filesystem::path dir, const CollectionConfig& config,
             storage::WriterLock lock, storage::Wal wal, storage::DataFile data_file);

  Status recover();
  Status load_data_file();
  Status replay_log();
  Status store(uint64_t id, const float* vector, size_t len, const Payload& payload);
  void raise_next_id(uint64_t id);

  const std::filesystem::path path_;  // the directory as given
  const std::filesystem::path dir_;   // bound at open; every file name is dir_ / name
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

  mutable std::shared_mutex offsets_lock_;
  IdMap offsets_;  // id -> offset of the record the index holds

  mutable std::shared_mutex next_id_lock_;
  uint64_t next_id_ = 1;  // one past the largest id seen; saturates at 2^64 - 1
};

}  // namespace varnel
