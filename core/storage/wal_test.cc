#include "storage/wal.h"

#include <errno.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "coding.h"
#include "float_text.h"
#include "storage_test_util.h"

namespace varnel::storage {
namespace {

using testing::read_bytes;
using testing::ScriptedFaults;
using testing::TempDir;
using testing::write_bytes;

constexpr const char* kCheckpointText =
    R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}})";

Wal open_wal(const std::filesystem::path& p, SyncPolicy policy = SyncPolicy::kManual) {
  Result<Wal> w = storage::testing::open_wal(p, policy);
  EXPECT_TRUE(w.ok()) << (w.ok() ? "" : w.error().message());
  return std::move(w).value();
}

std::string entry_text(WalEntryKind kind, uint64_t id, std::vector<float> v, const Payload& p = {}) {
  std::string out;
  EXPECT_TRUE(encode_wal_entry(out, kind, id, v, p).ok());
  return out;
}

TEST(Wal, CheckpointFrameIsTheSame70BytesUnderEveryPolicy) {
  for (SyncPolicy policy : {SyncPolicy::kAlways, SyncPolicy::kBatch, SyncPolicy::kManual,
                            static_cast<SyncPolicy>(7)}) {
    TempDir dir;
    Wal w = open_wal(dir / "wal.log", policy);
    ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kCheckpoint, 0, {}, {}}).ok());
    ASSERT_TRUE(w.sync().ok());
    const std::string bytes = read_bytes(dir / "wal.log");
    ASSERT_EQ(bytes.size(), 70u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x37\xC7\xF2\xD5\x3E\x00\x00\x00", 8));
    EXPECT_EQ(bytes.substr(8), kCheckpointText);
  }
}

TEST(Wal, InsertTextIsCompactAndByteExact) {
  const std::string text = entry_text(WalEntryKind::kInsert, 7, {0.5f, -1.0f});
  EXPECT_EQ(text, R"({"kind":"Insert","id":7,"vector":[0.5,-1.0],"payload":{"data":{}}})");
  EXPECT_EQ(text.size(), 66u);
  EXPECT_EQ(entry_text(WalEntryKind::kDelete, 18446744073709551615u, {}),
            R"({"kind":"Delete","id":18446744073709551615,"vector":[],"payload":{"data":{}}})");
}

struct FloatCase {
  float value;
  const char* text;
};

class WalFloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(WalFloatText, ShortestFloat32DigitsInTheirWindow) {
  const std::string text = entry_text(WalEntryKind::kUpdate, 1, {GetParam().value});
  EXPECT_EQ(text, std::string(R"({"kind":"Update","id":1,"vector":[)") + GetParam().text +
                      R"(],"payload":{"data":{}}})");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalFloatText,
    ::testing::Values(FloatCase{1.0f, "1.0"}, FloatCase{100.0f, "100.0"}, FloatCase{0.5f, "0.5"},
                      FloatCase{0.1f, "0.1"}, FloatCase{0.000001f, "0.000001"},
                      FloatCase{1e-7f, "1e-7"}, FloatCase{1e13f, "1e+13"},
                      FloatCase{1e12f, "1000000000000.0"}, FloatCase{1.5e20f, "1.5e+20"},
                      FloatCase{0.0f, "0.0"}, FloatCase{-0.0f, "-0.0"},
                      FloatCase{-2.75f, "-2.75"}, FloatCase{16777216.0f, "16777216.0"},
                      FloatCase{3.4028235e38f, "3.4028235e+38"}, FloatCase{1e-45f, "1e-45"}));

TEST(Wal, VectorTextIsTheScalarWritersTextAtEveryLength) {
  // The vector array is written many components at a time; lengths around
  // the widths of those steps, each mixing every placement of the digits.
  const float mix[] = {0.0f, -0.0f, 1e-45f, 0.000001f, 1e-7f, 123.456f, -1e13f, 1e12f,
                       3.4028235e36f, -0.33333334f, 16777216.0f, 2.5e-20f, 7.0f};
  for (size_t d = 0; d <= 40; ++d) {
    std::vector<float> v(d);
    for (size_t i = 0; i < d; ++i) v[i] = mix[(i * 5 + d) % std::size(mix)] * (1 + 0.25f * i);
    std::string want = R"({"kind":"Insert","id":3,"vector":[)";
    for (size_t i = 0; i < d; ++i) {
      if (i > 0) want += ',';
      write_f32(want, v[i]);
    }
    want += R"(],"payload":{"data":{}}})";
    ASSERT_EQ(entry_text(WalEntryKind::kInsert, 3, v), want) << "d = " << d;
  }
}

