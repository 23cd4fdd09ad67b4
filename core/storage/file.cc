#include "storage/file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace varnel::storage {
namespace {

FaultHook* g_fault_hook = nullptr;  // test-only, see set_fault_hook
std::mutex g_fault_hook_calls;      // serialises the hook's calls

// Asks the hook about the next system call. A non-zero result means: act as
// if the call failed with this errno.
FaultDecision ask(FileOp op) {
  if (g_fault_hook == nullptr) return {};
  std::lock_guard guard(g_fault_hook_calls);
  return g_fault_hook->before(op);
}

// Tells the hook how a call that ran ended (errno, 0 on success). The hook
// may make system calls of its own, so errno is put back afterwards.
void observe(FileOp op, int fd, int err) {
  if (g_fault_hook == nullptr) return;
  const int saved = errno;
  {
    std::lock_guard guard(g_fault_hook_calls);
    g_fault_hook->after(op, fd, err);
  }
  errno = saved;
}

// Whether a call of this kind is retried on EINTR, and whether it tells the
// hook how it ended (see FaultHook::after).
constexpr bool retried(FileOp op) {
  return op == FileOp::kOpen || op == FileOp::kRead || op == FileOp::kWrite ||
         op == FileOp::kFsync || op == FileOp::kFtruncate || op == FileOp::kLock;
}
constexpr bool reported(FileOp op) {
  return op == FileOp::kOpen || op == FileOp::kWrite || op == FileOp::kFsync ||
         op == FileOp::kFtruncate || op == FileOp::kRename || op == FileOp::kUnlink;
}

// The skeleton of every system call below: the hook is asked first (an
// injected errno fails the call without running it; max_bytes caps a read
// or write and is handed to `call`), the call runs, the hook hears how it
// ended (with `fd`, or for an open the descriptor it gave), and EINTR, real
// or injected, runs it again for the kinds that are retried. Gives the
// call's result: negative with errno set on failure.
template <typename Call>
auto run_call(FileOp op, int fd, Call&& call) -> decltype(call(size_t{})) {
  for (;;) {
    FaultDecision fault = ask(op);
    decltype(call(size_t{})) r = -1;
    if (fault.err != 0) {
      errno = fault.err;
    } else {
      r = call(fault.max_bytes);
      if (reported(op)) {
        const int err = r >= 0 ? 0 : errno;
        observe(op, op == FileOp::kOpen ? static_cast<int>(r) : fd, err);
      }
    }
    if (r >= 0) return r;
    if (errno == EINTR && retried(op)) continue;
    return r;
  }
}

int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::kReadAppendCreate:
      return O_RDWR | O_APPEND | O_CREAT;
    case OpenMode::kWriteCreateTruncate:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case OpenMode::kReadOnly:
      return O_RDONLY;
    case OpenMode::kWriteOnly:
      return O_WRONLY;
  }
  return O_RDONLY;
}

// A name a Directory reaches: one entry, no NUL (which would cut it short).
bool bad_name(std::string_view name) { return name.find('\0') != std::string_view::npos; }

