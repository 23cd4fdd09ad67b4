// The POSIX file layer under the log and the data file: one owner of one
// descriptor (File), one buffered writer with an 8 KiB buffer (BufferedWriter)
// and one buffered reader for sequential scans (Reader). Failures come back as
// cause texts ("No such file or directory (os error 2)", kFillWholeBuffer, ...)
// that the caller wraps in an Error with its own context phrase. This layer
// knows nothing of records or frames and never decides an error's kind.
//
// Interrupted system calls (EINTR) are retried here and nowhere else.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace varnel::storage {

// A failure's cause text (os_error_text, or one of the fixed causes of error.h).
template <typename T>
using IoResult = Result<T, std::string>;
using IoStatus = Result<void, std::string>;

inline constexpr size_t kWriteBufferBytes = 8192;

// Cause given while a partly written piece sits at the end of a file and
// cutting it away keeps failing (see BufferedWriter).
inline constexpr const char* kPartialWriteStuck =
    "an earlier failed write left a partial piece at the end of the file that could not be cut away";

// ---------------------------------------------------------------------------
// Fault hook: the only way to make this layer fail on purpose. A test installs
// a hook; every system call below asks it first. Production code never
// installs one, and the pointer behind set_fault_hook is the only mutable
// global of the layer. Install and remove it while no other thread uses the
// file layer; while it is installed its calls are serialised, so a hook sees
// the calls of a log syncing on a thread of its own one at a time.

enum class FileOp : uint8_t {
  kOpen, kRead, kWrite, kFsync, kFtruncate, kLseek, kFstat, kStat, kRename, kMkdir, kLock,
  kUnlink, kReadDir
};
inline constexpr size_t kFileOpCount = 13;

struct FaultDecision {
  int err = 0;               // non-zero: fail the call with this errno, without running it
  size_t max_bytes = SIZE_MAX;  // kRead/kWrite: run the call with at most this many bytes
};

class FaultHook {
 public:
  virtual ~FaultHook() = default;
  virtual FaultDecision before(FileOp op) = 0;
  // Called after a call that ran (before() did not fail it), with the
  // descriptor it used or opened (-1 for none: mkdir, a failed open; the
  // directory's descriptor for a rename or unlink inside a Directory) and
  // its errno (0 on success). Lets a test see which file an fsync made
  // durable. Only kOpen, kWrite, kFsync, kFtruncate, kRename and kUnlink
  // report here.
  virtual void after(FileOp /*op*/, int /*fd*/, int /*err*/) {}
};

// Installs `hook` (nullptr removes it); returns the previous one.
FaultHook* set_fault_hook(FaultHook* hook);

// ---------------------------------------------------------------------------

enum class OpenMode : uint8_t {
  kReadAppendCreate,     // O_RDWR | O_APPEND | O_CREAT: the log and the data file
  kWriteCreateTruncate,  // O_WRONLY | O_CREAT | O_TRUNC: the emptied log
  kReadOnly,             // O_RDONLY: every read
  kWriteOnly,            // O_WRONLY, no creation: the data file's delete marker
};

// Which file a descriptor reaches (fstat's device and inode).
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
};

// Owns one descriptor, opened close-on-exec with mode 0666 (before the umask).
// Move-only; the destructor closes it.
class File {
 public:
  friend class Directory;
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // A path holding a NUL byte fails with kNulInPath, without a system call.
  static IoResult<File> open(const std::filesystem::path& path, OpenMode mode);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // One read of up to n bytes; 0 only at the end of the file.
  IoResult<size_t> read_some(void* out, size_t n);
  // Reads until n bytes or the end of the file; gives the count read.
  IoResult<size_t> read_full(void* out, size_t n);
  // The same from `offset` (pread, kRead), the file position left alone.
  IoResult<size_t> read_full_at(uint64_t offset, void* out, size_t n);
  // Calls write until all n bytes are accepted. A write that accepts zero
  // bytes fails with `zero_cause`. *written (if given) is the count accepted,
  // also on failure.
  IoStatus write_all(const void* data, size_t n, const char* zero_cause, size_t* written = nullptr);
  IoStatus sync();                      // fsync
  IoResult<uint64_t> size();            // fstat
  IoStatus seek(uint64_t offset);       // lseek from the start
  IoStatus truncate(uint64_t length);   // ftruncate
  IoResult<FileId> id();                // fstat
  // flock(LOCK_EX | LOCK_NB): true when taken, false when another open file
  // description holds a lock on the file (EWOULDBLOCK). Never waits.
  IoResult<bool> try_lock_exclusive();

