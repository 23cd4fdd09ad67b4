// Micro-benchmark of the exact search: one query and batches of queries over
// rows x dim stored vectors (1,000,000 x 128 by default), per kernel path and
// metric, next to a plain sequential read of the same number of bytes.
// Built only with -DVARNEL_BENCH=ON. Timings on a shared machine are noisy:
// each figure is the best of several runs, with the median beside it.
//
//   kernels_bench [rows] [dim] [batch] [only]
// `only` keeps the runs whose "Metric/path" name contains it, e.g. "Dot" or
// "/avx512".
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "distance.h"
#include "index/brute_force.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this thread: on a shared machine it leaves out the time the
// thread waited for a core, which wall time does not.
double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
  double best = 0;    // wall
  double median = 0;  // wall
  double cpu = 0;     // thread CPU time of the run with the least of it
};

template <typename Body>
Timing time_runs(int runs, Body body) {
  std::vector<double> t, cpu;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const double cpu_start = thread_seconds();
    body(i);
    cpu.push_back(thread_seconds() - cpu_start);
    t.push_back(seconds_since(start));
  }
  std::sort(t.begin(), t.end());
  return {t.front(), t[t.size() / 2], *std::min_element(cpu.begin(), cpu.end())};
}

// Reads every byte once, eight independent accumulators so that the loads,
// not the adds, set the pace. The result is printed so nothing is elided.
uint64_t sequential_read(const float* data, size_t count) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const size_t words = count * sizeof(float) / 8;
  uint64_t acc[8] = {};
  size_t i = 0;
  for (; i + 8 <= words; i += 8) {
    for (int j = 0; j < 8; ++j) {
      uint64_t w;
      std::memcpy(&w, p + (i + j) * 8, 8);
      acc[j] += w;
    }
  }
  uint64_t sum = 0;
  for (uint64_t a : acc) sum ^= a;
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const size_t batch = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 100;
  const std::string only = argc > 4 ? argv[4] : "";
  const size_t k = 10;
  const double bytes = static_cast<double>(rows) * dim * sizeof(float);
  std::printf("rows=%zu dim=%zu k=%zu batch=%zu data=%.0f MB best path=%s\n", rows, dim, k, batch,
              bytes / 1e6, std::string(varnel::kernel_path_name(varnel::best_kernel_path())).c_str());

  std::mt19937 rng(1);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> data(rows * dim);
  for (float& x : data) x = value(rng);
  std::vector<float> queries(batch * dim);
  for (float& x : queries) x = value(rng);

  uint64_t sink = 0;
  Timing read = time_runs(7, [&](int) { sink ^= sequential_read(data.data(), data.size()); });
  std::printf("%-20s read         %8.2f ms  (median %8.2f, cpu %8.2f)  %6.2f GB/s\n",
              "sequential", read.best * 1e3, read.median * 1e3, read.cpu * 1e3,
              bytes / read.best / 1e9);

  const varnel::KernelPath paths[] = {varnel::KernelPath::Avx512, varnel::KernelPath::Avx2,
                                      varnel::KernelPath::Portable};
  const varnel::DistanceMetric metrics[] = {varnel::DistanceMetric::Euclidean,
                                            varnel::DistanceMetric::DotProduct,
                                            varnel::DistanceMetric::Cosine};
  for (varnel::DistanceMetric metric : metrics) {
    for (varnel::KernelPath path : paths) {
      if (!varnel::kernel_path_supported(path)) continue;
      const std::string name = std::string(varnel::metric_name(metric)) + "/" +
                               std::string(varnel::kernel_path_name(path));
      if (name.find(only) == std::string::npos) continue;
      varnel::index::BruteForceIndex index(metric, dim, path);
      Timing insert = time_runs(1, [&](int) {
        for (size_t r = 0; r < rows; ++r) {
          varnel::Status s = index.insert(r, data.data() + r * dim, dim, varnel::Payload{});
          if (!s.ok()) std::abort();
        }
      });
      std::printf("%-20s insert       %8.2f ms  (cpu %8.2f)  %6.2f GB/s  (cpu %6.2f GB/s)\n",
                  name.c_str(), insert.best * 1e3, insert.cpu * 1e3, bytes / insert.best / 1e9,
                  bytes / insert.cpu / 1e9);

      const int singles = path == varnel::KernelPath::Portable ? 3 : 9;
      Timing one = time_runs(singles, [&](int i) {
        auto hits = index.search(queries.data() + (i % batch) * dim, dim, k);
        sink ^= hits.empty() ? 0 : hits[0].id;
      });
      std::printf("%-20s 1 query      %8.2f ms  (median %8.2f, cpu %8.2f)  %6.2f GB/s  %7.1f q/s\n",
                  name.c_str(), one.best * 1e3, one.median * 1e3, one.cpu * 1e3,
                  bytes / one.best / 1e9, 1.0 / one.best);

      Timing many = time_runs(3, [&](int) {
        auto all = index.search_batch(queries.data(), batch, dim, k);
        sink ^= all.back().empty() ? 0 : all.back()[0].id;
      });
      std::printf("%-20s %zu queries  %8.2f ms  (median %8.2f, cpu %8.2f)  %7.1f q/s  (cpu %7.1f q/s)\n",
                  name.c_str(), batch, many.best * 1e3, many.median * 1e3, many.cpu * 1e3,
                  batch / many.best, batch / many.cpu);
    }
  }
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sink));
  return 0;
}