class WalNonFinite : public ::testing::TestWithParam<std::tuple<float, const char*>> {};

TEST_P(WalNonFinite, RefusedBeforeAnythingIsWritten) {
  TempDir dir;
  Wal w = open_wal(dir / "wal.log");
  ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 1, {1.0f}, {}}).ok());
  const uint64_t end = w.end_offset();
  Status s = w.append(WalEntry{WalEntryKind::kInsert, 2, {1.0f, std::get<0>(GetParam())}, {}});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), Error::Kind::kWalCorrupted);
  EXPECT_EQ(s.error().message(), std::string("WAL corrupted: serialization failed: vector component 1 is ") +
                                     std::get<1>(GetParam()) + ", which has no JSON form");
  EXPECT_EQ(w.end_offset(), end);
  EXPECT_EQ(w.unsynced_appends(), 1u);
  ASSERT_TRUE(w.sync().ok());
  Result<std::vector<WalEntry>> all = w.read_all();
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all.value().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalNonFinite,
    ::testing::Values(std::make_tuple(std::numeric_limits<float>::quiet_NaN(), "NaN"),
                      std::make_tuple(std::numeric_limits<float>::infinity(), "inf"),
                      std::make_tuple(-std::numeric_limits<float>::infinity(), "-inf")));

TEST(Wal, PayloadThatWouldNotReadBackIsRefused) {
  TempDir dir;
  Wal w = open_wal(dir / "wal.log");
  Payload bad;
  bad.data["k"] = std::string("\xff\xfe");
  Status s = w.append(WalEntry{WalEntryKind::kInsert, 1, {1.0f}, bad});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), Error::Kind::kWalCorrupted);
  EXPECT_EQ(s.error().text().rfind("serialization failed: the payload would not read back: ", 0), 0u)
      << s.error().text();
  EXPECT_EQ(w.end_offset(), 0u);
  // A non-finite float in a payload is written as null, which does read back.
  Payload nan;
  nan.data["x"] = std::nan("");
  ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 2, {1.0f}, nan}).ok());
  ASSERT_TRUE(w.sync().ok());
  Result<std::vector<WalEntry>> all = w.read_all();
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all.value().size(), 1u);
  EXPECT_TRUE(all.value()[0].payload.data.at("x").is_null());
}

TEST(Wal, EntriesRoundTripBitForBit) {
  TempDir dir;
  std::mt19937 rng(42);
  std::vector<WalEntry> written;
  {
    Wal w = open_wal(dir / "wal.log", SyncPolicy::kBatch);
    for (int i = 0; i < 300; ++i) {
      WalEntry e;
      e.kind = static_cast<WalEntryKind>(1 + i % 4);
      e.id = rng() * uint64_t{0x100000001};
      // Random bit patterns cover denormals, extremes and every exponent.
      e.vector.resize(i % 7 == 0 ? 3000 : i % 5);
      for (float& v : e.vector) {
        do v = bits_float(static_cast<uint32_t>(rng())); while (!std::isfinite(v));
      }
      if (i % 3 == 0) e.payload.data["n"] = i;
      ASSERT_TRUE(w.append(e).ok());
      written.push_back(std::move(e));
    }
  }  // destruction writes the last frames out
  Result<std::vector<WalEntry>> all = open_wal(dir / "wal.log").read_all();
  ASSERT_TRUE(all.ok()) << all.error().message();
  ASSERT_EQ(all.value().size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    const WalEntry& a = written[i];
    const WalEntry& b = all.value()[i];
    ASSERT_EQ(a.kind, b.kind);
    ASSERT_EQ(a.id, b.id);
    ASSERT_EQ(a.vector.size(), b.vector.size());
    for (size_t j = 0; j < a.vector.size(); ++j) {
      ASSERT_EQ(float_bits(a.vector[j]), float_bits(b.vector[j])) << i << "/" << j;
    }
    ASSERT_EQ(a.payload.data.size(), b.payload.data.size());
  }
}

