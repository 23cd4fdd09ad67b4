#include "storage/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "storage_test_util.h"

namespace varnel::storage {
namespace {

using testing::fail_nth;
using testing::read_bytes;
using testing::ScriptedFaults;
using testing::TempDir;

std::string pattern(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 23);
  return s;
}

BufferedWriter open_writer(const std::filesystem::path& p) {
  IoResult<File> f = File::open(p, OpenMode::kReadAppendCreate);
  EXPECT_TRUE(f.ok());
  uint64_t size = f.value().size().value();
  return BufferedWriter(std::move(f).value(), size);
}

TEST(File, PathWithNulIsRefusedWithoutSystemCall) {
  ScriptedFaults hook;
  IoResult<File> f = File::open(std::string("a\0b", 3), OpenMode::kReadOnly);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(hook.count(FileOp::kOpen), 0);
}

TEST(File, MissingFileGivesErrnoText) {
  TempDir dir;
  IoResult<File> f = File::open(dir / "nope", OpenMode::kReadOnly);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error(), "No such file or directory (os error 2)");
  // kWriteOnly never creates.
  EXPECT_FALSE(File::open(dir / "nope", OpenMode::kWriteOnly).ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "nope"));
}

TEST(File, CreatesWithMode0666AndCloseOnExec) {
  TempDir dir;
  mode_t old = ::umask(0);
  IoResult<File> f = File::open(dir / "f", OpenMode::kReadAppendCreate);
  ::umask(old);
  ASSERT_TRUE(f.ok());
  struct stat st;
  ASSERT_EQ(::fstat(f.value().fd(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_TRUE(::fcntl(f.value().fd(), F_GETFD) & FD_CLOEXEC);
}

TEST(File, MoveLeavesOneOwner) {
  TempDir dir;
  File a = std::move(File::open(dir / "f", OpenMode::kReadAppendCreate)).value();
  int fd = a.fd();
  File b = std::move(a);
  EXPECT_FALSE(a.is_open());
  EXPECT_EQ(b.fd(), fd);
  b = File();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed exactly once, by the owner
}

// EINTR is retried inside the layer, for every call that can see it.
class EintrRetried : public ::testing::TestWithParam<FileOp> {};

TEST_P(EintrRetried, CallSucceedsAfterInterruption) {
  TempDir dir;
  const FileOp op = GetParam();
  ScriptedFaults hook(fail_nth(op, 1, EINTR));
  IoResult<File> f = File::open(dir / "f", OpenMode::kReadAppendCreate);
  ASSERT_TRUE(f.ok()) << f.error();
  File& file = f.value();
  ASSERT_TRUE(file.write_all("abc", 3, kWriteWholeBuffer).ok());
  ASSERT_TRUE(file.sync().ok());
  ASSERT_TRUE(file.truncate(2).ok());
  ASSERT_TRUE(file.seek(0).ok());
  char buf[4];
  IoResult<size_t> got = file.read_full(buf, 4);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(std::string(buf, got.value()), "ab");
  EXPECT_GE(hook.count(op), 2);
}

INSTANTIATE_TEST_SUITE_P(Ops, EintrRetried,
                         ::testing::Values(FileOp::kOpen, FileOp::kWrite, FileOp::kRead,
                                           FileOp::kFsync, FileOp::kFtruncate));

TEST(File, ZeroByteWriteFailsWithGivenCause) {
  TempDir dir;
  File file = std::move(File::open(dir / "f", OpenMode::kReadAppendCreate)).value();
  ScriptedFaults hook([](FileOp op, int n) {
    // The first write accepts 2 bytes, the second none.
    if (op != FileOp::kWrite) return FaultDecision{};
    return FaultDecision{0, n == 1 ? size_t{2} : size_t{0}};
  });
  size_t written = 0;
  IoStatus s = file.write_all("abcdef", 6, kWriteWholeBuffer, &written);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), "failed to write whole buffer");
  EXPECT_EQ(written, 2u);
}

// Pieces of these sizes, in order: how many write calls the writer makes and
// that the file ends up holding exactly their concatenation.
struct PieceCase {
  const char* name;
  std::vector<size_t> pieces;
  int writes_before_flush;
};

class WriterPieces : public ::testing::TestWithParam<PieceCase> {};

TEST_P(WriterPieces, BuffersSmallWritesBigAndKeepsOrder) {
  TempDir dir;
  const PieceCase& c = GetParam();
  std::string expected;
  {
    BufferedWriter w = open_writer(dir / "f");
    ScriptedFaults hook;
    char seed = 'a';
    for (size_t n : c.pieces) {
      std::string piece = pattern(n, seed++);
      ASSERT_TRUE(w.write(piece.data(), piece.size()).ok());
      expected += piece;
    }
    EXPECT_EQ(hook.count(FileOp::kWrite), c.writes_before_flush);
    EXPECT_EQ(w.end(), expected.size());
    ASSERT_TRUE(w.write_out().ok());
    EXPECT_EQ(w.durable_end(), expected.size());
    EXPECT_EQ(w.buffered(), 0u);
  }
  EXPECT_EQ(read_bytes(dir / "f"), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriterPieces,
    ::testing::Values(PieceCase{"Empty", {}, 0}, PieceCase{"OneSmall", {10}, 0},
                      PieceCase{"FillsExactly", {8000, 192}, 0},
                      PieceCase{"OneByteOver", {8000, 193}, 1},
                      PieceCase{"ExactlyFullIsBuffered", {8192}, 0},
                      PieceCase{"BigStraightThrough", {8193}, 1},
                      PieceCase{"SmallThenBig", {5, 10000}, 2},
                      PieceCase{"ManySmall", std::vector<size_t>(100, 100), 1},
                      PieceCase{"ZeroLength", {0, 0, 9000, 0}, 1}),
    [](const ::testing::TestParamInfo<PieceCase>& i) { return std::string(i.param.name); });

TEST(BufferedWriter, DestructorWritesOutWithoutSync) {
  TempDir dir;
  ScriptedFaults hook;
  {
    BufferedWriter w = open_writer(dir / "f");
    ASSERT_TRUE(w.write("hello", 5).ok());
    EXPECT_EQ(hook.count(FileOp::kWrite), 0);
  }
  EXPECT_EQ(hook.count(FileOp::kWrite), 1);
  EXPECT_EQ(hook.count(FileOp::kFsync), 0);
  EXPECT_EQ(read_bytes(dir / "f"), "hello");
}

TEST(BufferedWriter, FailedWriteOutKeepsUnacceptedBytes) {
  TempDir dir;
  BufferedWriter w = open_writer(dir / "f");
  ASSERT_TRUE(w.write("0123456789", 10).ok());
  {
    ScriptedFaults hook([](FileOp op, int n) {
      if (op != FileOp::kWrite) return FaultDecision{};
      return n == 1 ? FaultDecision{0, 4} : FaultDecision{ENOSPC, SIZE_MAX};
    });
    IoStatus s = w.write_out();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), os_error_text(ENOSPC));
  }
  EXPECT_EQ(w.durable_end(), 4u);
  EXPECT_EQ(w.buffered(), 6u);
  EXPECT_EQ(read_bytes(dir / "f"), "0123");
  ASSERT_TRUE(w.write_out().ok());
  EXPECT_EQ(read_bytes(dir / "f"), "0123456789");
}

