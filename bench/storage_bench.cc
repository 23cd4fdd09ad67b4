// Storage timings, outside the test suites (machines are noisy). Builds by
// hand against the core library:
//   g++ -std=c++20 -O2 -ffp-contract=off -Icore bench/storage_bench.cc
//       build/<dir>/libvarnel_core.a -lz -o storage_bench   (one command line)
//   ./storage_bench <scratch dir> [data MiB, default 1024] [log appends, default 1000000]
// Measures: data-file appends, a scan of the data file (from the page cache)
// next to a plain sequential read of the same file, the old per-record
// read_at walk on a slice, the float32 text writer against to_chars and as
// d=128 lists on each SIMD path (float_text_simd), the
// cost of one fsync on this disk, log appends of d=128 vectors per sync
// policy, and Collection::insert of d=128 vectors under the batch policy.
// A data size of 0 skips the data-file part.
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "collection.h"
#include "float_text.h"
#include "float_text_simd.h"
#include "storage/data_file.h"
#include "storage/wal.h"

using namespace varnel;
using namespace varnel::storage;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double read_loop(const std::string& path, size_t chunk) {
  std::vector<char> buf(chunk);
  const double t0 = now();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  size_t total = 0;
  for (ssize_t r; (r = ::read(fd, buf.data(), buf.size())) > 0;) total += size_t(r);
  ::close(fd);
  const double t = now() - t0;
  if (total == 0) std::printf("read nothing\n");
  return t;
}

