// Open benchmark: how long Collection::open_or_create takes to rebuild a large
// collection from its data file, against reading that file straight through,
// and how much memory the opening process needs. Every measurement runs in a
// fresh process (this program runs itself again), page cache warm.
//
//   g++ -std=c++20 -O2 -Icore bench/open_bench.cc build/<dir>/libvarnel_core.a -lz -o open_bench
//   ./open_bench /tmp/open-1m 1000000 128 [runs=3] [euclidean|cosine] [threads=1]
//
// The directory is made on the first run (random vectors, ids 0..n-1, empty
// payloads, data file flushed, empty log) and reused afterwards. Printed: the
// best of `runs` for each measurement, and the peak resident memory of the
// opening process minus that of a process that opened nothing, over the
// vectors' own size (n * d * 4 bytes). With threads > 1 the open gets a pool
// of that many threads.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "collection.h"
#include "storage/file.h"
#include "thread_pool.h"

using namespace varnel;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long peak_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

DistanceMetric metric_of(const std::string& name) {
  return name == "cosine" ? DistanceMetric::Cosine : DistanceMetric::Euclidean;
}

int build(const std::string& dir, size_t n, size_t d, const std::string& metric) {
  auto made = Collection::open_or_create(dir, {d, metric_of(metric)});
  if (!made.ok()) return std::fprintf(stderr, "%s\n", made.error().message().c_str()), 1;
  made.value().reset();
  auto file = storage::DataFile::open(storage::Directory::open(dir).value(), kDataFileName,
                                      static_cast<uint32_t>(d));
  if (!file.ok()) return 1;
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(d);
  const Payload empty;
  for (size_t i = 0; i < n; ++i) {
    for (float& x : v) x = u(rng);
    if (!file.value().append(i, v.data(), d, empty).ok()) return 1;
  }
  return file.value().flush().ok() ? 0 : 1;
}

// One measurement in this process; prints "seconds peak_kib".
int measure(const std::string& what, const std::string& dir, size_t d, const std::string& metric,
            size_t threads) {
  double seconds = 0;
  if (what == "open") {
    ThreadPool pool(threads);
    const double t0 = now();
    auto c = Collection::open_or_create(dir, {d, metric_of(metric)}, threads > 1 ? &pool : nullptr);
    seconds = now() - t0;
    if (!c.ok()) return std::fprintf(stderr, "%s\n", c.error().message().c_str()), 1;
  } else if (what == "read") {
    auto file = storage::File::open(dir + "/" + kDataFileName, storage::OpenMode::kReadOnly);
    if (!file.ok()) return 1;
    std::vector<char> buf(storage::kScanReadBufferBytes);
    const double t0 = now();
    for (;;) {
      auto got = file.value().read_some(buf.data(), buf.size());
      if (!got.ok()) return 1;
      if (got.value() == 0) break;
    }
    seconds = now() - t0;
  }
  std::printf("%.6f %ld\n", seconds, peak_kib());
  return 0;
}

// Runs this program again for one measurement; gives seconds and peak KiB.
bool child(const char* self, const std::string& what, const std::string& dir, size_t d,
           const std::string& metric, size_t threads, double* seconds, long* kib) {
  const std::string cmd = std::string(self) + " --measure " + what + " " + dir + " " +
                          std::to_string(d) + " " + metric + " " + std::to_string(threads);
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return false;
  const int got = std::fscanf(p, "%lf %ld", seconds, kib);
  return ::pclose(p) == 0 && got == 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--measure") {
    return measure(argv[2], argv[3], std::stoul(argv[4]), argv[5], std::stoul(argv[6]));
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DIR N D [RUNS] [euclidean|cosine] [THREADS]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const size_t n = std::stoul(argv[2]);
  const size_t d = std::stoul(argv[3]);
  const int runs = argc > 4 ? std::atoi(argv[4]) : 3;
  const std::string metric = argc > 5 ? argv[5] : "euclidean";
  const size_t threads = argc > 6 ? std::stoul(argv[6]) : 1;
  if (!storage::path_exists(dir) && build(dir, n, d, metric) != 0) return 1;

  double best[3] = {1e9, 1e9, 1e9};
  long kib[3] = {0, 0, 0};
  const char* what[3] = {"read", "open", "none"};
  for (int r = 0; r < runs; ++r) {
    for (int w = 0; w < 3; ++w) {
      double s = 0;
      long k = 0;
      if (!child(argv[0], what[w], dir, d, metric, threads, &s, &k)) return 1;
      best[w] = std::min(best[w], s);
      kib[w] = std::max(kib[w], k);
    }
  }
  const double vectors_kib = static_cast<double>(n) * d * 4 / 1024;
  std::printf("streamed read of the data file  %.4f s\n", best[0]);
  std::printf("open                            %.4f s  (%.2fx the read)\n", best[1],
              best[1] / best[0]);
  std::printf("peak memory of the open         %ld KiB over a bare process = %.3fx the vectors\n",
              kib[1] - kib[2], (kib[1] - kib[2]) / vectors_kib);
  return 0;
}