struct DecodeCase {
  const char* name;
  const char* text;
  const char* error_start;  // nullptr: decodes
};

class WalDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(WalDecode, AcceptsOrRefuses) {
  const DecodeCase& c = GetParam();
  Result<WalEntry> e = WalEntry::from_bytes(c.text);
  if (c.error_start == nullptr) {
    ASSERT_TRUE(e.ok()) << e.error().message();
    EXPECT_EQ(e.value().kind, WalEntryKind::kInsert);
    EXPECT_EQ(e.value().id, 7u);
    EXPECT_EQ(e.value().vector, (std::vector<float>{0.5f, -1.0f}));
    return;
  }
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().kind(), Error::Kind::kWalCorrupted);
  const std::string want = std::string("deserialization failed: ") + c.error_start;
  EXPECT_EQ(e.error().text().substr(0, want.size()), want) << e.error().text();
  EXPECT_NE(e.error().text().find(" at line "), std::string::npos) << e.error().text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalDecode,
    ::testing::Values(
        DecodeCase{"Canonical", R"({"kind":"Insert","id":7,"vector":[0.5,-1.0],"payload":{"data":{}}})", nullptr},
        DecodeCase{"AnyOrderAndBlanks", " {\"payload\":{\"data\":{}},\n \"vector\":[0.5,-1],\"id\":7,\"kind\":\"Insert\"} ", nullptr},
        DecodeCase{"ExtraMemberIgnored", R"({"note":[1,{"x":2}],"kind":"Insert","id":7,"vector":[0.5,-1.0],"payload":{"data":{}}})", nullptr},
        DecodeCase{"ArrayForm", R"(["Insert",7,[0.5,-1.0],{"data":{}}])", nullptr},
        DecodeCase{"UnitVariantObjectForm", R"({"kind":{"Insert":null},"id":7,"vector":[0.5,-1.0],"payload":{"data":{}}})", nullptr},
        DecodeCase{"Empty", "", "EOF while parsing a value"},
        DecodeCase{"MissingPayload", R"({"kind":"Insert","id":7,"vector":[]})", "missing field `payload`"},
        DecodeCase{"DuplicateId", R"({"kind":"Insert","id":7,"id":8,"vector":[],"payload":{"data":{}}})", "duplicate field `id`"},
        DecodeCase{"LowerCaseKind", R"({"kind":"insert","id":7,"vector":[],"payload":{"data":{}}})", "unknown variant `insert`"},
        DecodeCase{"ShortArray", R"(["Insert",7,[]])", "invalid length 3"},
        DecodeCase{"LongArray", R"(["Insert",7,[],{"data":{}},1])", ""},
        DecodeCase{"NegativeId", R"({"kind":"Insert","id":-7,"vector":[],"payload":{"data":{}}})", "invalid "},
        DecodeCase{"FractionId", R"({"kind":"Insert","id":7.5,"vector":[],"payload":{"data":{}}})", "invalid type"},
        DecodeCase{"NullComponent", R"({"kind":"Insert","id":7,"vector":[null],"payload":{"data":{}}})", "invalid type: null"},
        DecodeCase{"TrailingText", R"({"kind":"Insert","id":7,"vector":[],"payload":{"data":{}}} x)", "trailing characters"},
        DecodeCase{"BadPayload", R"({"kind":"Insert","id":7,"vector":[],"payload":{}})", "missing field `data`"}),
    [](const ::testing::TestParamInfo<DecodeCase>& i) { return std::string(i.param.name); });

TEST(Wal, DeepNestingIsRefusedNotCrashing) {
  std::string deep = R"({"kind":"Insert","id":7,"vector":[],"payload":{"data":{"k":)";
  deep += std::string(100000, '[') + std::string(100000, ']') + "}}}";
  Result<WalEntry> e = WalEntry::from_bytes(deep);
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().kind(), Error::Kind::kWalCorrupted);
}

class WalPolicy : public ::testing::TestWithParam<std::tuple<SyncPolicy, int, int>> {};

