// The write-ahead log (wal.log): every change is framed and appended here
// before it is applied, and read back in order when a collection reopens. The
// log stores and returns entries; it knows nothing of what they mean. Only a
// sync (or a sync policy) puts frames on stable storage; a checkpoint empties
// the file.
//
// wal.log: frames back to back from offset 0; no header, no padding; integers LE.
//   off  size  field     meaning
//   0    4     checksum  u32 CRC-32 (zlib crc32, IEEE) of the data bytes only
//   4    4     length    u32 = n
//   8    n     data      the entry as compact JSON text, UTF-8
// A frame is 8 + n bytes. The text is, with no blanks:
//   {"kind":"<Insert|Update|Delete|Checkpoint>","id":<u64>,"vector":[<f32>,...],
//    "payload":<payload text>}
// Components are float32 shortest digits: plain decimal with at least one
// fractional digit when the first digit's exponent is in [-6, 12] (1.0, 0.5,
// 0.000001), else d[.ddd]e±X (1e+13, 1e-7); zero is 0.0, -0.0 keeps its sign.
// Worked example, the Checkpoint frame (70 bytes, whatever the policy):
//   37 C7 F2 D5  3E 00 00 00  {"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}}
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "payload.h"
#include "result.h"
#include "storage/file.h"

namespace varnel::storage {

inline constexpr size_t kFrameHeaderBytes = 8;
// The context of a failed open of the log (also the writer lock's open of it).
inline constexpr const char* kOpenWal = "failed to open WAL: ";
inline constexpr size_t kWalBatchSize = 100;            // appends per fsync under kBatch
inline constexpr size_t kWalReadBufferBytes = 64 * 1024;

// The numeric codes are the in-memory values; the file holds the JSON names.
enum class WalEntryKind : uint8_t { kInsert = 1, kUpdate = 2, kDelete = 3, kCheckpoint = 4 };
// "Insert", "Update", "Delete", "Checkpoint".
std::string_view wal_entry_kind_name(WalEntryKind kind);

// Any value other than kAlways and kBatch behaves as kManual.
enum class SyncPolicy : uint8_t {
  kAlways = 0,  // fsync after every append
  kBatch = 1,   // fsync after the append that brings unsynced appends to 100
  kManual = 2,  // fsync only in sync() and checkpoint()
};

// When a policy sync that an append brings due runs. kInline: before the
// append returns. kBehind (for a run of appends from one caller, such as a
// batch insert): the buffer is written out, the fsync starts on the log's own
// thread, and the append returns while it runs, so the next frames are
// encoded and written meanwhile; the caller ends the run with settle(). Only
// kBatch's syncs run behind; kAlways syncs every append inline.
enum class SyncTiming : uint8_t { kInline = 0, kBehind = 1 };

struct WalEntry {
  WalEntryKind kind = WalEntryKind::kInsert;
  uint64_t id = 0;
  std::vector<float> vector;
  Payload payload;

  // Decodes one frame's data. Accepts an object (members in any order, other
  // members ignored) or a four-element array in field order; WalCorrupted
  // "deserialization failed: " with the JSON reader's text otherwise.
  static Result<WalEntry> from_bytes(std::string_view bytes);
};

// Appends the entry's JSON text to `out`. Fails, appending nothing, with a
// cause naming the first component that is not finite (JSON has no form for
// it, and the reader would refuse the null the writer would put there).
Result<void, std::string> encode_wal_entry(std::string& out, WalEntryKind kind, uint64_t id,
                                           std::span<const float> vector, const Payload& payload);

// How a streaming read of the log ended. Every frame before complete_end was
// read whole, its checksum matched and it decoded; torn_tail says the read
// stopped because the file ended inside a frame (its checksum, length or
// data), which is what a process killed mid-write leaves. A reader that
// recovers should then cut the log back to complete_end before appending, or
// new frames would land after the torn bytes.
struct WalReadEnd {
  uint64_t complete_end = 0;
  uint64_t file_size = 0;  // size taken when the read began
  uint64_t entries = 0;    // entries handed to the callback
  bool torn_tail = false;
};

class Wal {
 public:
  // Opens the file `name` in `dir` (creating it if missing, never
  // truncating) for reading and appending, and keeps a descriptor of `dir`
  // of its own for checkpoint and the readers. Reads no frames. IoError
  // "failed to open WAL: " (also when the directory's descriptor cannot be
  // duplicated or the file's size cannot be taken).
  static Result<Wal> open(const Directory& dir, std::string_view name, SyncPolicy policy);

  Wal(Wal&&) noexcept;
  Wal& operator=(Wal&& other) noexcept;
  // Destruction waits for a sync still running behind, then writes the
  // buffer out without fsync, errors ignored.
  ~Wal();

  // Appends one frame, then applies the sync policy. Exclusive access. The
  // entry (or vector and payload) is only read; encoding reuses one buffer.
  // A vector with a non-finite component is refused before anything is
  // written: WalCorrupted "serialization failed: ". The frame goes to the
  // writer as one piece; if writing fails, nothing of it stays in the buffer
  // or the file and the error names the field being written when it failed
  // ("write checksum failed: " when no byte of the frame had reached the
  // file, e.g. while the buffer was written out to make room; then "write
  // length failed: ", "write data failed: "). A failed policy sync returns
  // "flush failed: " / "sync failed: " with the frame already appended.
  // Under kBehind, a policy sync that falls due first waits for the one
  // still running behind, whose failure ("sync failed: ") it then returns
  // in the same way; and an append that finds the sync behind finished
  // takes its outcome (synced() moves on, or its failure is returned so).
  // After a failed sync the frames it was to cover count as unsynced again.
  Status append(WalEntryKind kind, uint64_t id, const float* vector, size_t dim,
                const Payload& payload, SyncTiming timing = SyncTiming::kInline);
  Status append(const WalEntry& entry) {
    return append(entry.kind, entry.id, entry.vector.data(), entry.vector.size(), entry.payload);
  }

