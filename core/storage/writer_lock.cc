#include "storage/writer_lock.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "storage/file.h"

namespace varnel::storage {

struct WriterLock::Holding {
  File file;  // the locked description
  FileId id;
  size_t refs = 0;
};

namespace {

// The process's holdings, one per locked file. This is process-wide state
// by nature: the kernel's lock is per process (per description), so every
// object of the process on one directory must find the same holding. All
// reference counts change under the mutex, so a holding that is being
// released can never be mistaken for one held by another process.
std::mutex g_registry_lock;
std::vector<WriterLock::Holding*>& registry() {
  static std::vector<WriterLock::Holding*> holdings;
  return holdings;
}

// The pid of a process holding a flock on the file `id`, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"; device numbers in hex);
// 0 when the kernel does not say (no /proc, a file system whose numbers
// differ from what fstat gives, or the holder just went away).
int64_t flock_holder(const FileId& id) {
  std::ifstream in("/proc/locks");
  char want[64];
  std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(id.dev), minor(id.dev),
                static_cast<unsigned long long>(id.ino));
  for (std::string line; std::getline(in, line);) {
    if (line.find("->") != std::string::npos) continue;  // a waiter, not the holder
    std::istringstream fields(line);
    std::string number, kind, advisory, mode, where;
    int64_t pid = 0;
    if (!(fields >> number >> kind >> advisory >> mode >> pid >> where)) continue;
    if (kind == "FLOCK" && where == want && pid > 0) return pid;
  }
  return 0;
}

}  // namespace

Result<WriterLock, LockFailure> WriterLock::acquire(const std::filesystem::path& path) {
  std::lock_guard guard(g_registry_lock);
  IoResult<File> file = File::open(path, OpenMode::kReadAppendCreate);
  using Stage = LockFailure::Stage;
  if (!file.ok()) return LockFailure{Stage::kOpen, 0, std::move(file).error()};
  IoResult<FileId> id = file.value().id();
  if (!id.ok()) return LockFailure{Stage::kOpen, 0, std::move(id).error()};
  for (Holding* h : registry()) {
    if (h->id.dev == id.value().dev && h->id.ino == id.value().ino) {
      ++h->refs;  // this process holds it already; the new descriptor closes unused
      return WriterLock(h);
    }
  }
  IoResult<bool> locked = file.value().try_lock_exclusive();
  if (!locked.ok()) return LockFailure{Stage::kLock, 0, std::move(locked).error()};
  if (!locked.value()) return LockFailure{Stage::kInUse, flock_holder(id.value()), {}};
  auto* h = new Holding{std::move(file).value(), id.value(), 1};
  registry().push_back(h);
  return WriterLock(h);
}

WriterLock& WriterLock::operator=(WriterLock&& other) noexcept {
  if (this != &other) {
    release();
    holding_ = other.holding_;
    other.holding_ = nullptr;
  }
  return *this;
}

size_t WriterLock::holders() const {
  std::lock_guard guard(g_registry_lock);
  return holding_ != nullptr ? holding_->refs : 0;
}

void WriterLock::release() {
  if (holding_ == nullptr) return;
  std::lock_guard guard(g_registry_lock);
  if (--holding_->refs == 0) {
    auto& all = registry();
    all.erase(std::remove(all.begin(), all.end(), holding_), all.end());
    delete holding_;  // closes the descriptor: the lock is released
  }
  holding_ = nullptr;
}

}  // namespace varnel::storage