// (policy, appends, fsyncs expected)
TEST_P(WalPolicy, FsyncsAsThePolicySays) {
  TempDir dir;
  auto [policy, appends, fsyncs] = GetParam();
  Wal w = open_wal(dir / "wal.log", policy);
  ScriptedFaults hook;
  for (int i = 0; i < appends; ++i) {
    ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, uint64_t(i), {1.0f}, {}}).ok());
  }
  EXPECT_EQ(hook.count(FileOp::kFsync), fsyncs);
  if (policy == SyncPolicy::kBatch) {
    EXPECT_EQ(w.unsynced_appends(), size_t(appends % 100));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalPolicy,
    ::testing::Values(std::make_tuple(SyncPolicy::kAlways, 5, 5),
                      std::make_tuple(SyncPolicy::kBatch, 99, 0),
                      std::make_tuple(SyncPolicy::kBatch, 100, 1),
                      std::make_tuple(SyncPolicy::kBatch, 250, 2),
                      std::make_tuple(SyncPolicy::kManual, 250, 0),
                      std::make_tuple(static_cast<SyncPolicy>(9), 250, 0)));

// (policy, appends, fsyncs once settled, synced() once settled). Syncs
// behind the appends sync what the inline ones would; kAlways still syncs
// every append before it returns.
class WalBehind : public ::testing::TestWithParam<std::tuple<SyncPolicy, int, int, int>> {};

TEST_P(WalBehind, SettledSyncsCoverWhatInlineSyncsWould) {
  TempDir dir;
  auto [policy, appends, fsyncs, synced] = GetParam();
  Wal w = open_wal(dir / "wal.log", policy);
  ScriptedFaults hook;
  const std::vector<float> v(128, 0.375f);
  for (int i = 0; i < appends; ++i) {
    ASSERT_TRUE(w.append(WalEntryKind::kInsert, i, v.data(), v.size(), Payload{},
                         SyncTiming::kBehind)
                    .ok());
    if (policy == SyncPolicy::kAlways) ASSERT_EQ(w.synced(), uint64_t(i + 1));
  }
  ASSERT_TRUE(w.settle().ok());
  EXPECT_FALSE(w.sync_behind());
  EXPECT_EQ(hook.count(FileOp::kFsync), fsyncs);
  EXPECT_EQ(w.synced(), uint64_t(synced));
  EXPECT_EQ(w.unsynced_appends(), size_t(appends - synced));
  ASSERT_TRUE(w.sync().ok());
  std::vector<WalEntry> all = w.read_all().value();
  ASSERT_EQ(all.size(), size_t(appends));
  for (int i = 0; i < appends; ++i) EXPECT_EQ(all[i].id, uint64_t(i));
}

INSTANTIATE_TEST_SUITE_P(Cases, WalBehind,
                         ::testing::Values(std::make_tuple(SyncPolicy::kBatch, 99, 0, 0),
                                           std::make_tuple(SyncPolicy::kBatch, 100, 1, 100),
                                           std::make_tuple(SyncPolicy::kBatch, 450, 4, 400),
                                           std::make_tuple(SyncPolicy::kAlways, 7, 7, 7),
                                           std::make_tuple(SyncPolicy::kManual, 250, 0, 0)));

// A sync behind that fails is reported, by settle(), by sync() or by the
// append that finds it; its frames count as unsynced again, and the next
// sync covers them.
TEST(Wal, FailedSyncBehindIsReportedAndItsFramesSyncedLater) {
  enum class Reporter { kSettle, kSync, kAppend };
  for (Reporter reporter : {Reporter::kSettle, Reporter::kSync, Reporter::kAppend}) {
    SCOPED_TRACE(static_cast<int>(reporter));
    TempDir dir;
    Wal w = open_wal(dir / "wal.log", SyncPolicy::kBatch);
    ScriptedFaults hook(testing::fail_nth(FileOp::kFsync, 1, EIO));
    const std::vector<float> v(16, -2.5f);
    auto append = [&](int id) {
      return w.append(WalEntryKind::kInsert, id, v.data(), v.size(), Payload{},
                      SyncTiming::kBehind);
    };
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(append(i).ok());  // the 100th starts the sync
    Status failed;
    int next = 100;
    switch (reporter) {
      case Reporter::kSettle:
        failed = w.settle();
        break;
      case Reporter::kSync:
        failed = w.sync();
        break;
      case Reporter::kAppend:
        // At the latest, the append that brings the next sync due waits
        // for the failed one.
        while (next < 200 && (failed = append(next)).ok()) ++next;
        ++next;
        break;
    }
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind(), Error::Kind::kIoError);
    EXPECT_NE(failed.error().message().find("sync failed: "), std::string::npos)
        << failed.error().message();
    EXPECT_EQ(w.synced(), 0u);
    EXPECT_EQ(w.unsynced_appends(), size_t(next));
    EXPECT_TRUE(w.settle().ok());  // nothing runs behind any more
    ASSERT_TRUE(append(next).ok());  // due again at once: a sync starts behind
    ASSERT_TRUE(w.settle().ok());
    EXPECT_EQ(w.synced(), uint64_t(next + 1));
    EXPECT_EQ(hook.count(FileOp::kFsync), 2);
  }
}

