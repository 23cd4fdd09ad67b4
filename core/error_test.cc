#include "error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

namespace varnel {
namespace {

TEST(Error, MessagesByteForByte) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  struct Case {
    Error error;
    const char* want;
  } cases[] = {
      {Error::dimension_mismatch(3, 2), "dimension mismatch: expected 3, got 2"},
      {Error::duplicate_id(0), "duplicate vector id: 0"},
      {Error::duplicate_id(max), "duplicate vector id: 18446744073709551615"},
      {Error::not_found(max), "vector not found: 18446744073709551615"},
      {Error::invalid_filter("x"), "invalid filter: x"},
      {Error::payload(""), "payload error: "},
      {Error::empty_vector(), "empty vector not allowed"},
      {Error::io("failed to open WAL: boom"), "io error: failed to open WAL: boom"},
      {Error::wal_corrupted(""), "WAL corrupted: "},
      {Error::collection("write meta failed: x"), "collection error: write meta failed: x"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.want);
}

TEST(Error, KindsKeepTheirTagOrder) {
  EXPECT_EQ(static_cast<int>(Error::dimension_mismatch(1, 2).kind()), 0);
  EXPECT_EQ(static_cast<int>(Error::collection("").kind()), 8);
}

TEST(Error, OsErrorTextEndsWithNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
}

}  // namespace
}  // namespace varnel
