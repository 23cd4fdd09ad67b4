#include "storage/writer_lock.h"

#include <pthread.h>
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
  Directory dir;  // the locked description; closed in a forked child
  FileId id;
  size_t refs = 0;
  bool abandoned = false;  // in a forked child: the lock is the parent's, not held here
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

// Fork handlers: the registry's mutex is held across fork() so the child
// finds it consistent; in the child the forking thread (which took it)
// closes every holding's descriptor, so the child never keeps the parent's
// lock alive, and leaves the holdings to their handles as abandoned.
void before_fork() { g_registry_lock.lock(); }
void after_fork_in_parent() { g_registry_lock.unlock(); }
void after_fork_in_child() {
  for (WriterLock::Holding* h : registry()) {
    h->dir = Directory();  // closes the descriptor
    h->abandoned = true;
  }
  registry().clear();
  g_registry_lock.unlock();
}

}  // namespace

Result<WriterLock, LockFailure> WriterLock::acquire(const Directory& dir) {
  static const int registered =
      pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
  (void)registered;  // fails only without memory; a fork then shares the lock as before
  std::lock_guard guard(g_registry_lock);
  using Stage = LockFailure::Stage;
  IoResult<FileId> id = dir.id();
  if (!id.ok()) return LockFailure{Stage::kOpen, 0, std::move(id).error()};
  for (Holding* h : registry()) {
    if (h->id.dev == id.value().dev && h->id.ino == id.value().ino) {
      ++h->refs;  // this process holds it already
      return WriterLock(h);
    }
  }
  // A description of its own: the lock belongs to it alone, whatever else
  // opens and closes descriptors of the directory.
  IoResult<Directory> own = dir.dup();
  if (!own.ok()) return LockFailure{Stage::kOpen, 0, std::move(own).error()};
  IoResult<bool> locked = own.value().try_lock_exclusive();
  if (!locked.ok()) return LockFailure{Stage::kLock, 0, std::move(locked).error()};
  if (!locked.value()) return LockFailure{Stage::kInUse, flock_holder(id.value()), {}};
  auto* h = new Holding{std::move(own).value(), id.value(), 1};
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

bool WriterLock::owned_by_this_process() const {
  std::lock_guard guard(g_registry_lock);
  return holding_ != nullptr && !holding_->abandoned;
}

void WriterLock::release() {
  if (holding_ == nullptr) return;
  std::lock_guard guard(g_registry_lock);
  if (--holding_->refs == 0) {
    // An abandoned holding left the registry in the fork handler, and its
    // descriptor is closed already.
    auto& all = registry();
    all.erase(std::remove(all.begin(), all.end(), holding_), all.end());
    delete holding_;  // closes the descriptor: the lock is released
  }
  holding_ = nullptr;
}

}  // namespace varnel::storage
