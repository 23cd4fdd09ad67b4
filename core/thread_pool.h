// ThreadPool: a fixed number of worker threads that run the parts of one
// job (fn(0) .. fn(n - 1)) together with the calling thread, for searches
// that split their rows or queries. It owns no tasks beyond the current job
// and does not order, cancel or time anything.
//
// Workers start at the first run() that needs them. A process forked while
// workers existed has none of them: the first run() in the child sees a
// different process id and starts workers of its own, leaving the parent's
// bookkeeping untouched (its locks may have been held at the fork).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>

namespace varnel {

class ThreadPool {
 public:
  // `threads` in all, the calling thread counted; 0 means one per CPU the
  // process may run on (its affinity mask), at least 1. Starts nothing.
  explicit ThreadPool(size_t threads = 0);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  size_t threads() const { return threads_; }

  // Runs fn(i) for every i in [0, n), each exactly once, on the workers and
  // the calling thread; returns when all have returned. n <= 1 or one
  // thread runs inline. Safe from several threads at once and from inside
  // fn: a run that finds the workers busy with another job runs its own
  // parts inline on its calling thread (same results, fewer threads).
  // fn must not throw.
  void run(size_t n, const std::function<void(size_t)>& fn);

 private:
  struct State;

  // The state of this process's workers, started when missing or when they
  // belong to the process this one was forked from.
  State* workers();
  static void stop_and_delete(State* state);  // joins its workers; this process's state only

  size_t threads_;                        // fixed at construction, >= 1
  std::atomic<State*> state_{nullptr};    // null until workers are needed
};

// The number of CPUs the process may run on (sched_getaffinity), at least 1.
size_t available_cpus();

}  // namespace varnel
