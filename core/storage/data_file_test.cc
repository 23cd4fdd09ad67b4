#include "storage/data_file.h"

#include <errno.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "coding.h"
#include "storage_test_util.h"

namespace varnel::storage {
namespace {

using testing::read_bytes;
using testing::ScriptedFaults;
using testing::TempDir;
using testing::write_bytes;

DataFile open_data(const std::filesystem::path& p) {
  Result<DataFile> f = storage::testing::open_data_file(p);
  EXPECT_TRUE(f.ok()) << (f.ok() ? "" : f.error().message());
  return std::move(f).value();
}

// A record as another tool might write it: any payload text, any marker.
std::string raw_record(uint64_t id, const std::vector<float>& v, const std::string& payload,
                       unsigned char marker = 0) {
  std::string out(1, static_cast<char>(marker));
  append_u64_le(out, id);
  append_u32_le(out, static_cast<uint32_t>(v.size()));
  for (float f : v) append_u32_le(out, float_bits(f));
  append_u32_le(out, static_cast<uint32_t>(payload.size()));
  return out + payload;
}

std::vector<uint64_t> active_ids(const DataFile& f, DataScanEnd* end = nullptr) {
  Result<std::vector<DataRecord>> all = f.iter_active(end);
  EXPECT_TRUE(all.ok());
  std::vector<uint64_t> ids;
  for (const DataRecord& r : all.value()) ids.push_back(r.id);
  return ids;
}

TEST(DataFile, WorkedRecordIs36Bytes) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  EXPECT_EQ(f.append(7, std::vector<float>{0.5f, -1.0f}, Payload{}).value(), 0u);
  EXPECT_EQ(f.append(8, std::vector<float>{}, Payload{}).value(), 36u);
  ASSERT_TRUE(f.flush().ok());
  const std::string want("\x00\x07\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00"
                         "\x00\x00\x00\x3F\x00\x00\x80\xBF\x0B\x00\x00\x00{\"data\":{}}",
                         36);
  EXPECT_EQ(read_bytes(dir / "data.vnl").substr(0, 36), want);
  EXPECT_EQ(raw_record(7, {0.5f, -1.0f}, "{\"data\":{}}"), want);
}

TEST(DataFile, EmptyFileAndReopenOffsets) {
  TempDir dir;
  {
    DataFile f = open_data(dir / "data.vnl");
    EXPECT_TRUE(f.iter_active().value().empty());
    EXPECT_EQ(f.next_offset(), 0u);
    ASSERT_TRUE(f.append(1, std::vector<float>{1, 2, 3}, Payload{}).ok());
  }  // destruction writes the record out
  DataFile f = open_data(dir / "data.vnl");
  EXPECT_EQ(f.next_offset(), 17u + 12 + 11);
  EXPECT_EQ(f.append(2, std::vector<float>{}, Payload{}).value(), 40u);
}

TEST(DataFile, RecordsRoundTripBitForBitWithPayloads) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  const float nan = bits_float(0x7FC01234u);
  const std::vector<float> v = {nan, std::numeric_limits<float>::infinity(), -0.0f, 1e-45f};
  Payload p;
  p.data["name"] = "x\"y\n";
  p.data["n"] = 3;
  const uint64_t off = f.append(UINT64_MAX, v, p).value();
  ASSERT_TRUE(f.flush().ok());
  DataRecord r = f.read_at(off).value();
  EXPECT_EQ(r.id, UINT64_MAX);
  EXPECT_EQ(r.offset, off);
  EXPECT_FALSE(r.deleted);
  ASSERT_EQ(r.vector.size(), v.size());
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(float_bits(r.vector[i]), float_bits(v[i]));
  EXPECT_EQ(r.payload.data.at("name"), "x\"y\n");
  EXPECT_EQ(r.payload.data.at("n"), 3);
}

TEST(DataFile, MarkDeletedHidesOnlyThatRecord) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  std::vector<uint64_t> offs;
  for (uint64_t id = 1; id <= 3; ++id) offs.push_back(f.append(id, std::vector<float>{1}, Payload{}).value());
  ASSERT_TRUE(f.flush().ok());
  const auto size = std::filesystem::file_size(dir / "data.vnl");
  ASSERT_TRUE(f.mark_deleted(offs[1]).ok());
  EXPECT_EQ(read_bytes(dir / "data.vnl")[offs[1]], '\x01');
  EXPECT_EQ(std::filesystem::file_size(dir / "data.vnl"), size);
  EXPECT_EQ(active_ids(f), (std::vector<uint64_t>{1, 3}));
  EXPECT_TRUE(f.read_at(offs[1]).value().deleted);
}

