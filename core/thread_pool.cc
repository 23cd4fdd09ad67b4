#include "thread_pool.h"

#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace varnel {

size_t available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

// One job at a time: `busy` is held by the thread whose job it is, from
// publishing the job until every worker has left it. Parts are claimed
// from `next`, so a part runs exactly once whoever takes it.
struct ThreadPool::State {
  pid_t pid = 0;  // the process whose threads `workers` are
  std::mutex busy;
  std::mutex m;
  std::condition_variable wake;   // a new job, or stop
  std::condition_variable done;   // a worker left the job
  std::vector<std::thread> workers;
  const std::function<void(size_t)>* fn = nullptr;  // the job; valid while busy is held
  size_t n = 0;
  std::atomic<size_t> next{0};
  size_t in_job = 0;          // workers that have not yet left the current job
  uint64_t generation = 0;    // counts jobs; a worker runs each one once
  bool stop = false;

  void claim_parts() {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) (*fn)(i);
  }

  void work() {
    uint64_t seen = 0;
    std::unique_lock lock(m);
    for (;;) {
      wake.wait(lock, [&] { return stop || generation != seen; });
      if (stop) return;
      seen = generation;
      lock.unlock();
      claim_parts();
      lock.lock();
      if (--in_job == 0) done.notify_one();
    }
  }
};

ThreadPool::ThreadPool(size_t threads) : threads_(threads == 0 ? available_cpus() : threads) {}

ThreadPool::~ThreadPool() {
  State* state = state_.load();
  if (state == nullptr) return;
  // Workers of another process cannot be joined from here, and the state's
  // locks may have been held when this process was forked: left as it is.
  if (state->pid != getpid()) return;
  stop_and_delete(state);
}

void ThreadPool::stop_and_delete(State* state) {
  {
    std::lock_guard lock(state->m);
    state->stop = true;
  }
  state->wake.notify_all();
  for (std::thread& t : state->workers) t.join();
  delete state;
}

ThreadPool::State* ThreadPool::workers() {
  const pid_t pid = getpid();
  State* state = state_.load(std::memory_order_acquire);
  while (state == nullptr || state->pid != pid) {
    // Built whole before it is published, so no run() sees it half made.
    auto fresh = new State;
    fresh->pid = pid;
    fresh->workers.reserve(threads_ - 1);
    for (size_t t = 1; t < threads_; ++t) fresh->workers.emplace_back([fresh] { fresh->work(); });
    // A state of the parent process is left behind on purpose (see the
    // destructor).
    if (state_.compare_exchange_strong(state, fresh, std::memory_order_acq_rel)) return fresh;
    stop_and_delete(fresh);  // another thread won the race
  }
  return state;
}

void ThreadPool::run(size_t n, const std::function<void(size_t)>& fn) {
  if (n == 0) return;
  auto inline_all = [&] {
    for (size_t i = 0; i < n; ++i) fn(i);
  };
  if (n == 1 || threads_ == 1) return inline_all();
  State* state = workers();
  std::unique_lock busy(state->busy, std::try_to_lock);
  if (!busy.owns_lock()) return inline_all();
  {
    std::lock_guard lock(state->m);
    state->fn = &fn;
    state->n = n;
    state->next.store(0, std::memory_order_relaxed);
    state->in_job = state->workers.size();
    ++state->generation;
  }
  state->wake.notify_all();
  state->claim_parts();
  std::unique_lock lock(state->m);
  state->done.wait(lock, [&] { return state->in_job == 0; });
  state->fn = nullptr;
}

}  // namespace varnel
