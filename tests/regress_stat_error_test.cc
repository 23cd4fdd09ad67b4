// Regression: a stat that failed for a reason other than "no such file"
// (EIO, EACCES, ENOMEM) made a log look empty and meta.json look absent.
// An open after a crash then skipped every synced insert still in the log
// (and the next flush emptied it for good), or took an existing collection
// for a new one and rewrote its meta.json with whatever dimension it was
// asked for. Now only a missing file counts as absent; any other failure is
// reported.
#include <errno.h>
#include <gtest/gtest.h>

#include "reliability_util.h"
#include "storage_test_util.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using storage::FaultDecision;
using storage::FileOp;
using storage::testing::read_bytes;
using storage::testing::ScriptedFaults;
using storage::testing::write_bytes;
using testing::batch_config;
using testing::ScratchDir;
using testing::vector_of;

// 100 inserts: the log is synced, the data file never is; then a crash
// that lost the data file's unsynced records.
void synced_log_lost_data(const fs::path& dir) {
  {
    auto c = Collection::open_or_create(dir, batch_config());
    ASSERT_TRUE(c.ok());
    for (uint64_t id = 0; id < 100; ++id) ASSERT_TRUE(c.value()->insert(id, vector_of(id), {}).ok());
  }
  write_bytes(dir / kDataFileName, "");
}

ScriptedFaults::Script fail_every_stat(int err) {
  return [err](FileOp op, int) {
    return op == FileOp::kStat ? FaultDecision{err, SIZE_MAX} : FaultDecision{};
  };
}

class RegressStatError : public ::testing::TestWithParam<int> {};

TEST_P(RegressStatError, LogIsNotTakenForEmpty) {
  ScratchDir tmp;
  const fs::path dir = tmp.path() / "c";
  synced_log_lost_data(dir);
  const std::string log = read_bytes(dir / kWalFileName);
  {
    ScriptedFaults faults(fail_every_stat(GetParam()));
    auto c = Collection::open_or_create(dir, batch_config());
    if (c.ok()) {
      EXPECT_EQ(c.value()->len(), 100u) << "the synced log was skipped";
    } else {
      EXPECT_NE(c.error().message().find(os_error_text(GetParam())), std::string::npos)
          << c.error().message();
    }
  }
  EXPECT_EQ(read_bytes(dir / kWalFileName).substr(0, log.size()), log);
  auto c = Collection::open_or_create(dir, batch_config());
  ASSERT_TRUE(c.ok()) << c.error().message();
  EXPECT_EQ(c.value()->len(), 100u);
}

TEST_P(RegressStatError, ExistingCollectionIsNotTakenForNew) {
  ScratchDir tmp;
  const fs::path dir = tmp.path() / "c";
  synced_log_lost_data(dir);
  const std::string meta = read_bytes(dir / kMetaFileName);
  CollectionConfig other = batch_config();
  other.dimension = testing::kDim + 1;
  {
    ScriptedFaults faults(fail_every_stat(GetParam()));
    auto c = Collection::open_or_create(dir, other);
    ASSERT_FALSE(c.ok()) << "opened with another dimension";
    EXPECT_EQ(c.error().message(), "collection error: read meta failed: " + os_error_text(GetParam()));
  }
  EXPECT_EQ(read_bytes(dir / kMetaFileName), meta);
}

INSTANTIATE_TEST_SUITE_P(Errnos, RegressStatError, ::testing::Values(EIO, EACCES, ENOMEM));

TEST(RegressStatError, MissingFilesStillMeanNew) {
  ScratchDir tmp;
  const fs::path dir = tmp.path() / "a" / "b";
  auto c = Collection::open_or_create(dir, batch_config());
  ASSERT_TRUE(c.ok()) << c.error().message();
  EXPECT_EQ(c.value()->len(), 0u);
  EXPECT_TRUE(fs::exists(dir / kMetaFileName));
}

}  // namespace
}  // namespace varnel