// mark_deleted writes 1 over the 0 that append wrote; any other marker is
// damage, and the scan stops there rather than guess whether it is live.
TEST(DataFile, MarkerValuesOtherThanZeroOrOneAreDamage) {
  TempDir dir;
  const std::string good = raw_record(2, {1}, "{\"data\":{}}", 1) + raw_record(4, {1}, "{\"data\":{}}");
  for (unsigned char marker : {2, 255}) {
    write_bytes(dir / "data.vnl", good + raw_record(3, {1}, "{\"data\":{}}", marker) +
                                      raw_record(5, {1}, "{\"data\":{}}"));
    DataFile f = open_data(dir / "data.vnl");
    DataScanEnd end;
    EXPECT_EQ(active_ids(f, &end), (std::vector<uint64_t>{4}));
    EXPECT_EQ(end.stop_offset, good.size());
    EXPECT_FALSE(end.torn_tail);
    ASSERT_TRUE(end.error.has_value());
    EXPECT_EQ(end.error->message(), "io error: read deleted failed: marker byte " +
                                        std::to_string(marker) + " is neither 0 nor 1");
    EXPECT_EQ(f.read_at(good.size()).error().message(), end.error->message());
  }
}

TEST(DataFile, MarkDeletedOfABufferedRecordWritesTheBufferOutFirst) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  ASSERT_TRUE(f.append(1, std::vector<float>{1}, Payload{}).ok());
  const uint64_t off = f.append(2, std::vector<float>{2}, Payload{}).value();
  EXPECT_TRUE(f.is_buffered(off));
  ASSERT_TRUE(f.mark_deleted(off).ok());
  EXPECT_FALSE(f.is_buffered(off));
  const uint64_t next = f.append(3, std::vector<float>{3}, Payload{}).value();
  ASSERT_TRUE(f.flush().ok());
  // Every offset still names its record.
  EXPECT_EQ(f.read_at(off).value().id, 2u);
  EXPECT_TRUE(f.read_at(off).value().deleted);
  EXPECT_EQ(f.read_at(next).value().id, 3u);
  EXPECT_EQ(active_ids(f), (std::vector<uint64_t>{1, 3}));
}

TEST(DataFile, MarkDeletedPastTheLastRecordIsRefused) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  ASSERT_TRUE(f.append(1, std::vector<float>{1}, Payload{}).ok());
  Status s = f.mark_deleted(f.next_offset());
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message().rfind("io error: write delete marker failed: ", 0), 0u);
  ASSERT_TRUE(f.flush().ok());
  EXPECT_EQ(std::filesystem::file_size(dir / "data.vnl"), f.next_offset());
}

TEST(DataFile, MarkDeletedOnARemovedFileDoesNotCreateIt) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  ASSERT_TRUE(f.append(1, std::vector<float>{1}, Payload{}).ok());
  ASSERT_TRUE(f.flush().ok());
  std::filesystem::remove(dir / "data.vnl");
  Status s = f.mark_deleted(0);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(),
            "io error: open for delete failed: No such file or directory (os error 2)");
  EXPECT_FALSE(std::filesystem::exists(dir / "data.vnl"));
}

TEST(DataFile, BufferedRecordIsInvisibleUntilFlush) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  const uint64_t off = f.append(1, std::vector<float>{1}, Payload{}).value();
  EXPECT_TRUE(active_ids(f).empty());
  Result<DataRecord> r = f.read_at(off);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "io error: read deleted failed: failed to fill whole buffer");
  ASSERT_TRUE(f.flush().ok());
  EXPECT_EQ(active_ids(f), std::vector<uint64_t>{1});
}

// Text written by another tool: the scan steps by the stored length, so
// blanks, repeated keys or another member order do not derail it.
TEST(DataFile, ScanStepsByTheStoredPayloadLength) {
  TempDir dir;
  write_bytes(dir / "data.vnl",
              raw_record(1, {1}, " { \"data\" : { \"a\" : 1 , \"a\" : 2 } } ") +
                  raw_record(2, {2, 3}, "{\"other\":[1,2,3],\"data\":{\"b\":[true]}}") +
                  raw_record(3, {}, "[{}]"));
  std::vector<DataRecord> all = open_data(dir / "data.vnl").iter_active().value();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].payload.data.at("a"), 2);
  EXPECT_EQ(all[1].vector, (std::vector<float>{2, 3}));
  EXPECT_EQ(all[2].id, 3u);
}

struct BadCase {
  const char* name;
  std::string tail;       // appended after one good record, and followed by another
  bool torn;              // the scan should call it a torn tail
  const char* read_error;  // what read_at gives at the bad record
  const char* scan_error = nullptr;  // what the scan gives, when it differs
};

class DataFileBadInput : public ::testing::TestWithParam<BadCase> {};