 private:
  explicit File(int fd) : fd_(fd) {}
  void close_fd();
  int fd_ = -1;
};

// fsync of a descriptor a File owns, for a thread that syncs while the
// owner goes on writing through it; the owner keeps the File open until the
// call has returned.
IoStatus sync_descriptor(int fd);

// Whether the file system can report metadata for `path` (stat succeeds).
bool path_exists(const std::filesystem::path& path);
// The same, telling a missing file (ENOENT, ENOTDIR: false) from a stat
// that failed for another reason (EIO, EACCES, ENOMEM: the cause), which
// must not be taken for a missing file by anyone who would then build on
// that. A path with a NUL byte fails with kNulInPath.
IoResult<bool> stat_exists(const std::filesystem::path& path);

// The directory `path` names, bound for the life of whoever keeps the
// result: a relative path is made absolute against the current directory
// now, so a later chdir cannot send the caller's file operations elsewhere.
// Every file a collection opens, creates or renames is reached through such
// a path. getcwd's failure is the cause.
IoResult<std::filesystem::path> bind_directory(const std::filesystem::path& path);

// Creates `path` and every missing parent (mode 0777 before the umask).
IoStatus create_directories(const std::filesystem::path& path);

// ---------------------------------------------------------------------------

// Owns one descriptor of a directory (O_RDONLY | O_DIRECTORY | O_CLOEXEC)
// and reaches every file in it by name relative to that descriptor, so a
// rename of the directory, or a new directory made at its old path, never
// sends a file operation elsewhere. Names are single entries (no '/', no NUL:
// kNulInPath). Move-only; the destructor closes the descriptor.
class Directory {
 public:
  Directory() = default;
  ~Directory();
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Opens the directory at `path` (kOpen). path() keeps `path` as given.
  static IoResult<Directory> open(const std::filesystem::path& path);
  // A second descriptor of the same directory (kOpen) with an open file
  // description of its own (openat of "."), for an object that outlives the
  // one it was given: a flock taken through it is independent of every
  // other descriptor.
  IoResult<Directory> dup() const;

  // The path as bound at open: for messages only, never opened again.
  const std::filesystem::path& path() const { return path_; }
  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // openat(2) of `name`, close-on-exec, mode 0666 before the umask (kOpen).
  IoResult<File> open_file(std::string_view name, OpenMode mode) const;
  // fstatat(2) (kStat): ENOENT and ENOTDIR are false; any other failure is
  // the cause, never taken for a missing file.
  IoResult<bool> exists(std::string_view name) const;
  // renameat(2) within the directory; replaces `to` atomically (kRename).
  IoStatus rename(std::string_view from, std::string_view to) const;
  // unlinkat(2) of a file (kUnlink).
  IoStatus remove(std::string_view name) const;
  // The names of the entries, "." and ".." left out, in no order (kReadDir).
  IoResult<std::vector<std::string>> names() const;
  // fsync of the directory (kFsync): makes creations, renames and removals
  // in it durable.
  IoStatus sync() const;
  // Whether the directory was removed while open (fstat's st_nlink is 0; kFstat).
  IoResult<bool> deleted() const;
  // The directory's device and inode (kFstat).
  IoResult<FileId> id() const;
  // flock(LOCK_EX | LOCK_NB) on this descriptor's description (kLock), as
  // File::try_lock_exclusive.
  IoResult<bool> try_lock_exclusive() const;