TEST(Wal, ReplacedOrDroppedWhileASyncRunsBehindKeepsEveryFrame) {
  TempDir dir;
  auto filled = [&](const char* name) {
    Wal w = open_wal(dir / name, SyncPolicy::kBatch);
    const std::vector<float> v(128, 1.25f);
    for (int i = 0; i < 150; ++i) {
      EXPECT_TRUE(w.append(WalEntryKind::kInsert, i, v.data(), v.size(), Payload{},
                           SyncTiming::kBehind)
                      .ok());
    }
    return w;
  };
  {
    Wal a = filled("a.log");
    Wal b = filled("b.log");
    a = std::move(b);  // a's sync is waited for before its handle is closed
  }
  for (const char* name : {"a.log", "b.log"}) {
    EXPECT_EQ(open_wal(dir / name).read_all().value().size(), 150u) << name;
  }
}

TEST(Wal, AppendsCostNoSystemCallWhileTheBufferHasRoom) {
  TempDir dir;
  Wal w = open_wal(dir / "wal.log", SyncPolicy::kBatch);
  ScriptedFaults hook;
  std::vector<float> v(8, 0.25f);
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(w.append(WalEntryKind::kInsert, i, v.data(), v.size(), Payload{}).ok());
  }
  // 50 frames of ~110 bytes: one write-out of the full buffer at most.
  EXPECT_LE(hook.count(FileOp::kWrite), 1);
}

TEST(Wal, BatchOfFramesLeavesInFullBuffersAndOneWriteAtItsSync) {
  // 100 frames of d = 128 (about 150 KB): the buffer is written out only when
  // a frame does not fit, and once more by the sync of the 100th append.
  TempDir dir;
  Wal w = open_wal(dir / "wal.log", SyncPolicy::kBatch);
  ScriptedFaults hook;
  std::vector<float> v(128);
  uint64_t buffered = 0;
  int writes = 0;
  for (int i = 0; i < 100; ++i) {
    for (size_t j = 0; j < v.size(); ++j) v[j] = 0.123456f * static_cast<float>(i * 131 + j) - 7;
    const uint64_t before = w.end_offset();
    ASSERT_TRUE(w.append(WalEntryKind::kInsert, i, v.data(), v.size(), Payload{}).ok());
    const uint64_t frame = w.end_offset() - before;
    if (buffered + frame > kWriteBufferBytes) {
      ++writes;
      buffered = 0;
    }
    buffered += frame;
    if (i == 99) ++writes;  // the sync
    ASSERT_EQ(hook.count(FileOp::kWrite), writes) << "after append " << i;
  }
  EXPECT_EQ(hook.count(FileOp::kFsync), 1);
  EXPECT_EQ(std::filesystem::file_size(dir / "wal.log"), w.end_offset());
  EXPECT_EQ(w.read_all().value().size(), 100u);
}

TEST(Wal, FrameLargerThan8KiBGoesStraightToTheFile) {
  // Even with room in the buffer: the small frame before it is written out
  // first, then the large one in a call of its own, and both are in the file.
  TempDir dir;
  Wal w = open_wal(dir / "wal.log", SyncPolicy::kManual);
  ScriptedFaults hook;
  const std::vector<float> small(3, 0.5f);
  const std::vector<float> large(3000, 0.25f);  // about 15 KB of text
  ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 1, small, {}}).ok());
  ASSERT_EQ(hook.count(FileOp::kWrite), 0);
  ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 2, large, {}}).ok());
  EXPECT_EQ(hook.count(FileOp::kWrite), 2);
  EXPECT_EQ(std::filesystem::file_size(dir / "wal.log"), w.end_offset());
  EXPECT_EQ(w.read_all().value().size(), 2u);
}

