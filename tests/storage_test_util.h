// Helpers for the storage tests: a temporary directory, whole-file reads and
// writes, and a fault hook that a test scripts call by call.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "storage/data_file.h"
#include "storage/file.h"
#include "storage/wal.h"

namespace varnel::storage::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnel-storage-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    path_ = made != nullptr ? made : tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::string read_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The log and the data file are opened by name in a Directory; these reach
// them by a file's path, opening the directory that holds it for the call.
// A directory that cannot be opened fails as the file's open would.
inline IoResult<Directory> dir_of(const std::filesystem::path& file) {
  const std::filesystem::path parent = file.parent_path();
  return Directory::open(parent.empty() ? std::filesystem::path(".") : parent);
}

inline Result<Wal> open_wal(const std::filesystem::path& file, SyncPolicy policy) {
  IoResult<Directory> dir = dir_of(file);
  if (!dir.ok()) return Error::io(kOpenWal + dir.error());
  return Wal::open(dir.value(), file.filename().native(), policy);
}

inline Status read_wal(const std::filesystem::path& file,
                       const std::function<Status(WalEntry&)>& fn, WalReadEnd* end = nullptr) {
  IoResult<Directory> dir = dir_of(file);
  if (!dir.ok()) return Error::io("failed to open WAL for read: " + dir.error());
  return Wal::read_each(dir.value(), file.filename().native(), fn, end);
}

inline Result<DataFile> open_data_file(const std::filesystem::path& file,
                                       std::optional<uint32_t> dimension = std::nullopt) {
  IoResult<Directory> dir = dir_of(file);
  if (!dir.ok()) return Error::io("failed to open data file: " + dir.error());
  return DataFile::open(dir.value(), file.filename().native(), dimension);
}

// Installs itself for its lifetime. `script(op, n)` decides the n-th call
// (counting from 1) of each kind of operation; without a script every call runs.
class ScriptedFaults : public FaultHook {
 public:
  using Script = std::function<FaultDecision(FileOp op, int n)>;

  explicit ScriptedFaults(Script script = {}) : script_(std::move(script)) {
    previous_ = set_fault_hook(this);
  }
  ~ScriptedFaults() override { set_fault_hook(previous_); }
  ScriptedFaults(const ScriptedFaults&) = delete;
  ScriptedFaults& operator=(const ScriptedFaults&) = delete;

  FaultDecision before(FileOp op) override {
    const int n = ++counts_[static_cast<size_t>(op)];
    return script_ ? script_(op, n) : FaultDecision{};
  }
  int count(FileOp op) const { return counts_[static_cast<size_t>(op)]; }
  void reset_counts() { counts_.fill(0); }
  void set_script(Script script) { script_ = std::move(script); }

 private:
  Script script_;
  std::array<int, kFileOpCount> counts_{};
  FaultHook* previous_ = nullptr;
};

// Fails the n-th call of `op` with `err`; every other call runs.
inline ScriptedFaults::Script fail_nth(FileOp op, int nth, int err) {
  return [=](FileOp o, int n) {
    return o == op && n == nth ? FaultDecision{err, SIZE_MAX} : FaultDecision{};
  };
}

}  // namespace varnel::storage::testing