double cat_to_null(const std::string& path) {
  const double t0 = now();
  const std::string cmd = "cat '" + path + "' > /dev/null";
  if (std::system(cmd.c_str()) != 0) std::printf("cat failed\n");
  return now() - t0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <scratch dir> [data MiB] [log appends]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const size_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  const size_t log_appends = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1000000;
  std::filesystem::create_directories(dir);
  const size_t d = 128;
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  std::vector<float> v(d);

  // ---- data file
  const std::filesystem::path data = dir / "data.vnl";
  if (mib > 0) {
  std::filesystem::remove(data);
  const size_t record = 17 + 4 * d + 11;
  const size_t records = mib * 1024 * 1024 / record;
  {
    DataFile f = std::move(DataFile::open(Directory::open(dir).value(), "data.vnl", uint32_t(d))).value();
    for (float& x : v) x = uni(rng);
    const double t0 = now();
    for (size_t i = 0; i < records; ++i) {
      v[i % d] = float(i);
      if (!f.append(i, v.data(), d, Payload{}).ok()) return 1;
    }
    if (!f.flush().ok()) return 1;
    const double t = now() - t0;
    std::printf("data append+flush: %zu records of d=%zu (%.0f MiB) in %.3f s: %.0f records/s\n",
                records, d, records * record / 1048576.0, t, records / t);
  }
  const std::string data_path = data.string();
  read_loop(data_path, 1 << 20);  // warm the page cache
  for (int round = 0; round < 3; ++round) {
    const double t_cat = cat_to_null(data_path);
    const double t_read = read_loop(data_path, 1 << 20);
    DataFile f = std::move(DataFile::open(Directory::open(dir).value(), "data.vnl", uint32_t(d))).value();
    double t0 = now();
    size_t n = 0;
    uint64_t sum = 0;
    Status s = f.for_each_active([&](DataRecord& r) {
      ++n;
      sum += r.id;
      return Status{};
    });
    const double t_stream = now() - t0;
    t0 = now();
    Result<std::vector<DataRecord>> all = f.iter_active();
    const double t_iter = now() - t0;
    if (!s.ok() || !all.ok() || n != records || all.value().size() != records) return 1;
    std::printf(
        "round %d: cat %.3f s | read loop (1 MiB) %.3f s | for_each_active %.3f s | "
        "iter_active (gathers all) %.3f s | %.2f GB/s streamed\n",
        round, t_cat, t_read, t_stream, t_iter, records * record / t_stream / 1e9);
    (void)sum;
  }
  {
    // The per-record walk the scan replaced: one open and one 8 KiB buffer per record.
    DataFile f = std::move(DataFile::open(Directory::open(dir).value(), "data.vnl", uint32_t(d))).value();
    const size_t slice = std::min<size_t>(records, 200000);
    const double t0 = now();
    for (size_t i = 0; i < slice; ++i) {
      if (!f.read_at(i * record).ok()) return 1;
    }
    const double t = now() - t0;
    std::printf("read_at walk: %zu records in %.3f s (%.3f s per GiB at this rate)\n", slice, t,
                t / (slice * record) * 1073741824.0);
  }
  std::filesystem::remove(data);
  }

  // ---- the float32 writer alone, on normally distributed components: one
  // value at a time, then whole d=128 vectors as comma-separated lists on
  // each path this CPU has
  {
    std::normal_distribution<float> normal;
    std::vector<float> xs(1 << 20);
    for (float& x : xs) x = normal(rng);
    char text[64];
    size_t chars = 0;
    double t0 = now();
    for (float x : xs) chars += write_f32(text, x) - text;
    const double t_ours = now() - t0;
    t0 = now();
    for (float x : xs) {
      chars += std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr - text;
    }
    const double t_std = now() - t0;
    std::printf("float32 text: write_f32 %.1f ns per component, to_chars (scientific) %.1f ns%s\n",
                t_ours / xs.size() * 1e9, t_std / xs.size() * 1e9, chars == 0 ? " " : "");
    std::vector<char> list(d * kMaxF32Chars);
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512}) {
      if (!f32_text_path_supported(path)) continue;
      t0 = now();
      for (size_t i = 0; i + d <= xs.size(); i += d) {
        chars += write_f32_list(path, list.data(), xs.data() + i, d) - list.data();
      }
      const double t = now() - t0;
      std::printf("float32 list of %zu, %s: %.2f ns per component%s\n", d,
                  std::string(kernel_path_name(path)).c_str(), t / xs.size() * 1e9,
                  chars == 0 ? " " : "");
    }
  }

  // ---- one fsync after a batch's worth of log bytes (100 frames of d=128)
  {
    const std::filesystem::path probe = dir / "fsync_probe";
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0666);
    std::vector<char> bytes(150000, 'x');
    double t_sync = 0;
    const int rounds = 200;
    for (int i = 0; i < rounds; ++i) {
      if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 1;
      const double t0 = now();
      if (::fsync(fd) != 0) return 1;
      t_sync += now() - t0;
    }
    ::close(fd);
    std::filesystem::remove(probe);
    std::printf("fsync after a 150 KB append: %.3f ms per call\n", t_sync / rounds * 1e3);
  }

  // ---- log: the CPU part alone (encode into a reused buffer, CRC), then appends
  {
    std::string buf;
    size_t bytes = 0;
    const size_t n = 200000;
    double t0 = now();
    for (size_t i = 0; i < n; ++i) {
      v[i % d] = uni(rng);
      buf.clear();
      if (!encode_wal_entry(buf, WalEntryKind::kInsert, i, v, Payload{}).ok()) return 1;
      bytes += buf.size();
    }
    const double t_enc = now() - t0;
    t0 = now();
    uint32_t c = 0;
    for (size_t i = 0; i < n; ++i) c ^= uint32_t(::crc32(0, reinterpret_cast<const unsigned char*>(buf.data()), buf.size()));
    const double t_crc = now() - t0;
    std::printf("log entry encode d=%zu: %.0f entries/s (%.0f bytes each); crc32 of one: %.0f/s%s\n", d,
                n / t_enc, double(bytes) / n, n / t_crc, c == 1 ? " " : "");
  }
  for (SyncPolicy policy : {SyncPolicy::kManual, SyncPolicy::kBatch}) {
    const std::filesystem::path log = dir / "wal.log";
    std::filesystem::remove(log);
    Wal w = std::move(Wal::open(Directory::open(dir).value(), "wal.log", policy)).value();
    const size_t n = policy == SyncPolicy::kBatch ? std::min<size_t>(log_appends, 200000) : log_appends;
    for (float& x : v) x = uni(rng);
    const double t0 = now();
    for (size_t i = 0; i < n; ++i) {
      v[i % d] = uni(rng);
      if (!w.append(WalEntryKind::kInsert, i, v.data(), d, Payload{}).ok()) return 1;
    }
    if (!w.sync().ok()) return 1;
    const double t = now() - t0;
    std::printf("log append d=%zu %s: %zu appends in %.3f s: %.0f appends/s (%.0f MiB)\n", d,
                policy == SyncPolicy::kManual ? "Manual" : "Batch (fsync per 100)", n, t, n / t,
                std::filesystem::file_size(log) / 1048576.0);
    double r0 = now();
    size_t got = 0;
    Status s = w.read_each([&got](WalEntry&) {
      ++got;
      return Status{};
    });
    if (!s.ok() || got != n) return 1;
    std::printf("  read_each of that log: %.3f s\n", now() - r0);
    std::filesystem::remove(log);
  }

  // ---- Collection::insert, d=128, batch policy: log, data file, index
  {
    const size_t n = std::min<size_t>(log_appends, 200000);
    std::normal_distribution<float> normal;
    std::vector<float> xs(n * d);
    for (float& x : xs) x = normal(rng);
    const std::filesystem::path cdir = dir / "collection";
    std::filesystem::remove_all(cdir);
    CollectionConfig config;
    config.dimension = d;
    config.wal_sync = SyncPolicy::kBatch;
    Result<std::shared_ptr<Collection>> c = Collection::open_or_create(cdir, config);
    if (!c.ok()) return 1;
    const double t0 = now();
    for (size_t i = 0; i < n; ++i) {
      if (!c.value()->insert(i + 1, xs.data() + i * d, d, Payload{}).ok()) return 1;
    }
    const double t1 = now();
    if (!c.value()->flush().ok()) return 1;
    std::printf("Collection::insert d=%zu Batch: %zu in %.3f s: %.0f inserts/s (flush %.3f s)\n", d,
                n, t1 - t0, n / (t1 - t0), now() - t1);
    c.value().reset();
    std::filesystem::remove_all(cdir);
  }
  return 0;
}