TEST(BufferedWriter, ZeroByteWriteOutUsesBufferedDataCause) {
  TempDir dir;
  BufferedWriter w = open_writer(dir / "f");
  ASSERT_TRUE(w.write("abc", 3).ok());
  ScriptedFaults hook([](FileOp op, int) {
    return op == FileOp::kWrite ? FaultDecision{0, 0} : FaultDecision{};
  });
  IoStatus s = w.write_out();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), "failed to write the buffered data");
  // A piece that needs room fails the same way and is not taken.
  std::string big(9000, 'x');
  Result<void, BufferedWriter::Failure> r = w.write(big.data(), big.size());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().cause, "failed to write the buffered data");
  EXPECT_EQ(r.error().piece_bytes_written, 0u);
  EXPECT_EQ(w.end(), 3u);
}

TEST(BufferedWriter, TornStraightWriteIsCutBack) {
  TempDir dir;
  BufferedWriter w = open_writer(dir / "f");
  ASSERT_TRUE(w.write("head", 4).ok());
  std::string big = pattern(20000, 'A');
  {
    // Write-out of "head" succeeds, then the big piece gets 5000 bytes in
    // and the next write fails.
    ScriptedFaults hook([](FileOp op, int n) {
      if (op != FileOp::kWrite) return FaultDecision{};
      if (n == 2) return FaultDecision{0, 5000};
      if (n == 3) return FaultDecision{ENOSPC, SIZE_MAX};
      return FaultDecision{};
    });
    Result<void, BufferedWriter::Failure> r = w.write(big.data(), big.size());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().cause, os_error_text(ENOSPC));
    EXPECT_EQ(r.error().piece_bytes_written, 5000u);
  }
  EXPECT_FALSE(w.stuck());
  EXPECT_EQ(w.end(), 4u);
  EXPECT_EQ(read_bytes(dir / "f"), "head");
  ASSERT_TRUE(w.write(big.data(), big.size()).ok());
  ASSERT_TRUE(w.write("tail", 4).ok());
  ASSERT_TRUE(w.write_out().ok());
  EXPECT_EQ(read_bytes(dir / "f"), "head" + big + "tail");
}