TEST(Wal, ReusedFrameBufferCarriesNothingOver) {
  // Frames of shrinking and growing size, with and without a payload, each
  // byte for byte the header and text that encode_wal_entry gives.
  struct Shape {
    size_t dim;
    bool payload;
  };
  const Shape shapes[] = {{300, true}, {0, false}, {5, false}, {128, true},
                          {1, false},  {2000, false}, {2, true}};
  TempDir dir;
  std::string expected;
  {
    Wal w = open_wal(dir / "wal.log", SyncPolicy::kManual);
    uint64_t id = 0;
    for (const Shape& shape : shapes) {
      std::vector<float> v(shape.dim);
      for (size_t j = 0; j < v.size(); ++j) v[j] = std::ldexp(1.5f + j, static_cast<int>(j % 90) - 45);
      Payload p;
      if (shape.payload) p.data["tag"] = std::to_string(id);
      ASSERT_TRUE(w.append(WalEntryKind::kUpdate, ++id, v.data(), v.size(), p).ok());
      const std::string text = entry_text(WalEntryKind::kUpdate, id, v, p);
      unsigned char head[8];
      put_u32_le(head, static_cast<uint32_t>(
                           ::crc32(0, reinterpret_cast<const Bytef*>(text.data()), text.size())));
      put_u32_le(head + 4, static_cast<uint32_t>(text.size()));
      expected.append(reinterpret_cast<const char*>(head), 8).append(text);
    }
  }
  EXPECT_EQ(read_bytes(dir / "wal.log"), expected);
}

TEST(Wal, MissingOrEmptyFileReadsAsNoEntries) {
  TempDir dir;
  Result<std::vector<WalEntry>> none = storage::testing::open_wal(dir / "x", SyncPolicy::kManual).value().read_all();
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().empty());
  std::filesystem::remove(dir / "x");
  WalReadEnd end;
  EXPECT_TRUE(storage::testing::read_wal(dir / "x", [](WalEntry&) { return Status{}; }, &end).ok());
  EXPECT_EQ(end.entries, 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "x"));  // reading creates nothing
}

TEST(Wal, BufferedFramesAreInvisibleUntilSync) {
  TempDir dir;
  Wal w = open_wal(dir / "wal.log", SyncPolicy::kBatch);
  ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 1, {1.0f}, {}}).ok());
  EXPECT_TRUE(w.read_all().value().empty());
  ASSERT_TRUE(w.sync().ok());
  EXPECT_EQ(w.unsynced_appends(), 0u);
  EXPECT_EQ(w.read_all().value().size(), 1u);
}

TEST(Wal, ReopenAppendsAfterExistingFrames) {
  TempDir dir;
  { ASSERT_TRUE(open_wal(dir / "wal.log").append(WalEntry{WalEntryKind::kInsert, 1, {}, {}}).ok()); }
  {
    Wal w = open_wal(dir / "wal.log");
    EXPECT_EQ(w.end_offset(), 8u + entry_text(WalEntryKind::kInsert, 1, {}).size());
    ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kDelete, 2, {}, {}}).ok());
  }
  std::vector<WalEntry> all = open_wal(dir / "wal.log").read_all().value();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, 1u);
  EXPECT_EQ(all[1].kind, WalEntryKind::kDelete);
}

TEST(Wal, CheckpointEmptiesTheFileAndAppendsStartAtZero) {
  TempDir dir;
  Wal w = open_wal(dir / "wal.log", SyncPolicy::kAlways);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 1, {2.0f}, {}}).ok());
  ASSERT_TRUE(w.checkpoint().ok());
  EXPECT_EQ(std::filesystem::file_size(dir / "wal.log"), 0u);
  EXPECT_TRUE(w.read_all().value().empty());
  EXPECT_EQ(w.unsynced_appends(), 0u);
  ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 9, {}, {}}).ok());
  std::vector<WalEntry> all = w.read_all().value();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].id, 9u);
  EXPECT_EQ(std::filesystem::file_size(dir / "wal.log"), w.end_offset());
}

