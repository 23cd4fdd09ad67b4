// Steady-state appends reuse their encoding buffers: no heap allocation per
// append, for the log and the data file alike. This binary counts every
// operator new of the process.
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "storage/data_file.h"
#include "storage/wal.h"
#include "storage_test_util.h"

namespace {
long g_allocations = 0;
}  // namespace

void* operator new(size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace varnel::storage {
namespace {

TEST(StorageAlloc, SteadyStateAppendsDoNotAllocate) {
  testing::TempDir dir;
  Wal wal = std::move(storage::testing::open_wal(dir / "wal.log", SyncPolicy::kBatch)).value();
  DataFile data = std::move(storage::testing::open_data_file(dir / "data.vnl")).value();
  std::vector<float> v(128, 0.125f);
  const Payload empty;
  // Warm up: the buffers reach the size of the longest frame and record.
  for (int i = 0; i < 100; ++i) {
    v[i % 128] = -1.2345678e-20f;
    ASSERT_TRUE(wal.append(WalEntryKind::kInsert, i, v.data(), v.size(), empty).ok());
    ASSERT_TRUE(data.append(i, v.data(), v.size(), empty).ok());
  }
  const long before = g_allocations;
  for (int i = 0; i < 5000; ++i) {
    v[i % 128] = static_cast<float>(i) * 0.37f;
    ASSERT_TRUE(wal.append(WalEntryKind::kInsert, i, v.data(), v.size(), empty).ok());
    ASSERT_TRUE(data.append(i, v.data(), v.size(), empty).ok());
  }
  EXPECT_EQ(g_allocations - before, 0);
}

}  // namespace
}  // namespace varnel::storage
