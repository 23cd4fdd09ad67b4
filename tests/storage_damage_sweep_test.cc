// One damaged length is not a torn tail. Every bit of the header fields of
// every frame of a small log and of every record of a small data file is
// flipped in turn; each damaged file must read whole and correct or be
// refused, and may come back short only when the damaged item is the last
// one and the read calls it torn (nothing valid follows it).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coding.h"
#include "storage/data_file.h"
#include "storage/wal.h"
#include "storage_test_util.h"

namespace varnel::storage {
namespace {

using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;

constexpr size_t kItems = 4;
constexpr uint32_t kDim = 3;

Payload payload_of(uint64_t i) {
  Payload p;
  if (i % 2 == 1) p.data["n"] = i;
  return p;
}

// The byte offsets at which the items of `bytes` start, given each item's length.
template <typename LengthAt>
std::vector<size_t> starts(const std::string& bytes, LengthAt length_at) {
  std::vector<size_t> out;
  for (size_t at = 0; at < bytes.size(); at += length_at(at)) out.push_back(at);
  return out;
}

// A header field of every item: its place in the item and its bits to flip.
struct Field {
  const char* name;
  size_t offset;  // in the item; for data records past the vector, counted from its end
  size_t bytes;
  unsigned first_bit = 0;  // the marker's bit 0 turns a live record into a deleted one
};

enum class Outcome { kWhole, kRefused, kTornLast, kLost };

const char* outcome_name(Outcome o) {
  switch (o) {
    case Outcome::kWhole: return "whole";
    case Outcome::kRefused: return "refused";
    case Outcome::kTornLast: return "torn last";
    case Outcome::kLost: return "LOST ENTRIES";
  }
  return "";
}

class WalSweep : public ::testing::TestWithParam<Field> {};

TEST_P(WalSweep, EveryFlipReadsWholeOrIsRefused) {
  const Field& field = GetParam();
  TempDir dir;
  {
    Result<Wal> w = testing::open_wal(dir / "wal.log", SyncPolicy::kManual);
    ASSERT_TRUE(w.ok());
    for (uint64_t i = 0; i < kItems; ++i) {
      const std::vector<float> v(kDim, float(i));
      ASSERT_TRUE(w.value().append(WalEntryKind::kInsert, i, v.data(), v.size(), payload_of(i)).ok());
    }
    ASSERT_TRUE(w.value().sync().ok());
  }
  const std::string good = read_bytes(dir / "wal.log");
  const std::vector<size_t> frames = starts(good, [&](size_t at) {
    return kFrameHeaderBytes + get_u32_le(reinterpret_cast<const unsigned char*>(good.data()) + at + 4);
  });
  ASSERT_EQ(frames.size(), kItems);
  size_t damaged_lengths = 0;
  for (size_t f = 0; f < frames.size(); ++f) {
    for (size_t bit = field.first_bit; bit < 8 * field.bytes; ++bit) {
      std::string bad = good;
      bad[frames[f] + field.offset + bit / 8] ^= static_cast<char>(1u << (bit % 8));
      write_bytes(dir / "wal.log", bad);
      std::vector<uint64_t> ids;
      WalReadEnd end;
      Status s = testing::read_wal(dir / "wal.log", [&](WalEntry& e) {
        ids.push_back(e.id);
        return Status{};
      }, &end);
      Outcome got = Outcome::kLost;
      if (s.ok() && ids.size() == kItems) got = Outcome::kWhole;
      if (!s.ok() && !end.torn_tail) got = Outcome::kRefused;
      if (end.torn_tail && f + 1 == frames.size() && ids.size() == f) got = Outcome::kTornLast;
      EXPECT_NE(got, Outcome::kLost) << "frame " << f << " bit " << bit << ": "
                                     << (s.ok() ? "ok" : s.error().message()) << ", "
                                     << ids.size() << " entries";
      // A length that runs past the end with frames after it names its frame.
      const std::string damaged = "WAL corrupted: damaged frame at offset ";
      if (!s.ok() && s.error().message().starts_with(damaged)) {
        ++damaged_lengths;
        EXPECT_TRUE(s.error().message().starts_with(damaged + std::to_string(frames[f]) + ":"))
            << s.error().message();
      }
    }
  }
  // High bits of a length push it past the end of every frame but the last.
  if (field.offset == 4) EXPECT_GT(damaged_lengths, 0u);
}

INSTANTIATE_TEST_SUITE_P(Fields, WalSweep,
                         ::testing::Values(Field{"checksum", 0, 4}, Field{"length", 4, 4}),
                         [](const ::testing::TestParamInfo<Field>& i) {
                           return std::string(i.param.name);
                         });

class DataSweep : public ::testing::TestWithParam<Field> {};

TEST_P(DataSweep, EveryFlipReadsWholeOrIsRefused) {
  const Field& field = GetParam();
  TempDir dir;
  {
    Result<DataFile> f = testing::open_data_file(dir / "data.vnl", kDim);
    ASSERT_TRUE(f.ok());
    for (uint64_t i = 0; i < kItems; ++i) {
      ASSERT_TRUE(f.value().append(i, std::vector<float>(kDim, float(i)), payload_of(i)).ok());
    }
    ASSERT_TRUE(f.value().flush().ok());
  }
  const std::string good = read_bytes(dir / "data.vnl");
  const size_t vector_end = 13 + 4 * kDim;
  const std::vector<size_t> records = starts(good, [&](size_t at) {
    return vector_end + 4 +
           get_u32_le(reinterpret_cast<const unsigned char*>(good.data()) + at + vector_end);
  });
  ASSERT_EQ(records.size(), kItems);
  const size_t in_record = field.offset == SIZE_MAX ? vector_end : field.offset;
  for (size_t r = 0; r < records.size(); ++r) {
    for (size_t bit = field.first_bit; bit < 8 * field.bytes; ++bit) {
      std::string bad = good;
      bad[records[r] + in_record + bit / 8] ^= static_cast<char>(1u << (bit % 8));
      write_bytes(dir / "data.vnl", bad);
      Result<DataFile> f = testing::open_data_file(dir / "data.vnl", kDim);
      ASSERT_TRUE(f.ok());
      DataScanEnd end;
      Result<std::vector<DataRecord>> all = f.value().iter_active(&end);
      ASSERT_TRUE(all.ok());
      const size_t n = all.value().size();
      Outcome got = Outcome::kLost;
      if (!end.error.has_value() && n == kItems) got = Outcome::kWhole;
      if (end.error.has_value() && !end.torn_tail) got = Outcome::kRefused;
      if (end.torn_tail && r + 1 == records.size() && n == r && end.stop_offset == records[r]) {
        got = Outcome::kTornLast;
      }
      EXPECT_NE(got, Outcome::kLost)
          << "record " << r << " bit " << bit << ": " << n << " records, torn " << end.torn_tail
          << ", " << (end.error ? end.error->message() : "no error");
      if (got == Outcome::kWhole) {
        for (uint64_t i = 0; i < kItems; ++i) EXPECT_EQ(all.value()[i].id, i);
      }
      if (got == Outcome::kRefused) EXPECT_EQ(end.stop_offset, records[r]) << outcome_name(got);
    }
  }
}

// The id has no check: a flipped id reads as another id, which no reader
// can tell. The marker's bit 0 is a deletion, which is what it means.
INSTANTIATE_TEST_SUITE_P(Fields, DataSweep,
                         ::testing::Values(Field{"deleted", 0, 1, 1}, Field{"dim", 9, 4},
                                           Field{"payload_len", SIZE_MAX, 4}),
                         [](const ::testing::TestParamInfo<Field>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
}  // namespace varnel::storage
