#include "thread_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace varnel {
namespace {

// Every part runs exactly once; returns the per-part counts.
std::vector<int> run_counting(ThreadPool& pool, size_t n) {
  std::vector<std::atomic<int>> counts(n);
  pool.run(n, [&](size_t i) { counts[i].fetch_add(1); });
  std::vector<int> out;
  for (auto& c : counts) out.push_back(c.load());
  return out;
}

TEST(ThreadPool, EveryPartRunsOnceForEveryThreadCountAndSize) {
  for (size_t threads : {1, 2, 3, 4, 8}) {
    ThreadPool pool(threads);
    EXPECT_EQ(pool.threads(), threads);
    for (size_t n : {0, 1, 2, 3, 7, 64, 1000}) {
      for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(run_counting(pool, n), std::vector<int>(n, 1)) << threads << " " << n;
      }
    }
  }
}

TEST(ThreadPool, ZeroMeansEveryAvailableCpu) {
  ThreadPool pool(0);
  EXPECT_EQ(pool.threads(), available_cpus());
  EXPECT_GE(pool.threads(), 1u);
}

TEST(ThreadPool, UsesWorkerThreadsAndTheCaller) {
  ThreadPool pool(3);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  // Parts wait for each other, so they can only finish if three threads
  // run them at once (the caller being one of them).
  pool.run(3, [&](size_t) {
    const int now = inside.fetch_add(1) + 1;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    while (inside.load() < 3) std::this_thread::yield();
  });
  EXPECT_EQ(most.load(), 3);
}

TEST(ThreadPool, SeveralCallersAtOnceLoseNothing) {
  ThreadPool pool(3);
  std::atomic<uint64_t> total{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&] {
      for (int job = 0; job < 200; ++job) {
        pool.run(17, [&](size_t i) { total.fetch_add(i + 1); });
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(total.load(), uint64_t{6} * 200 * (17 * 18 / 2));
}

TEST(ThreadPool, RunFromInsideAPartCompletes) {
  ThreadPool pool(2);
  std::atomic<int> inner{0};
  pool.run(4, [&](size_t) { pool.run(5, [&](size_t) { inner.fetch_add(1); }); });
  EXPECT_EQ(inner.load(), 20);
}

// The child of a fork has none of the parent's workers; its pool must start
// its own, also when the fork came while another thread was mid-job.
TEST(ThreadPool, ForkedChildGetsWorkingPool) {
  ThreadPool pool(3);
  EXPECT_EQ(run_counting(pool, 50), std::vector<int>(50, 1));  // workers started
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) pool.run(8, [](size_t) { std::this_thread::yield(); });
  });
  for (int round = 0; round < 5; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool ok = true;
      for (int job = 0; job < 20 && ok; ++job) ok = run_counting(pool, 33) == std::vector<int>(33, 1);
      // The child's own workers run parts: three at once, as in the parent.
      std::atomic<int> inside{0};
      pool.run(3, [&](size_t) {
        inside.fetch_add(1);
        while (inside.load() < 3) std::this_thread::yield();
      });
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  stop.store(true);
  busy.join();
  EXPECT_EQ(run_counting(pool, 50), std::vector<int>(50, 1));  // the parent's pool still works
}

}  // namespace
}  // namespace varnel