TEST(Wal, FlippedDataByteGivesBothChecksums) {
  TempDir dir;
  {
    Wal w = open_wal(dir / "wal.log");
    ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kCheckpoint, 0, {}, {}}).ok());
  }
  std::string bytes = read_bytes(dir / "wal.log");
  bytes[20] ^= 0x01;
  write_bytes(dir / "wal.log", bytes);
  Result<std::vector<WalEntry>> all = open_wal(dir / "wal.log").read_all();
  ASSERT_FALSE(all.ok());
  const uint32_t got = static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const unsigned char*>(bytes.data() + 8), 62));
  EXPECT_EQ(all.error().message(),
            "WAL corrupted: checksum mismatch: expected 3589457719, got " + std::to_string(got));
}

TEST(Wal, EightZeroBytesAreAnEmptyTextThatFailsToDecode) {
  TempDir dir;
  write_bytes(dir / "wal.log", std::string(8, '\0'));
  Result<std::vector<WalEntry>> all = open_wal(dir / "wal.log").read_all();
  ASSERT_FALSE(all.ok());
  EXPECT_EQ(all.error().text().rfind("deserialization failed: EOF while parsing a value at line ", 0), 0u)
      << all.error().text();
}

TEST(Wal, OpenFailureCarriesTheSystemText) {
  TempDir dir;
  Result<Wal> w = storage::testing::open_wal(dir.path(), SyncPolicy::kManual);  // a directory
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().message(), "io error: failed to open WAL: Is a directory (os error 21)");
  w = Wal::open(Directory::open(dir.path()).value(), std::string("a\0b", 3), SyncPolicy::kManual);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().message(),
            "io error: failed to open WAL: file name contained an unexpected NUL byte");
}

TEST(Wal, HugeLengthFailsWithoutAllocating) {
  TempDir dir;
  std::string bytes;
  append_u32_le(bytes, 0);
  append_u32_le(bytes, 0xFFFFFFFFu);
  bytes += "{}";
  write_bytes(dir / "wal.log", bytes);
  WalReadEnd end;
  Status s = storage::testing::read_wal(dir / "wal.log", [](WalEntry&) { return Status{}; }, &end);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "io error: read data failed: failed to fill whole buffer");
  EXPECT_TRUE(end.torn_tail);
  EXPECT_EQ(end.complete_end, 0u);
}

TEST(Wal, StreamingReadStopsAtTheCallbacksError) {
  TempDir dir;
  {
    Wal w = open_wal(dir / "wal.log");
    for (uint64_t i = 0; i < 5; ++i) ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, i, {}, {}}).ok());
  }
  WalReadEnd end;
  int seen = 0;
  Status s = storage::testing::read_wal(
      dir / "wal.log",
      [&seen](WalEntry& e) { return ++seen == 3 ? Status(Error::not_found(e.id)) : Status{}; }, &end);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "vector not found: 2");
  EXPECT_EQ(end.entries, 3u);
  EXPECT_FALSE(end.torn_tail);
}

TEST(Wal, TornTailCutThenAppendReadsClean) {
  TempDir dir;
  {
    Wal w = open_wal(dir / "wal.log");
    ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 1, {1.0f}, {}}).ok());
    ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 2, {2.0f}, {}}).ok());
  }
  std::string bytes = read_bytes(dir / "wal.log");
  write_bytes(dir / "wal.log", bytes.substr(0, bytes.size() - 5));
  Wal w = open_wal(dir / "wal.log");
  WalReadEnd end;
  std::vector<uint64_t> ids;
  Status s = w.read_each([&ids](WalEntry& e) { ids.push_back(e.id); return Status{}; }, &end);
  EXPECT_FALSE(s.ok());
  EXPECT_TRUE(end.torn_tail);
  EXPECT_EQ(ids, std::vector<uint64_t>{1});
  ASSERT_TRUE(w.truncate_to(end.complete_end).ok());
  ASSERT_TRUE(w.append(WalEntry{WalEntryKind::kInsert, 3, {3.0f}, {}}).ok());
  ASSERT_TRUE(w.sync().ok());
  std::vector<WalEntry> all = w.read_all().value();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].id, 3u);
}

}  // namespace
}  // namespace varnel::storage