 private:
  Directory(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  void close_fd();

  int fd_ = -1;                  // the directory; -1 when moved from or default
  std::filesystem::path path_;   // as bound at open, for messages
};

// ---------------------------------------------------------------------------

// Owns a File and an 8 KiB buffer; every piece handed to it is all or nothing:
//  - a piece that fits in the free space is copied (no system call);
//  - otherwise the whole buffer is written out first, then a piece of 8192
//    bytes or more is written straight to the file and a smaller one copied.
// A frame or record handed over as one piece therefore never leaves the
// buffer in halves. If a straight write fails after part of the piece reached
// the file, the file is cut back to where the piece began (and the file
// position put back), so the file ends at a piece boundary again. If that cut
// fails too, the writer is `stuck`: every later piece first retries the cut
// and is refused with kPartialWriteStuck while it keeps failing.
// A write-out of the buffer that fails part way keeps the bytes it could not
// write in the buffer (they hold only whole pieces, so the file then ends
// inside a piece until a later write-out succeeds; a process that ends first
// leaves a torn tail, which readers report as such).
// The destructor writes the buffer out without syncing and ignores errors.
class BufferedWriter {
 public:
  // `file_end`: the size of the file, where the next byte will land.
  BufferedWriter(File file, uint64_t file_end);
  ~BufferedWriter();
  BufferedWriter(BufferedWriter&&) noexcept = default;
  BufferedWriter& operator=(BufferedWriter&&) noexcept;
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  // What a failed `write` did: the cause, and how many bytes of the piece had
  // reached the file before the failure (then cut away again) - callers use it
  // to name the field in which the failure happened.
  struct Failure {
    std::string cause;
    size_t piece_bytes_written = 0;
  };

  // Hands over one piece. On failure nothing of the piece stays anywhere.
  Result<void, Failure> write(const void* data, size_t n);
  // Writes the whole buffer out (zero-byte writes: kWriteBufferedData). Bytes
  // accepted leave the buffer even when a later write fails.
  IoStatus write_out();
  // write_out is the caller's business; this is only the fsync.
  IoStatus sync() { return file_.sync(); }
  int fd() const { return file_.fd(); }
  // Cuts the file to `length` (at most durable_end()); the buffer must be empty.
  IoStatus truncate(uint64_t length);
  // Takes back every byte from `offset` (at most end()) on: buffered bytes
  // are dropped, written ones cut from the file. If the cut fails, the writer
  // is stuck at `offset` (later pieces retry it first) and the cause is
  // returned.
  IoStatus discard_from(uint64_t offset);

  uint64_t durable_end() const { return durable_end_; }  // bytes written out to the file
  uint64_t end() const { return durable_end_ + used_; }  // where the next piece lands
  size_t buffered() const { return used_; }
  bool stuck() const { return stuck_; }

 private:
  IoStatus cut_back();

  File file_;
  std::unique_ptr<unsigned char[]> buf_;  // kWriteBufferBytes
  size_t used_ = 0;                       // bytes in buf_, all after durable_end_
  uint64_t durable_end_ = 0;              // file size as this writer knows it
  bool stuck_ = false;                    // a partial piece sits at durable_end_
};

// ---------------------------------------------------------------------------

// Sequential reader over a borrowed File with a buffer of its own size, for
// one pass through a file. Knows the file's size at construction so that a
// stored length can be checked against what remains before anything is
// allocated for it.
class Reader {
 public:
  Reader(File& file, uint64_t file_size, size_t buffer_bytes);

  // Reads up to n bytes; fewer only at the end of the file.
  IoResult<size_t> read_full(void* out, size_t n);
  // The next n bytes (n at most the buffer's size) without consuming them,
  // refilling as needed; nullptr when the file ends first. consume(n) then
  // moves past them. For decoders that parse straight out of the buffer.
  IoResult<const unsigned char*> peek(size_t n);
  void consume(size_t n) {
    begin_ += n;
    pos_ += n;
  }
  // Bytes left between the position and the end of the file. When `want`
  // exceeds what the size taken at the start allows, the size is asked again
  // (the file may have grown).
  IoResult<uint64_t> remaining(uint64_t want);
  // Moves to `offset` from the start, dropping buffered bytes.
  IoStatus seek(uint64_t offset);
  uint64_t position() const { return pos_; }
  size_t buffered() const { return end_ - begin_; }  // bytes read ahead, not consumed

 private:
  File& file_;
  uint64_t size_;
  std::unique_ptr<unsigned char[]> buf_;
  size_t cap_;
  size_t begin_ = 0;  // first unread byte in buf_
  size_t end_ = 0;    // one past the last valid byte in buf_
  uint64_t pos_ = 0;  // file offset of buf_[begin_]
};

}  // namespace varnel::storage
