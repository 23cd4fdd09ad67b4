// WriterLock: one process at a time writes a collection. The lock is an
// exclusive flock(2) on the collection's directory itself, taken through a
// descriptor of the directory of its own (its own open file description)
// that nothing else uses, so taking it creates and changes nothing in the
// directory: an open that is refused afterwards leaves it as it was. Within
// one process the lock is shared: every open object on the same directory
// (the same device and inode, whatever path reached it) holds the same
// WriterLock, and the descriptor is closed (the lock released) when the last
// of them is dropped. The kernel releases it when the process dies, kill -9
// included. The holder's pid is read from /proc/locks when the kernel has it.
//
// A fork without exec would share the locked description with the child,
// and a child that lives on (a pool of forked workers) would keep the lock
// after the parent let it go. So a handler registered with pthread_atfork
// closes, in the child, the descriptor of every holding and marks the
// holdings abandoned: the child owns no lock (owned_by_this_process() is
// false there) and its later releases do nothing to the parent's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "result.h"
#include "storage/file.h"

namespace varnel::storage {

// Why acquire failed.
struct LockFailure {
  enum class Stage : uint8_t {
    kOpen,   // taking the directory's identity or a descriptor of it failed: cause
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
  // Takes the lock on the directory `dir` reaches (through a descriptor of
  // its own; `dir` is only borrowed), or joins this process's holding of it.
  // Never waits: a lock held elsewhere is refused at once.
  static Result<WriterLock, LockFailure> acquire(const Directory& dir);

  WriterLock(WriterLock&& other) noexcept : holding_(other.holding_) { other.holding_ = nullptr; }
  WriterLock& operator=(WriterLock&& other) noexcept;
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  ~WriterLock() { release(); }

  // How many handles of this process share the holding (tests).
  size_t holders() const;
  // Whether the lock is this process's: false when moved from, and in a
  // child forked after the lock was taken.
  bool owned_by_this_process() const;

  struct Holding;  // the descriptor and its count, defined in the .cc

 private:
  explicit WriterLock(Holding* holding) : holding_(holding) {}
  void release();

  Holding* holding_ = nullptr;  // shared with the process's other handles; null when moved from
};

}  // namespace varnel::storage
