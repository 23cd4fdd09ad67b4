// The frame layout and the entry text are in wal.h.
#include "storage/wal.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#include "coding.h"
#include "float_text.h"
#include "float_text_simd.h"
#include "json.h"
#include "storage/context.h"

namespace varnel::storage {
namespace {

constexpr const char* kSerialize = "serialization failed: ";
constexpr const char* kWriteChecksum = "write checksum failed: ";
constexpr const char* kWriteLength = "write length failed: ";
constexpr const char* kWriteData = "write data failed: ";
constexpr const char* kOpenForRead = "failed to open WAL for read: ";
constexpr const char* kReadChecksum = "read checksum failed: ";
constexpr const char* kReadLength = "read length failed: ";
constexpr const char* kReadData = "read data failed: ";
constexpr const char* kDeserialize = "deserialization failed: ";

constexpr std::string_view kKindNames[] = {"Insert", "Update", "Delete", "Checkpoint"};
constexpr std::string_view kEntryFields[] = {"kind", "id", "vector", "payload"};

uint32_t crc32_of(const char* data, size_t n) {
  // zlib takes the length as uInt; frames are at most 4 GiB - 1 bytes.
  return static_cast<uint32_t>(
      ::crc32(0L, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(n)));
}

// The first bytes of every entry's text this system writes: what makes the
// search for a complete frame after a damaged length cheap.
constexpr std::string_view kEntryStart = "{\"kind\":\"";
constexpr size_t kSearchPieceBytes = 64 * 1024;

// Reads exactly n bytes at `offset`; false when the file ends first.
IoResult<bool> read_exact_at(File& file, uint64_t offset, void* out, size_t n) {
  IoResult<size_t> got = file.read_full_at(offset, out, n);
  if (!got.ok()) return std::move(got).error();
  return got.value() == n;
}

// Whether a complete frame starts at some byte offset after `from` and
// before `size`: a header whose length fits in the file and whose checksum
// matches data that begins with kEntryStart.
IoResult<bool> complete_frame_after(File& file, uint64_t from, uint64_t size) {
  // A candidate's data starts at p, its header at p - 8 > from.
  const uint64_t first = from + 1 + kFrameHeaderBytes;
  std::string piece;
  std::string data;
  for (uint64_t at = first; at + kEntryStart.size() <= size; at += kSearchPieceBytes) {
    // Each piece reads kEntryStart.size() - 1 bytes into the next, so a text
    // start across the boundary is found once.
    const uint64_t want = std::min<uint64_t>(size - at, kSearchPieceBytes + kEntryStart.size() - 1);
    piece.resize(static_cast<size_t>(want));
    IoResult<bool> got = read_exact_at(file, at, piece.data(), piece.size());
    if (!got.ok()) return std::move(got).error();
    if (!got.value()) return false;  // the file shrank meanwhile
    for (size_t i = piece.find(kEntryStart); i != std::string::npos && i < kSearchPieceBytes;
         i = piece.find(kEntryStart, i + 1)) {
      const uint64_t p = at + i;
      unsigned char head[kFrameHeaderBytes];
      IoResult<bool> h = read_exact_at(file, p - kFrameHeaderBytes, head, sizeof head);
      if (!h.ok()) return std::move(h).error();
      const uint32_t n = get_u32_le(head + 4);
      if (!h.value() || n < kEntryStart.size() || n > size - p) continue;
      data.resize(n);
      IoResult<bool> d = read_exact_at(file, p, data.data(), n);
      if (!d.ok()) return std::move(d).error();
      if (d.value() && crc32_of(data.data(), n) == get_u32_le(head)) return true;
    }
  }
  return false;
}

}  // namespace

std::string_view wal_entry_kind_name(WalEntryKind kind) {
  const auto code = static_cast<size_t>(kind);
  return code >= 1 && code <= 4 ? kKindNames[code - 1] : std::string_view();
}

namespace {

// JSON has no form for infinities and NaN; the writer would put null there
// and the reader refuses null, so such an entry could never be replayed.
Result<void, std::string> check_finite(const float* vector, size_t dim) {
  for (size_t i = 0; i < dim; ++i) {
    const float v = vector[i];
    if (!std::isfinite(v)) {
      const char* what = std::isnan(v) ? "NaN" : (v > 0 ? "inf" : "-inf");
      return "vector component " + std::to_string(i) + " is " + what +
             ", which has no JSON form";
    }
  }
  return {};
}

// Room that encode_text may need: the fixed keys, the longest kind name and
// u64, a component and a comma per dimension, the payload's text.
size_t text_bound(size_t dim, size_t payload_bytes) {
  return 96 + dim * (kMaxF32Chars + 1) + payload_bytes;
}

char* put(char* o, std::string_view s) {
  std::memcpy(o, s.data(), s.size());
  return o + s.size();
}

// Writes the entry's text at `o`, which has text_bound() bytes of room;
// gives the end. The components must be finite.
char* encode_text(char* o, WalEntryKind kind, uint64_t id, const float* vector, size_t dim,
                  std::string_view payload_text) {
  o = put(o, "{\"kind\":\"");
  o = put(o, wal_entry_kind_name(kind));
  o = put(o, "\",\"id\":");
  o = std::to_chars(o, o + 20, id).ptr;  // a u64 has at most 20 digits
  o = put(o, ",\"vector\":[");
  o = write_f32_list(o, vector, dim);
  o = put(o, "],\"payload\":");
  o = put(o, payload_text);
  *o++ = '}';
  return o;
}

// The one encoder of an entry: refuses a non-finite component, then writes
// the text at buf[at ...), growing `buf` to the room the text may need (never
// shrinking it); gives the text's length. A non-empty payload's text goes
// through `payload_scratch`.
template <typename Buffer>
Result<size_t, std::string> encode_entry(Buffer& buf, size_t at, WalEntryKind kind, uint64_t id,
                                         const float* vector, size_t dim, const Payload& payload,
                                         std::string& payload_scratch) {
  Result<void, std::string> finite = check_finite(vector, dim);
  if (!finite.ok()) return std::move(finite).error();
  std::string_view ptext = kEmptyPayloadText;
  if (!payload.empty()) {
    payload_scratch.clear();
    payload.write_json(payload_scratch);
    ptext = payload_scratch;
  }
  const size_t room = at + text_bound(dim, ptext.size());
  if (buf.size() < room) buf.resize(room);
  char* const start = buf.data() + at;
  return static_cast<size_t>(encode_text(start, kind, id, vector, dim, ptext) - start);
}

}  // namespace

Result<void, std::string> encode_wal_entry(std::string& out, WalEntryKind kind, uint64_t id,
                                           std::span<const float> vector,
                                           const Payload& payload) {
  const size_t start = out.size();
  std::string payload_text;
  Result<size_t, std::string> n =
      encode_entry(out, start, kind, id, vector.data(), vector.size(), payload, payload_text);
  if (!n.ok()) return std::move(n).error();
  out.resize(start + n.value());
  return {};
}

Result<WalEntry> WalEntry::from_bytes(std::string_view bytes) {
  WalEntry e;
  json::Reader r(bytes);
  json::StructReader s(r, "WalEntry", kEntryFields);
  for (int f; (f = s.next_field()) >= 0;) {
    switch (f) {
      case 0: {
        size_t k = 0;
        if (r.read_variant(kKindNames, "enum WalEntryKind", &k)) {
          e.kind = static_cast<WalEntryKind>(k + 1);
        }
        break;
      }
      case 1:
        r.read_u64(&e.id);
        break;
      case 2:
        r.read_f32_array(&e.vector);
        break;
      case 3:
        Payload::read_json(r, &e.payload);
        break;
    }
  }
  if (!r.finish()) return Error::wal_corrupted(kDeserialize + r.error());
  return e;
}

Result<Wal> Wal::open(const Directory& dir, std::string_view name, SyncPolicy policy) {
  // A descriptor of its own: checkpoint and the readers reach the file again.
  IoResult<Directory> own = dir.dup();
  if (!own.ok()) return io(kOpenWal, std::move(own).error());
  IoResult<File> file = dir.open_file(name, OpenMode::kReadAppendCreate);
  if (!file.ok()) return io(kOpenWal, std::move(file).error());
  // The writer needs to know where the file ends to cut back a torn write.
  IoResult<uint64_t> size = file.value().size();
  if (!size.ok()) return io(kOpenWal, std::move(size).error());
  return Wal(std::move(own).value(), std::string(name),
             BufferedWriter(std::move(file).value(), size.value()), policy);
}

// The log's own thread: one fsync at a time, handed over by start() and
// collected by wait().
class Wal::Syncer {
 public:
  Syncer() : thread_([this] { run(); }) {}
  ~Syncer() {
    {
      std::lock_guard guard(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();  // a sync handed over is finished first
  }
  Syncer(const Syncer&) = delete;
  Syncer& operator=(const Syncer&) = delete;

  void start(int fd) {
    {
      std::lock_guard guard(lock_);
      fd_ = fd;
      state_ = State::kQueued;
      finished_.store(false, std::memory_order_relaxed);
    }
    wake_.notify_all();
  }
  // Without waiting: whether the sync handed over has returned.
  bool finished() const { return finished_.load(std::memory_order_acquire); }
  IoStatus wait() {
    std::unique_lock guard(lock_);
    wake_.wait(guard, [&] { return state_ == State::kDone; });
    state_ = State::kIdle;
    return std::move(result_);
  }

 private:
  enum class State : uint8_t { kIdle, kQueued, kSyncing, kDone };

  void run() {
    std::unique_lock guard(lock_);
    for (;;) {
      wake_.wait(guard, [&] { return stop_ || state_ == State::kQueued; });
      if (state_ != State::kQueued) return;  // stopped with nothing handed over
      state_ = State::kSyncing;
      const int fd = fd_;
      guard.unlock();
      IoStatus result = sync_descriptor(fd);
      guard.lock();
      result_ = std::move(result);
      state_ = State::kDone;
      finished_.store(true, std::memory_order_release);
      wake_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  State state_ = State::kIdle;
  bool stop_ = false;
  int fd_ = -1;
  IoStatus result_;
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: it starts once the rest is built
};

Wal::Wal(Directory dir, std::string name, BufferedWriter writer, SyncPolicy policy)
    : dir_(std::move(dir)),
      name_(std::move(name)),
      writer_(std::move(writer)),
      sync_policy_(policy) {}

Wal::Wal(Wal&&) noexcept = default;
Wal& Wal::operator=(Wal&&) noexcept = default;

Wal::~Wal() { syncer_.reset(); }

Status Wal::append(WalEntryKind kind, uint64_t id, const float* vector, size_t dim,
                   const Payload& payload, SyncTiming timing) {
  // The buffer only grows: steady-state appends allocate nothing and never
  // pay for zero-filling it again.
  Result<size_t, std::string> encoded = encode_entry(frame_buf_, kFrameHeaderBytes, kind, id,
                                                     vector, dim, payload, payload_buf_);
  if (!encoded.ok()) return Error::wal_corrupted(kSerialize + std::move(encoded).error());
  char* const frame = frame_buf_.data();
  const size_t n = encoded.value();
  const std::string_view written(frame + kFrameHeaderBytes, n);
  // A payload the reader would refuse (a string that is not UTF-8, nesting
  // past the limit) would make every later read of the log fail. Only such a
  // payload pays for the read-back.
  if (!payload.empty() && !payload.check_writable(1).empty()) {
    Result<WalEntry> back = WalEntry::from_bytes(written);
    if (!back.ok()) {
      // The decoder's text without its own context phrase.
      std::string why = back.error().text().substr(std::string_view(kDeserialize).size());
      return Error::wal_corrupted(kSerialize + std::string("the payload would not read back: ") +
                                  why);
    }
  }
  if (n > std::numeric_limits<uint32_t>::max()) {
    return Error::wal_corrupted(std::string(kSerialize) +
                                "the entry's text is longer than a frame can hold");
  }
  auto* head = reinterpret_cast<unsigned char*>(frame);
  put_u32_le(head, crc32_of(frame + kFrameHeaderBytes, n));
  put_u32_le(head + 4, static_cast<uint32_t>(n));

  // One piece: a write-out of the buffer never leaves half a frame behind.
  Result<void, BufferedWriter::Failure> put = writer_.write(frame, kFrameHeaderBytes + n);
  if (!put.ok()) {
    BufferedWriter::Failure& f = put.error();
    const char* context = f.piece_bytes_written < 4   ? kWriteChecksum
                          : f.piece_bytes_written < 8 ? kWriteLength
                                                      : kWriteData;
    return io(context, std::move(f.cause));
  }
  ++unsynced_appends_;
  ++appended_;
  if (behind_ && syncer_->finished()) {
    Status taken = take_sync_behind();
    if (!taken.ok()) return taken;
  }

  switch (sync_policy_) {
    case SyncPolicy::kAlways:
      return sync();
    case SyncPolicy::kBatch:
      if (unsynced_appends_ < batch_size_) return {};
      return timing == SyncTiming::kBehind ? start_sync_behind() : sync();
    default:
      return {};
  }
}

Status Wal::start_sync_behind() {
  if (behind_) {
    Status taken = take_sync_behind();
    if (!taken.ok()) return taken;
  }
  IoStatus out = writer_.write_out();
  if (!out.ok()) return io(kFlushFailed, std::move(out).error());
  if (syncer_ == nullptr) syncer_ = std::make_unique<Syncer>();
  behind_ = true;
  behind_covers_ = appended_;
  unsynced_appends_ = 0;
  syncer_->start(writer_.fd());
  return {};
}

Status Wal::take_sync_behind() {
  behind_ = false;
  IoStatus result = syncer_->wait();
  if (!result.ok()) {
    unsynced_appends_ = static_cast<size_t>(appended_ - synced_);
    return io(kSyncFailed, std::move(result).error());
  }
  synced_ = std::max(synced_, behind_covers_);
  return {};
}

Status Wal::settle() { return behind_ ? take_sync_behind() : Status{}; }

Status Wal::sync() {
  Status settled = settle();
  if (!settled.ok()) return settled;
  Status synced = write_out_and_sync(writer_);
  if (!synced.ok()) return synced;
  unsynced_appends_ = 0;
  synced_ = appended_;
  return {};
}

Status Wal::checkpoint() {
  Status marker = append(WalEntryKind::kCheckpoint, 0, nullptr, 0, Payload{});
  if (!marker.ok()) return marker;
  Status synced = sync();
  if (!synced.ok()) return synced;
  IoResult<File> fresh = dir_.open_file(name_, OpenMode::kWriteCreateTruncate);
  if (!fresh.ok()) return io(kTruncateFailed, std::move(fresh).error());
  // The old writer's buffer is empty after the sync; replacing it closes the
  // old handle. The new handle writes from 0, the end of the emptied file.
  writer_ = BufferedWriter(std::move(fresh).value(), 0);
  return {};
}

Status Wal::read_each(const Directory& dir, std::string_view name,
                      const std::function<Status(WalEntry&)>& fn, WalReadEnd* end) {
  WalReadEnd local;
  WalReadEnd& out = end != nullptr ? *end : local;
  out = WalReadEnd{};
  // No file at all is an empty log. A stat that fails for another reason
  // says nothing about the frames the file may hold: reported, never taken
  // for an empty log.
  IoResult<bool> exists = dir.exists(name);
  if (!exists.ok()) return io(kOpenForRead, std::move(exists).error());
  if (!exists.value()) return {};
  IoResult<File> file = dir.open_file(name, OpenMode::kReadOnly);
  if (!file.ok()) return io(kOpenForRead, std::move(file).error());
  IoResult<uint64_t> size = file.value().size();
  if (!size.ok()) return io(kMetadataFailed, std::move(size).error());
  out.file_size = size.value();
  if (out.file_size == 0) return {};

  Reader in(file.value(), out.file_size, kWalReadBufferBytes);
  std::string data;
  for (;;) {
    unsigned char head[4];
    IoResult<size_t> got = in.read_full(head, 4);
    if (!got.ok()) return io(kReadChecksum, std::move(got).error());
    // The end of the file before a frame's first byte: the clean end.
    if (got.value() == 0) return {};
    // 1 to 3 bytes of a checksum: a torn tail, ignored.
    if (got.value() < 4) {
      out.torn_tail = true;
      return {};
    }
    const uint32_t stored = get_u32_le(head);

    got = in.read_full(head, 4);
    if (!got.ok()) return io(kReadLength, std::move(got).error());
    // Part of a length: a torn tail, reported as the short read it is.
    if (got.value() < 4) {
      out.torn_tail = true;
      return io(kReadLength, kFillWholeBuffer);
    }
    const uint32_t n = get_u32_le(head);

    // A length beyond the end of the file is refused before anything is
    // allocated for it. A torn append can only be the last frame: when a
    // complete frame follows anywhere after this one's start, the length is
    // damaged, and cutting here would undo every later frame.
    IoResult<uint64_t> left = in.remaining(n);
    if (!left.ok()) return io(kReadData, std::move(left).error());
    if (left.value() < n) {
      const uint64_t start = in.position() - kFrameHeaderBytes;
      IoResult<bool> follows = complete_frame_after(file.value(), start, in.position() + left.value());
      if (!follows.ok()) return io(kReadData, std::move(follows).error());
      if (follows.value()) {
        return Error::wal_corrupted("damaged frame at offset " + std::to_string(start) +
                                    ": its length " + std::to_string(n) +
                                    " runs past the end of the file, and complete frames follow");
      }
      out.torn_tail = true;
      return io(kReadData, kFillWholeBuffer);
    }
    data.resize(n);
    got = in.read_full(data.data(), n);
    if (!got.ok()) return io(kReadData, std::move(got).error());
    if (got.value() < n) {
      out.torn_tail = true;
      return io(kReadData, kFillWholeBuffer);
    }

    // A complete frame whose checksum differs is corruption, never skipped.
    const uint32_t computed = crc32_of(data.data(), n);
    if (computed != stored) {
      return Error::wal_corrupted("checksum mismatch: expected " + std::to_string(stored) +
                                  ", got " + std::to_string(computed));
    }
    Result<WalEntry> entry = WalEntry::from_bytes(data);
    if (!entry.ok()) return std::move(entry).error();

    out.complete_end = in.position();
    ++out.entries;
    Status s = fn(entry.value());
    if (!s.ok()) return s;
  }
}

Result<std::vector<WalEntry>> Wal::read_all() const {
  std::vector<WalEntry> entries;
  Status s = read_each([&entries](WalEntry& e) {
    entries.push_back(std::move(e));
    return Status{};
  });
  if (!s.ok()) return std::move(s).error();
  return entries;
}

Status Wal::rollback_to(uint64_t offset, uint64_t appended) {
  (void)settle();  // its failure is what the caller is undoing
  IoStatus cut = writer_.discard_from(offset);
  appended_ = std::min(appended_, appended);
  synced_ = std::min(synced_, appended_);
  unsynced_appends_ = static_cast<size_t>(appended_ - synced_);
  if (!cut.ok()) return io(kTruncateFailed, std::move(cut).error());
  return {};
}

Status Wal::truncate_to(uint64_t offset) {
  Status settled = settle();
  if (!settled.ok()) return settled;
  return truncate_and_sync(writer_, offset);
}

}  // namespace varnel::storage
