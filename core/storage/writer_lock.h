// WriterLock: one process at a time writes a collection. The lock is an
// exclusive flock(2) on the collection's own log file (no extra file in the
// directory), taken through a descriptor of its own that nothing else
// reads, writes or closes. Within one process the lock is shared: every open
// object on the same directory holds the same WriterLock, and the descriptor
// is closed (the lock released) when the last of them is dropped. The kernel
// releases it when the process dies, kill -9 included.
//
// Why flock on a private descriptor: a flock belongs to the open file
// description, so the log's other descriptors (the append handle, the one a
// checkpoint opens with truncation, the readers that open it by path for one
// pass) open and close freely without touching it. A POSIX record lock
// (fcntl F_SETLK) would be dropped the moment any of those descriptors was
// closed. The holder's pid is read from /proc/locks when the kernel has it.
// The log is never replaced by a rename (a checkpoint truncates it in place):
// a rename would leave the lock on an unlinked file. A fork without exec
// shares the description, and so the lock, with the child.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "result.h"

namespace varnel::storage {

// Why acquire failed.
struct LockFailure {
  enum class Stage : uint8_t {
    kOpen,   // opening the file or taking its identity failed: cause
    kLock,   // flock failed for another reason than a holder: cause
    kInUse,  // another process holds the lock: holder (0 when unknown)
  };
  Stage stage = Stage::kOpen;
  int64_t holder = 0;
  std::string cause;
};

// A handle on this process's holding of one lock; move-only. The holding
// ends (descriptor closed, lock released) when its last handle is destroyed.
class WriterLock {
 public:
  // Takes the lock on the file at `path` (creating it when missing, mode 0666
  // before the umask; its bytes are never touched), or joins this process's
  // holding of it. Never waits: a lock held elsewhere is refused at once.
  static Result<WriterLock, LockFailure> acquire(const std::filesystem::path& path);

  WriterLock(WriterLock&& other) noexcept : holding_(other.holding_) { other.holding_ = nullptr; }
  WriterLock& operator=(WriterLock&& other) noexcept;
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  ~WriterLock() { release(); }

  // How many handles of this process share the holding (tests).
  size_t holders() const;

  struct Holding;  // the descriptor and its count, defined in the .cc

 private:
  explicit WriterLock(Holding* holding) : holding_(holding) {}
  void release();

  Holding* holding_ = nullptr;  // shared with the process's other handles; null when moved from
};

}  // namespace varnel::storage
