// By-hand check, outside the test suites (it takes minutes): every float32
// bit pattern through each wide float text path this CPU supports, against
// the portable path (json::write_f32 in a loop). Patterns are visited in a
// scrambled order (i * an odd constant, a bijection of 2^32), so each list
// mixes signs, exponents and digit counts the way real vectors do.
//   g++ -std=c++20 -O2 -Icore bench/f32_text_check.cc build/<dir>/libvarnel_core.a -lpthread
//       -o f32_text_check   (one command line)
//   nice -n 19 ./f32_text_check [threads, default 2] [patterns, default 2^32]
// Prints each mismatch (at most 20) and a summary; exit status 1 on any.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "float_text_simd.h"
#include "json.h"

using namespace varnel;

namespace {

constexpr uint32_t kScramble = 0x9E3779B1u;  // odd: i -> i * k is a bijection
constexpr size_t kChunk = 4099;              // not a multiple of a lane count

std::atomic<uint64_t> g_next{0};
std::atomic<uint64_t> g_mismatches{0};
std::mutex g_print;

float from_bits(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

std::string one(KernelPath path, float v) {
  char buf[json::kMaxF32Chars];
  return std::string(buf, write_f32_list(path, buf, &v, 1));
}

void report(KernelPath path, const std::vector<float>& xs) {
  for (float x : xs) {
    char want[json::kMaxF32Chars];
    const std::string w(want, json::write_f32(want, x));
    const std::string got = one(path, x);
    if (got != w) {
      uint32_t b;
      std::memcpy(&b, &x, sizeof b);
      std::lock_guard<std::mutex> lock(g_print);
      std::printf("%s: bits 0x%08" PRIx32 " gives \"%s\", want \"%s\"\n",
                  std::string(kernel_path_name(path)).c_str(), b, got.c_str(), w.c_str());
      return;
    }
  }
  std::lock_guard<std::mutex> lock(g_print);
  std::printf("%s: a list differs though every value alone matches\n",
              std::string(kernel_path_name(path)).c_str());
}

void worker(uint64_t total, const std::vector<KernelPath>& paths) {
  std::vector<float> xs(kChunk);
  std::vector<char> want(kChunk * json::kMaxF32Chars);
  std::vector<char> got(kChunk * json::kMaxF32Chars);
  for (;;) {
    const uint64_t first = g_next.fetch_add(kChunk);
    if (first >= total) return;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, total - first));
    xs.resize(n);
    for (size_t i = 0; i < n; ++i) xs[i] = from_bits(static_cast<uint32_t>(first + i) * kScramble);
    const size_t wn = write_f32_list(KernelPath::Portable, want.data(), xs.data(), n) - want.data();
    for (KernelPath path : paths) {
      const size_t gn = write_f32_list(path, got.data(), xs.data(), n) - got.data();
      if (gn != wn || std::memcmp(got.data(), want.data(), wn) != 0) {
        if (g_mismatches.fetch_add(1) < 20) report(path, xs);
      }
    }
    if ((first / kChunk) % (1u << 16) == 0) {
      std::lock_guard<std::mutex> lock(g_print);
      std::printf("%.1f%%\n", 100.0 * first / total);
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 2;
  const uint64_t total = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : uint64_t{1} << 32;
  std::vector<KernelPath> paths;
  for (KernelPath p : {KernelPath::Avx2, KernelPath::Avx512}) {
    if (f32_text_path_supported(p)) paths.push_back(p);
  }
  std::printf("checking %" PRIu64 " patterns on", total);
  for (KernelPath p : paths) std::printf(" %s", std::string(kernel_path_name(p)).c_str());
  std::printf(" against portable, %d threads\n", threads);
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back(worker, total, std::cref(paths));
  for (std::thread& t : pool) t.join();
  const uint64_t bad = g_mismatches.load();
  std::printf("%s: %" PRIu64 " lists of %zu differed\n", bad == 0 ? "all equal" : "MISMATCH", bad,
              kChunk);
  return bad == 0 ? 0 : 1;
}