  // Writes the buffer out ("flush failed: ") and fsyncs ("sync failed: ");
  // on success unsynced_appends() is 0. A sync running behind is waited
  // for first and its failure returned. Exclusive access.
  Status sync();

  // Waits for the sync running behind, if any: on success synced() covers
  // every frame appended before it began; its failure is "sync failed: ".
  // Exclusive access.
  Status settle();
  // Whether a sync is running behind the appends (its outcome not taken).
  bool sync_behind() const { return behind_; }

  // Appends a Checkpoint entry, syncs, then empties the file by opening it
  // anew by name in the directory, with truncation ("truncate failed: "; the file then keeps every
  // frame, the Checkpoint last). Exclusive access.
  Status checkpoint();

  // Streams the entries of the file `name` in `dir`, in order, through a
  // handle of its own (frames still in a writer's buffer are not seen). `fn` may move
  // out of the entry it is given; an error from it ends the read and is
  // returned as is. Stop conditions, in file order:
  //  - no file (stat fails), or an empty file: ok, nothing read;
  //  - open fails: IoError "failed to open WAL for read: ";
  //  - size fails: IoError "metadata failed: ";
  //  - end of file before a checksum's first byte: ok (the clean end);
  //  - end of file after 1 to 3 bytes of a checksum: ok, torn_tail;
  //  - end of file inside a length: IoError "read length failed: failed to
  //    fill whole buffer", torn_tail;
  //  - a length larger than what remains, when no complete frame follows
  //    (see below), or the end of file inside the data: IoError "read data
  //    failed: failed to fill whole buffer", torn_tail; nothing is
  //    allocated for such a length;
  //  - a length larger than what remains while a complete frame (a header
  //    whose length fits and whose checksum matches data that starts with
  //    {"kind":") begins at some later byte offset: the length is damaged,
  //    not torn. WalCorrupted "damaged frame at offset O: its length N runs
  //    past the end of the file, and complete frames follow"; not torn_tail,
  //    so nothing is cut;
  //  - other read failures: IoError "read checksum failed: " / "read length
  //    failed: " / "read data failed: ";
  //  - checksum differs: WalCorrupted "checksum mismatch: expected S, got C"
  //    (stored, computed) - never skipped;
  //  - data does not decode: WalCorrupted "deserialization failed: ".
  // Entries before a stop have already gone to `fn`; *end says how far the
  // complete frames reach.
  static Status read_each(const Directory& dir, std::string_view name,
                          const std::function<Status(WalEntry&)>& fn, WalReadEnd* end = nullptr);
  Status read_each(const std::function<Status(WalEntry&)>& fn, WalReadEnd* end = nullptr) const {
    return read_each(dir_, name_, fn, end);
  }

  // Every entry of the file, or the error that stopped read_each (then no
  // entries). Changes nothing in the Wal.
  Result<std::vector<WalEntry>> read_all() const;

  // Cuts the file to `offset` bytes (a torn tail that read_each reported),
  // writing the buffer out first; `offset` may not exceed the file's end.
  // Meant for right after open, before appending. The cut is synced before
  // the call returns. IoError "truncate failed: ", "sync failed: ".
  Status truncate_to(uint64_t offset);

  // Takes back every frame appended after the first `appended` appends
  // (appended() at some earlier moment, whose end_offset() was `offset`):
  // a sync running behind is waited for (its outcome dropped), the frames
  // leave the buffer and the file. Its failure is "truncate failed: "; the
  // writer then retries the cut before any later frame.
  Status rollback_to(uint64_t offset, uint64_t appended);

  // The directory (its own descriptor) and the file's name in it.
  const Directory& directory() const { return dir_; }
  const std::string& name() const { return name_; }
  SyncPolicy sync_policy() const { return sync_policy_; }
  size_t unsynced_appends() const { return unsynced_appends_; }
  size_t batch_size() const { return batch_size_; }
  // Frames appended since open (a checkpoint's own frame included), and how
  // many of the first of them the last successful sync made durable: the
  // frame of the n-th append is on stable storage once synced() >= n. A
  // sync running behind counts once its outcome is taken.
  uint64_t appended() const { return appended_; }
  uint64_t synced() const { return synced_; }
  // Where the next frame will start (file size at open plus frames appended).
  uint64_t end_offset() const { return writer_.end(); }

 private:
  class Syncer;

  Wal(Directory dir, std::string name, BufferedWriter writer, SyncPolicy policy);

  Status start_sync_behind();
  Status take_sync_behind();

  // The thread syncs behind run on, started by the first; it syncs the
  // writer's descriptor. First of the members, so that a move-assignment
  // stops it before the writer it syncs is replaced (and ~Wal stops it
  // before the writer closes).
  std::unique_ptr<Syncer> syncer_;
  Directory dir_;                 // a descriptor of its own; checkpoint and readers reopen name_ in it
  std::string name_;              // the file's name in dir_
  BufferedWriter writer_;         // over the append handle, 8 KiB buffer
  size_t unsynced_appends_ = 0;   // appends since the last successful sync
  uint64_t appended_ = 0;         // appends since open
  uint64_t synced_ = 0;           // appended_ as of the last successful sync
  size_t batch_size_ = kWalBatchSize;
  SyncPolicy sync_policy_;
  std::vector<char> frame_buf_;   // append's encoding buffer: header + text; only grows
  std::string payload_buf_;       // a non-empty payload's text, reused
  bool behind_ = false;           // a sync runs behind, its outcome not taken
  uint64_t behind_covers_ = 0;    // appended_ when it began
};

}  // namespace varnel::storage
