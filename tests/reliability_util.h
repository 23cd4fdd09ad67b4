// Shared by the fault, power-loss and crash suites: vectors derived from
// their identifier (so any reader can check them bit for bit), the path
// behind a descriptor, and a full check of what a collection directory holds.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "coding.h"
#include "collection.h"
#include "storage/data_file.h"
#include "storage/wal.h"
#include "storage_test_util.h"

namespace varnel::testing {

inline constexpr size_t kDim = 3;

// A fresh directory, removed at the end; on tmpfs when the machine has one,
// so that the suites' many fsyncs cost nothing.
class ScratchDir {
 public:
  ScratchDir() {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string tmpl = (base / "varnel-rel-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    path_ = made != nullptr ? made : tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline CollectionConfig batch_config(size_t dim = kDim) {
  return {dim, DistanceMetric::Euclidean, storage::SyncPolicy::kBatch};
}

// Distinct for every id, and nearer to itself than to any other.
inline std::vector<float> vector_of(uint64_t id, size_t dim = kDim) {
  const float f = static_cast<float>(id);
  std::vector<float> v = {f * 0.5f, 0.25f - f, 3.0f + f * 0.125f};
  v.resize(dim);
  for (size_t i = 3; i < dim; ++i) v[i] = (f + static_cast<float>(i)) * 0.0625f;
  return v;
}

inline bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (float_bits(a[i]) != float_bits(b[i])) return false;
  }
  return true;
}

// The file a descriptor of this process refers to, or "" when unknown.
inline std::string fd_path(int fd) {
  char buf[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

inline std::set<uint64_t> stored_ids(const Collection& c) {
  std::set<uint64_t> out;
  for (const auto& hit : c.search(vector_of(0, c.dimension()), c.len())) out.insert(hit.id);
  return out;
}

// What a closed collection directory holds, read past the Collection: the
// ids its open finds, and whether its files are sound (a data file scan that
// reaches the end, every record carrying its id's own vector; a log that
// reads to its end). `problem` is empty when all is well.
struct DirCheck {
  std::set<uint64_t> ids;
  std::string problem;
};

inline DirCheck check_dir(const std::filesystem::path& dir, size_t dim = kDim) {
  DirCheck out;
  {
    auto c = Collection::open_or_create(dir, batch_config(dim));
    if (!c.ok()) {
      out.problem = "reopen failed: " + c.error().message();
      return out;
    }
    out.ids = stored_ids(*c.value());
    for (uint64_t id : out.ids) {
      auto hits = c.value()->search(vector_of(id, dim), 1);
      if (hits.empty() || hits[0].id != id || hits[0].distance != 0.0f) {
        out.problem = "id " + std::to_string(id) + " does not hold its own vector";
        return out;
      }
    }
  }
  // The open above may have cut a torn tail and replayed the log; the drop
  // wrote its buffers out. Every record must now be whole and right.
  auto data = storage::testing::open_data_file(dir / kDataFileName);
  if (!data.ok()) {
    out.problem = "data file: " + data.error().message();
    return out;
  }
  storage::DataScanEnd end;
  Status scanned = data.value().for_each_active(
      [&](storage::DataRecord& r) -> Status {
        if (!same_bits(r.vector, vector_of(r.id, dim))) {
          return Error::io("record at " + std::to_string(r.offset) + " of id " +
                           std::to_string(r.id) + " holds another vector");
        }
        return {};
      },
      &end);
  if (!scanned.ok()) {
    out.problem = "data file: " + scanned.error().message();
  } else if (end.error.has_value()) {
    out.problem = "data file stops at " + std::to_string(end.stop_offset) + ": " +
                  end.error->message();
  }
  if (!out.problem.empty()) return out;
  storage::WalReadEnd wal_end;
  Status log = storage::testing::read_wal(
      dir / kWalFileName, [](storage::WalEntry&) { return Status{}; }, &wal_end);
  if (!log.ok()) out.problem = "log: " + log.error().message();
  return out;
}

}  // namespace varnel::testing