TEST(BufferedWriter, TruncateFromNonAppendHandleLeavesNoHole) {
  TempDir dir;
  IoResult<File> f = File::open(dir / "f", OpenMode::kWriteCreateTruncate);
  ASSERT_TRUE(f.ok());
  BufferedWriter w(std::move(f).value(), 0);
  std::string big = pattern(10000, 'A');
  {
    ScriptedFaults hook([](FileOp op, int n) {
      if (op != FileOp::kWrite) return FaultDecision{};
      return n == 1 ? FaultDecision{0, 3000} : FaultDecision{EIO, SIZE_MAX};
    });
    ASSERT_FALSE(w.write(big.data(), big.size()).ok());
  }
  ASSERT_TRUE(w.write("ok", 2).ok());
  ASSERT_TRUE(w.write_out().ok());
  EXPECT_EQ(read_bytes(dir / "f"), "ok");
}

TEST(BufferedWriter, StuckUntilCutSucceeds) {
  TempDir dir;
  BufferedWriter w = open_writer(dir / "f");
  std::string big = pattern(9000, 'A');
  ScriptedFaults hook([](FileOp op, int n) {
    if (op == FileOp::kWrite) {
      return n == 1 ? FaultDecision{0, 100} : n == 2 ? FaultDecision{EIO, SIZE_MAX}
                                                     : FaultDecision{};
    }
    // The first two cuts fail.
    if (op == FileOp::kFtruncate && n <= 2) return FaultDecision{EROFS, SIZE_MAX};
    return FaultDecision{};
  });
  ASSERT_FALSE(w.write(big.data(), big.size()).ok());
  EXPECT_TRUE(w.stuck());
  Result<void, BufferedWriter::Failure> refused = w.write("x", 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().cause, kPartialWriteStuck);
  EXPECT_EQ(w.buffered(), 0u);
  // The third cut works: the writer recovers and the file is clean.
  ASSERT_TRUE(w.write("y", 1).ok());
  EXPECT_FALSE(w.stuck());
  ASSERT_TRUE(w.write_out().ok());
  EXPECT_EQ(read_bytes(dir / "f"), "y");
}

TEST(BufferedWriter, DevFullReportsNoSpace) {
  IoResult<File> f = File::open("/dev/full", OpenMode::kReadAppendCreate);
  if (!f.ok()) GTEST_SKIP() << "no /dev/full: " << f.error();
  BufferedWriter w(std::move(f).value(), 0);
  ASSERT_TRUE(w.write("abc", 3).ok());  // buffered: no system call yet
  IoStatus s = w.write_out();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), "No space left on device (os error 28)");
  EXPECT_EQ(w.buffered(), 3u);
  (void)w.truncate(0);  // empty the buffer so the destructor has nothing to do
}