IoResult<bool> try_flock(int fd) {
  if (run_call(FileOp::kLock, fd, [&](size_t) { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0) {
    return true;
  }
  if (errno == EWOULDBLOCK) return false;
  return os_error_text(errno);
}

IoResult<FileId> fstat_id(int fd) {
  struct stat st;
  if (run_call(FileOp::kFstat, fd, [&](size_t) { return ::fstat(fd, &st); }) != 0) {
    return os_error_text(errno);
  }
  return FileId{st.st_dev, st.st_ino};
}

}  // namespace

FaultHook* set_fault_hook(FaultHook* hook) {
  FaultHook* old = g_fault_hook;
  g_fault_hook = hook;
  return old;
}

// ---------------------------------------------------------------------------
// File

File::~File() { close_fd(); }

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close_fd();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void File::close_fd() {
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

IoResult<File> File::open(const std::filesystem::path& path, OpenMode mode) {
  if (path.native().find('\0') != std::string::npos) return std::string(kNulInPath);
  const int fd = run_call(FileOp::kOpen, -1, [&](size_t) {
    return ::open(path.c_str(), open_flags(mode) | O_CLOEXEC, 0666);
  });
  if (fd >= 0) return File(fd);
  return os_error_text(errno);
}

IoResult<size_t> File::read_some(void* out, size_t n) {
  const ssize_t r = run_call(FileOp::kRead, fd_, [&](size_t max_bytes) {
    return ::read(fd_, out, std::min(n, max_bytes));
  });
  if (r >= 0) return static_cast<size_t>(r);
  return os_error_text(errno);
}

IoResult<size_t> File::read_full(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < n) {
    IoResult<size_t> r = read_some(p + got, n - got);
    if (!r.ok()) return std::move(r).error();
    if (r.value() == 0) break;
    got += r.value();
  }
  return got;
}

IoResult<size_t> File::read_full_at(uint64_t offset, void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < n) {
    const uint64_t at = offset + got;
    const ssize_t r = run_call(FileOp::kRead, fd_, [&](size_t max_bytes) -> ssize_t {
      if (at > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
      }
      return ::pread(fd_, p + got, std::min(n - got, max_bytes), static_cast<off_t>(at));
    });
    if (r < 0) return os_error_text(errno);
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

IoStatus File::write_all(const void* data, size_t n, const char* zero_cause, size_t* written) {
  const auto* p = static_cast<const unsigned char*>(data);
  size_t done = 0;
  IoStatus status;
  while (done < n) {
    const ssize_t r = run_call(FileOp::kWrite, fd_, [&](size_t max_bytes) {
      return ::write(fd_, p + done, std::min(n - done, max_bytes));
    });
    if (r < 0) {
      status = os_error_text(errno);
      break;
    }
    if (r == 0) {
      status = std::string(zero_cause);
      break;
    }
    done += static_cast<size_t>(r);
  }
  if (written != nullptr) *written = done;
  return status;
}

IoStatus File::sync() { return sync_descriptor(fd_); }

IoStatus sync_descriptor(int fd) {
  if (run_call(FileOp::kFsync, fd, [&](size_t) { return ::fsync(fd); }) == 0) return {};
  return os_error_text(errno);
}

IoResult<uint64_t> File::size() {
  struct stat st;
  if (run_call(FileOp::kFstat, fd_, [&](size_t) { return ::fstat(fd_, &st); }) != 0) {
    return os_error_text(errno);
  }
  return static_cast<uint64_t>(st.st_size);
}

IoResult<FileId> File::id() { return fstat_id(fd_); }

IoResult<bool> File::try_lock_exclusive() { return try_flock(fd_); }

IoStatus File::seek(uint64_t offset) {
  const off_t r = run_call(FileOp::kLseek, fd_, [&](size_t) -> off_t {
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
      errno = EINVAL;
      return -1;
    }
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  });
  if (r < 0) return os_error_text(errno);
  return {};
}

IoStatus File::truncate(uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return os_error_text(EINVAL);
  const int r = run_call(FileOp::kFtruncate, fd_,
                         [&](size_t) { return ::ftruncate(fd_, static_cast<off_t>(length)); });
  if (r == 0) return {};
  return os_error_text(errno);
}

bool path_exists(const std::filesystem::path& path) {
  IoResult<bool> exists = stat_exists(path);
  return exists.ok() && exists.value();
}

IoResult<bool> stat_exists(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) return std::string(kNulInPath);
  struct stat st;
  if (run_call(FileOp::kStat, -1, [&](size_t) { return ::stat(path.c_str(), &st); }) == 0) {
    return true;
  }
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return os_error_text(errno);
}

IoResult<std::filesystem::path> bind_directory(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path bound = std::filesystem::absolute(path, ec);
  if (ec) return os_error_text(ec.value());
  return bound;
}

IoStatus create_directories(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) return std::string(kNulInPath);
  const int r = run_call(FileOp::kMkdir, -1, [&](size_t) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    errno = ec.value();
    return ec ? -1 : 0;
  });
  if (r == 0) return {};
  return os_error_text(errno);
}

// ---------------------------------------------------------------------------
// Directory

Directory::~Directory() { close_fd(); }

