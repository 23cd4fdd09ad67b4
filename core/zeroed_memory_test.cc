#include "zeroed_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>

namespace varnel {
namespace {

// Heap-sized and mapped sizes alike: all zero, aligned, writable to the
// last byte, and handed over whole by a move.
class ZeroedSizes : public ::testing::TestWithParam<size_t> {};

TEST_P(ZeroedSizes, ZeroAlignedAndMovable) {
  const size_t bytes = GetParam();
  ZeroedMemory m(bytes);
  ASSERT_EQ(m.size(), bytes);
  const auto at = reinterpret_cast<uintptr_t>(m.get());
  EXPECT_EQ(at % 64, 0u);
  if (bytes >= kHugePageBytes) {
    EXPECT_EQ(at % kHugePageBytes, 0u);
  }
  const auto* p = static_cast<const unsigned char*>(m.get());
  for (size_t i = 0; i < bytes; i += 509) ASSERT_EQ(p[i], 0) << i;
  if (bytes > 0) {
    ASSERT_EQ(p[bytes - 1], 0);
    std::memset(m.get(), 0xAB, bytes);
  }

  ZeroedMemory moved(std::move(m));
  EXPECT_EQ(m.get(), nullptr);
  EXPECT_EQ(m.size(), 0u);
  EXPECT_EQ(moved.size(), bytes);
  if (bytes > 0) {
    EXPECT_EQ(static_cast<unsigned char*>(moved.get())[bytes - 1], 0xAB);
  }
  ZeroedMemory other(64);
  other = std::move(moved);  // frees the 64 bytes, takes the block
  EXPECT_EQ(other.size(), bytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZeroedSizes,
                         ::testing::Values(size_t{0}, size_t{1}, size_t{4096}, kHugePageBytes - 4,
                                           kHugePageBytes, kHugePageBytes * 3 + 100));

// Populating changes no byte: not the zeros of a fresh block, not what a
// thread writes while another populates the same memory.
TEST_P(ZeroedSizes, PopulateWritesNothing) {
  const size_t bytes = GetParam();
  ZeroedMemory m(bytes);
  auto* p = static_cast<unsigned char*>(m.get());
  populate_memory(p, bytes / 2);
  for (size_t i = 0; i < bytes; i += 509) ASSERT_EQ(p[i], 0) << i;
  std::thread other([&] { populate_memory(p + (bytes > 3 ? 3 : 0), bytes > 3 ? bytes - 3 : 0); });
  for (size_t i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(i * 7 + 1);
  other.join();
  populate_memory(p, bytes);
  for (size_t i = 0; i < bytes; ++i) ASSERT_EQ(p[i], static_cast<unsigned char>(i * 7 + 1)) << i;
}

}  // namespace
}  // namespace varnel
