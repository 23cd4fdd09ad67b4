// Collection metadata: meta.json, the file naming a collection's dimension
// and metric, and the names of a collection's three files. Written only
// whole (a synced temporary renamed over it), read with the JSON reader's
// rules. Knows nothing of the log or the data file.
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
#include <string>
#include <string_view>

#include "result.h"
#include "storage/file.h"

namespace varnel {

inline constexpr const char* kMetaFileName = "meta.json";
inline constexpr const char* kWalFileName = "wal.log";
inline constexpr const char* kDataFileName = "data.vnl";

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

}  // namespace varnel