Directory::Directory(Directory&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    close_fd();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

void Directory::close_fd() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

IoResult<Directory> Directory::open(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) return std::string(kNulInPath);
  const int fd = run_call(FileOp::kOpen, -1, [&](size_t) {
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd >= 0) return Directory(fd, path);
  return os_error_text(errno);
}

IoResult<Directory> Directory::dup() const {
  const int fd = run_call(FileOp::kOpen, -1, [&](size_t) {
    return ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd >= 0) return Directory(fd, path_);
  return os_error_text(errno);
}

IoResult<File> Directory::open_file(std::string_view name, OpenMode mode) const {
  if (bad_name(name)) return std::string(kNulInPath);
  const std::string n(name);
  const int fd = run_call(FileOp::kOpen, -1, [&](size_t) {
    return ::openat(fd_, n.c_str(), open_flags(mode) | O_CLOEXEC, 0666);
  });
  if (fd >= 0) return File(fd);
  return os_error_text(errno);
}

IoResult<bool> Directory::exists(std::string_view name) const {
  if (bad_name(name)) return std::string(kNulInPath);
  const std::string n(name);
  struct stat st;
  if (run_call(FileOp::kStat, fd_, [&](size_t) { return ::fstatat(fd_, n.c_str(), &st, 0); }) ==
      0) {
    return true;
  }
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return os_error_text(errno);
}

IoStatus Directory::rename(std::string_view from, std::string_view to) const {
  if (bad_name(from) || bad_name(to)) return std::string(kNulInPath);
  const std::string f(from), t(to);
  if (run_call(FileOp::kRename, fd_,
               [&](size_t) { return ::renameat(fd_, f.c_str(), fd_, t.c_str()); }) == 0) {
    return {};
  }
  return os_error_text(errno);
}

IoStatus Directory::remove(std::string_view name) const {
  if (bad_name(name)) return std::string(kNulInPath);
  const std::string n(name);
  if (run_call(FileOp::kUnlink, fd_, [&](size_t) { return ::unlinkat(fd_, n.c_str(), 0); }) == 0) {
    return {};
  }
  return os_error_text(errno);
}

IoResult<std::vector<std::string>> Directory::names() const {
  // A description of its own: readdir moves the position, which a dup of
  // fd_ would share with every other holder of the directory.
  const int fd = run_call(FileOp::kOpen, -1, [&](size_t) {
    return ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd < 0) return os_error_text(errno);
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    const int err = errno;
    ::close(fd);
    return os_error_text(err);
  }
  std::vector<std::string> out;
  int err = 0;
  for (;;) {
    const FaultDecision fault = ask(FileOp::kReadDir);
    if (fault.err != 0) {
      err = fault.err;
      break;
    }
    errno = 0;
    const dirent* e = ::readdir(d);
    if (e == nullptr) {
      err = errno;
      break;
    }
    const std::string_view name(e->d_name);
    if (name != "." && name != "..") out.emplace_back(name);
  }
  ::closedir(d);  // closes fd
  if (err != 0) return os_error_text(err);
  return out;
}

IoStatus Directory::sync() const { return sync_descriptor(fd_); }

IoResult<bool> Directory::deleted() const {
  struct stat st;
  if (run_call(FileOp::kFstat, fd_, [&](size_t) { return ::fstat(fd_, &st); }) != 0) {
    return os_error_text(errno);
  }
  return st.st_nlink == 0;
}

IoResult<FileId> Directory::id() const { return fstat_id(fd_); }

IoResult<bool> Directory::try_lock_exclusive() const { return try_flock(fd_); }

// ---------------------------------------------------------------------------
// BufferedWriter

BufferedWriter::BufferedWriter(File file, uint64_t file_end)
    : file_(std::move(file)),
      buf_(std::make_unique<unsigned char[]>(kWriteBufferBytes)),
      durable_end_(file_end) {}

BufferedWriter::~BufferedWriter() {
  if (file_.is_open()) (void)write_out();  // no sync; errors have no one to go to
}

BufferedWriter& BufferedWriter::operator=(BufferedWriter&& other) noexcept {
  if (this != &other) {
    if (file_.is_open()) (void)write_out();
    file_ = std::move(other.file_);
    buf_ = std::move(other.buf_);
    used_ = other.used_;
    durable_end_ = other.durable_end_;
    stuck_ = other.stuck_;
    other.used_ = 0;
  }
  return *this;
}

Result<void, BufferedWriter::Failure> BufferedWriter::write(const void* data, size_t n) {
  if (stuck_ && !cut_back().ok()) return Failure{kPartialWriteStuck, 0};
  if (n <= kWriteBufferBytes - used_) {
    if (n > 0) std::memcpy(buf_.get() + used_, data, n);
    used_ += n;
    return {};
  }
  IoStatus out = write_out();
  if (!out.ok()) return Failure{std::move(out).error(), 0};
  if (n < kWriteBufferBytes) {
    std::memcpy(buf_.get(), data, n);
    used_ = n;
    return {};
  }
  size_t written = 0;
  IoStatus direct = file_.write_all(data, n, kWriteWholeBuffer, &written);
  if (!direct.ok()) {
    // Part of the piece may be in the file: cut it away so the file ends at a
    // piece boundary and the next piece lands where its offset says.
    if (written > 0 && !cut_back().ok()) stuck_ = true;
    return Failure{std::move(direct).error(), written};
  }
  durable_end_ += n;
  return {};
}

IoStatus BufferedWriter::write_out() {
  if (stuck_ && !cut_back().ok()) return std::string(kPartialWriteStuck);
  if (used_ == 0) return {};
  size_t written = 0;
  IoStatus status = file_.write_all(buf_.get(), used_, kWriteBufferedData, &written);
  durable_end_ += written;
  used_ -= written;
  if (used_ > 0 && written > 0) std::memmove(buf_.get(), buf_.get() + written, used_);
  return status;
}

IoStatus BufferedWriter::truncate(uint64_t length) {
  IoStatus out = write_out();
  if (!out.ok()) return out;
  if (length > durable_end_) return os_error_text(EINVAL);
  IoStatus cut = file_.truncate(length);
  if (!cut.ok()) return cut;
  durable_end_ = length;
  // In append mode the position does not matter; otherwise the next write
  // must land at the new end, not after a hole.
  return file_.seek(length);
}

IoStatus BufferedWriter::discard_from(uint64_t offset) {
  if (offset >= durable_end_) {
    used_ = std::min<size_t>(used_, static_cast<size_t>(offset - durable_end_));
    return {};
  }
  used_ = 0;
  durable_end_ = offset;
  IoStatus cut = cut_back();
  if (!cut.ok()) stuck_ = true;
  return cut;
}

IoStatus BufferedWriter::cut_back() {
  IoStatus cut = file_.truncate(durable_end_);
  if (!cut.ok()) return cut;
  IoStatus seek = file_.seek(durable_end_);
  if (!seek.ok()) return seek;
  stuck_ = false;
  return {};
}

// ---------------------------------------------------------------------------
// Reader

Reader::Reader(File& file, uint64_t file_size, size_t buffer_bytes)
    : file_(file),
      size_(file_size),
      buf_(std::make_unique<unsigned char[]>(buffer_bytes)),
      cap_(buffer_bytes) {}

IoResult<size_t> Reader::read_full(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < n) {
    if (begin_ == end_) {
      size_t want = n - got;
      if (want >= cap_) {
        // Large reads skip the buffer.
        IoResult<size_t> r = file_.read_full(p + got, want);
        if (!r.ok()) return std::move(r).error();
        got += r.value();
        pos_ += r.value();
        break;
      }
      IoResult<size_t> r = file_.read_some(buf_.get(), cap_);
      if (!r.ok()) return std::move(r).error();
      if (r.value() == 0) break;
      begin_ = 0;
      end_ = r.value();
    }
    size_t k = std::min(end_ - begin_, n - got);
    std::memcpy(p + got, buf_.get() + begin_, k);
    begin_ += k;
    got += k;
    pos_ += k;
  }
  return got;
}

IoResult<const unsigned char*> Reader::peek(size_t n) {
  if (end_ - begin_ >= n) return static_cast<const unsigned char*>(buf_.get() + begin_);
  if (n > cap_) return static_cast<const unsigned char*>(nullptr);
  // Move the unread tail to the front and fill up behind it.
  if (begin_ > 0) {
    std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ < n) {
    IoResult<size_t> r = file_.read_some(buf_.get() + end_, cap_ - end_);
    if (!r.ok()) return std::move(r).error();
    if (r.value() == 0) return static_cast<const unsigned char*>(nullptr);
    end_ += r.value();
  }
  return static_cast<const unsigned char*>(buf_.get());
}

IoResult<uint64_t> Reader::remaining(uint64_t want) {
  if (size_ >= pos_ && size_ - pos_ >= want) return size_ - pos_;
  IoResult<uint64_t> now = file_.size();
  if (!now.ok()) return std::move(now).error();
  size_ = now.value();
  return size_ > pos_ ? size_ - pos_ : 0;
}

IoStatus Reader::seek(uint64_t offset) {
  IoStatus s = file_.seek(offset);
  if (!s.ok()) return s;
  begin_ = end_ = 0;
  pos_ = offset;
  return {};
}

}  // namespace varnel::storage