TEST(Reader, ReadsAcrossBufferBoundariesAndPastIt) {
  TempDir dir;
  std::string content = pattern(50000, 'a');
  testing::write_bytes(dir / "f", content);
  File f = std::move(File::open(dir / "f", OpenMode::kReadOnly)).value();
  Reader in(f, content.size(), 1000);
  std::string got;
  for (size_t n : {1, 999, 2, 1500, 4000, 7}) {
    std::string part(n, '\0');
    ASSERT_EQ(in.read_full(part.data(), n).value(), n);
    got += part;
  }
  EXPECT_EQ(got, content.substr(0, got.size()));
  EXPECT_EQ(in.position(), got.size());
  EXPECT_EQ(in.remaining(0).value(), content.size() - got.size());
  std::string rest(60000, '\0');
  EXPECT_EQ(in.read_full(rest.data(), rest.size()).value(), content.size() - got.size());
  ASSERT_TRUE(in.seek(10).ok());
  char c;
  ASSERT_EQ(in.read_full(&c, 1).value(), 1u);
  EXPECT_EQ(c, content[10]);
}

TEST(Reader, RemainingAsksAgainWhenTheFileGrew) {
  TempDir dir;
  testing::write_bytes(dir / "f", "abcd");
  File f = std::move(File::open(dir / "f", OpenMode::kReadOnly)).value();
  Reader in(f, 0, 64);  // stale size
  EXPECT_EQ(in.remaining(4).value(), 4u);
  EXPECT_EQ(in.remaining(5).value(), 4u);
}

// A Directory reaches its own directory by descriptor: renamed while open,
// and with a new directory made at the old path, it still creates, renames,
// lists and removes in the one it opened, and sees when that one is removed.
TEST(Directory, FollowsItsDirectoryNotItsPath) {
  TempDir tmp;
  std::filesystem::create_directory(tmp / "a");
  Directory d = std::move(Directory::open(tmp / "a")).value();
  std::filesystem::rename(tmp / "a", tmp / "b");
  std::filesystem::create_directory(tmp / "a");
  EXPECT_EQ(d.path(), tmp / "a");  // as bound, for messages
  ASSERT_TRUE(d.open_file("x", OpenMode::kReadAppendCreate).ok());
  EXPECT_TRUE(d.exists("x").value());
  EXPECT_FALSE(d.exists("y").value());
  ASSERT_TRUE(d.rename("x", "y").ok());
  EXPECT_EQ(d.names().value(), std::vector<std::string>{"y"});
  EXPECT_TRUE(std::filesystem::exists(tmp / "b" / "y"));
  EXPECT_TRUE(std::filesystem::is_empty(tmp / "a"));
  Directory again = std::move(d.dup()).value();
  ASSERT_TRUE(d.remove("y").ok());
  ASSERT_TRUE(again.sync().ok());
  EXPECT_FALSE(again.deleted().value());
  std::filesystem::remove(tmp / "b");
  EXPECT_TRUE(again.deleted().value());
  EXPECT_EQ(d.remove("y").error(), os_error_text(ENOENT));
}

TEST(Directory, FailuresAreCauseTexts) {
  TempDir tmp;
  EXPECT_EQ(Directory::open(tmp / "none").error(), os_error_text(ENOENT));
  testing::write_bytes(tmp / "f", "x");
  EXPECT_EQ(Directory::open(tmp / "f").error(), os_error_text(ENOTDIR));
  Directory d = std::move(Directory::open(tmp.path())).value();
  EXPECT_EQ(d.open_file(std::string("a\0b", 3), OpenMode::kReadOnly).error(), kNulInPath);
  EXPECT_FALSE(d.exists("f/g").value());  // ENOTDIR is missing, too
  ScriptedFaults hook([](FileOp op, int) {
    return op == FileOp::kStat || op == FileOp::kReadDir || op == FileOp::kUnlink
               ? FaultDecision{EIO, SIZE_MAX}
               : FaultDecision{};
  });
  EXPECT_EQ(d.exists("f").error(), os_error_text(EIO));  // never taken for missing
  EXPECT_EQ(d.names().error(), os_error_text(EIO));
  EXPECT_EQ(d.remove("f").error(), os_error_text(EIO));
}

}  // namespace
}  // namespace varnel::storage