TEST_P(DataFileBadInput, ScanStopsQuietlyAtTheBadRecord) {
  TempDir dir;
  const std::string good = raw_record(1, {1}, "{\"data\":{}}");
  write_bytes(dir / "data.vnl", good + GetParam().tail + raw_record(9, {9}, "{\"data\":{}}"));
  DataFile f = open_data(dir / "data.vnl");
  DataScanEnd end;
  EXPECT_EQ(active_ids(f, &end), std::vector<uint64_t>{1});
  EXPECT_EQ(end.stop_offset, good.size());
  EXPECT_EQ(end.torn_tail, GetParam().torn);
  ASSERT_TRUE(end.error.has_value());
  Result<DataRecord> r = f.read_at(good.size());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message().rfind(GetParam().read_error, 0), 0u) << r.error().message();
  EXPECT_EQ(end.error->message(),
            GetParam().scan_error != nullptr ? GetParam().scan_error : r.error().message());
}

std::string with_dim(uint32_t d) {
  std::string out(1, '\0');
  append_u64_le(out, 5);
  append_u32_le(out, d);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataFileBadInput,
    ::testing::Values(
        BadCase{"InvalidJson", raw_record(2, {1}, "{\"data\":"), false,
                "io error: payload deserialize failed: EOF while parsing"},
        BadCase{"InvalidUtf8", raw_record(2, {1}, "{\"data\":{\"k\":\"\xff\"}}"), false,
                "io error: payload deserialize failed: "},
        BadCase{"ZeroFilled", std::string(64, '\0'), false,
                "io error: payload deserialize failed: EOF while parsing a value"},
        // A length past the end with a whole record after it is damage: only
        // the last record can be torn.
        BadCase{"HugeDim", with_dim(0xFFFFFFFFu), false,
                "io error: read vector failed: failed to fill whole buffer",
                "io error: read vector failed: the record runs past the end of the file, and a "
                "complete record follows at offset 45"},
        BadCase{"HugePayloadLen", with_dim(0) + std::string("\xff\xff\xff\xff", 4), false,
                "io error: read payload failed: failed to fill whole buffer",
                "io error: read payload failed: the record runs past the end of the file, and a "
                "complete record follows at offset 49"}),
    [](const ::testing::TestParamInfo<BadCase>& i) { return std::string(i.param.name); });

TEST(DataFile, StreamingScanHandsRecordsThatMayBeMovedFrom) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  for (uint64_t id = 0; id < 1000; ++id) {
    ASSERT_TRUE(f.append(id, std::vector<float>(id % 5, float(id)), Payload{}).ok());
  }
  ASSERT_TRUE(f.flush().ok());
  std::vector<std::vector<float>> kept;
  DataScanEnd end;
  ASSERT_TRUE(f.for_each_active(
                   [&kept](DataRecord& r) {
                     kept.push_back(std::move(r.vector));
                     return Status{};
                   },
                   &end)
                  .ok());
  ASSERT_EQ(kept.size(), 1000u);
  for (uint64_t id = 0; id < 1000; ++id) EXPECT_EQ(kept[id], std::vector<float>(id % 5, float(id)));
  EXPECT_EQ(end.stop_offset, f.next_offset());
  EXPECT_FALSE(end.error.has_value());
  // An error from the callback ends the scan and comes back as is.
  int calls = 0;
  Status s = f.for_each_active([&calls](DataRecord& r) {
    return ++calls == 10 ? Status(Error::not_found(r.id)) : Status{};
  });
  EXPECT_EQ(s.error().message(), "vector not found: 9");
}

TEST(DataFile, PayloadThatWouldNotReadBackIsRefused) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  Payload bad;
  bad.data["\xc3"] = 1;
  Result<uint64_t> r = f.append(1, std::vector<float>{1}, bad);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message().rfind("io error: payload serialization failed: ", 0), 0u);
  EXPECT_EQ(f.next_offset(), 0u);
}

TEST(DataFile, AppendCostsNoSystemCallWhileTheBufferHasRoom) {
  TempDir dir;
  DataFile f = open_data(dir / "data.vnl");
  ScriptedFaults hook;
  std::vector<float> v(128, 1.0f);
  for (int i = 0; i < 15; ++i) ASSERT_TRUE(f.append(i, v, Payload{}).ok());  // 15 * 540 < 8192
  EXPECT_EQ(hook.count(FileOp::kWrite), 0);
  ASSERT_TRUE(f.append(99, v, Payload{}).ok());
  EXPECT_EQ(hook.count(FileOp::kWrite), 1);
}

TEST(DataFile, OpenFailures) {
  TempDir dir;
  Result<DataFile> f = storage::testing::open_data_file(dir / "missing" / "data.vnl");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().message(),
            "io error: failed to open data file: No such file or directory (os error 2)");
  ScriptedFaults hook(testing::fail_nth(FileOp::kFstat, 1, EIO));
  f = storage::testing::open_data_file(dir / "data.vnl");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().message(), "io error: metadata failed: " + os_error_text(EIO));
}

}  // namespace
}  // namespace varnel::storage
