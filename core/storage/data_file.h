// The data file (data.vnl): an append-only sequence of binary vector records,
// the durable copy of a collection's vectors. Records are never moved or
// rewritten; only their first byte, the deleted marker, changes. The file has
// no header, no index and no version: records are found by the offsets that
// append hands out, or by a full scan.
//
// data.vnl: records back to back from offset 0; no header, no padding; integers LE.
//   off      size  field        meaning
//   0        1     deleted      0 when written; 1 means deleted (2..255: damage)
//   1        8     id           u64
//   9        4     dim          u32 = d
//   13       4d    vector       binary32 bit patterns, stored bit for bit (NaN survives)
//   13+4d    4     payload_len  u32 = p
//   17+4d    p     payload      compact JSON text of the Payload, {"data":{...}}
// A record is 17 + 4d + p bytes. Worked example, id 7, vector (0.5, -1.0),
// empty payload, 36 bytes:
//   00  07 00 00 00 00 00 00 00  02 00 00 00  00 00 00 3F  00 00 80 BF
//   0B 00 00 00  7B 22 64 61 74 61 22 3A 7B 7D 7D          ({"data":{}})
//
// Errors are all IoError, with the context phrases below (kOpenDataFile...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "payload.h"
#include "result.h"
#include "storage/file.h"

namespace varnel::storage {

inline constexpr uint64_t kRecordFixedBytes = 17;       // marker + id + dim + payload_len
inline constexpr size_t kScanReadBufferBytes = 1 << 20;  // iter_active / for_each_active
inline constexpr size_t kRecordReadBufferBytes = 8192;   // read_at

// One decoded record. Owns its vector and payload; the payload length is not kept.
struct DataRecord {
  uint64_t id = 0;
  std::vector<float> vector;
  Payload payload;
  bool deleted = false;  // marker byte == 1
  uint64_t offset = 0;   // where the record starts
};

// One active record as a scan meets it, valid only during the call that is
// given it: the components are usually read straight out of the scan's
// buffer, with no copy of their own.
struct DataRecordView {
  uint64_t id = 0;
  uint64_t offset = 0;  // where the record starts
  uint32_t dim = 0;
  Payload* payload = nullptr;  // decoded; the callee may move out of it
  // The `dim` components into out[0 .. dim), bit for bit.
  void copy_vector(float* out) const;

  const unsigned char* vector_le = nullptr;  // 4 * dim bytes as stored, or
  const float* vector = nullptr;             // the components, when decoded already
};

// How a scan (for_each_active / iter_active) ended.
//  - error empty, torn_tail false: every record up to the end of the file was
//    read; stop_offset == file_size.
//  - torn_tail true: the record at stop_offset runs past the end of the file
//    (a field's read met the end: cause "failed to fill whole buffer") and no
//    plausible complete record starts at any later byte (marker 0 or 1, the
//    file's dimension, a payload_len that fits, a payload that decodes). This
//    is what an interrupted append leaves, and only the last record can be
//    torn; still, a damaged length in the last record looks the same, so a
//    caller that cuts it away should weigh file_size - stop_offset.
//  - torn_tail false, error set: the record at stop_offset is damaged (payload
//    not valid JSON, a marker other than 0 or 1, a dim other than the file's,
//    a length running past the end while a plausible record follows: "<field
//    context>the record runs past the end of the file, and a complete record
//    follows at offset Q"), or an I/O failure.
struct DataScanEnd {
  uint64_t stop_offset = 0;    // end of the last whole record read
  uint64_t file_size = 0;      // size taken when the scan began
  bool torn_tail = false;
  std::optional<Error> error;  // what read_at(stop_offset) reports, unless a record follows
};

class DataFile {
 public:
  // Opens the file `name` in `dir` (creating it if missing, never
  // truncating) for reading and appending, keeping a descriptor of `dir` of
  // its own for the readers; next_offset() is the file's size. Reads no
  // records. `dimension`: the components of every record (a collection's
  // dimension): a record of another dim reads back as damage and append
  // refuses it ("write dim failed: "); nullopt for a file of any lengths.
  // IoError "failed to open data file: " / "metadata failed: ".
  static Result<DataFile> open(const Directory& dir, std::string_view name,
                               std::optional<uint32_t> dimension);

  DataFile(DataFile&&) noexcept = default;
  DataFile& operator=(DataFile&&) noexcept = default;
  // Destruction writes the buffer out without fsync, errors ignored.

  // Appends one record and gives its offset (next_offset() before the call).
  // Exclusive access. The vector and payload are only read. The record goes to
  // the write buffer as one piece (no system call while it fits). On failure
  // nothing of the record stays in the buffer or the file and next_offset()
  // is unchanged; the error names the field whose bytes were being written
  // when it failed ("write deleted marker failed: " when no byte of the record
  // reached the file, e.g. while writing the buffer out to make room).
  Result<uint64_t> append(uint64_t id, const float* vector, size_t dim, const Payload& payload);
  Result<uint64_t> append(uint64_t id, std::span<const float> vector, const Payload& payload) {
    return append(id, vector.data(), vector.size(), payload);
  }

  // The record at `offset` as it is in the file (buffered records are not
  // visible), through a handle of its own. `offset` must start a record. A
  // stored dim or payload_len larger than what remains of the file fails with
  // that field's error and "failed to fill whole buffer", before allocating.
  Result<DataRecord> read_at(uint64_t offset) const;

  // Streams every record not marked deleted, in file order, through one
  // handle in one sequential pass. `fn` may move out of the record it is
  // given. Stops quietly (Status ok) at the first record it cannot read; *end
  // tells where and why. Errors: IoError "open for iter failed: ",
  // "metadata failed: ", or whatever `fn` returned (which ends the scan).
  Status for_each_active(const std::function<Status(DataRecord&)>& fn,
                         DataScanEnd* end = nullptr) const;
  // The same scan, each record given as a view of its bytes: the way to
  // read a large file without a vector allocated per record.
  Status for_each_active_view(const std::function<Status(DataRecordView&)>& fn,
                              DataScanEnd* end = nullptr) const;
  // The same scan, gathered into a sequence.
  Result<std::vector<DataRecord>> iter_active(DataScanEnd* end = nullptr) const;

  // Sets the marker of the record at `offset` to 1 through a handle of its
  // own, no fsync. Exclusive access: a record still in the write buffer is
  // written out first ("flush failed: "). An offset at or past next_offset()
  // is refused ("write delete marker failed: ") rather than writing past the
  // last record. Also "open for delete failed: ", "seek failed: ",
  // "flush failed: " (writing the marker byte).
  Status mark_deleted(uint64_t offset);

  // Writes the buffer out ("flush failed: ") and fsyncs ("sync failed: ").
  Status flush();

  // Cuts the file to `offset` bytes, e.g. a torn last record found by a scan,
  // before appending. Writes the buffer out first; `offset` may not exceed
  // the file's end. The cut is synced before the call returns. IoError
  // "truncate failed: ", "sync failed: ".
  Status truncate_to(uint64_t offset);

  // The file now goes by `name` in the same directory (it was renamed);
  // readers open that name.
  void renamed_to(std::string name) { name_ = std::move(name); }

  uint64_t next_offset() const { return writer_.end(); }
  // Bytes written out to the file so far; records at or past it are buffered.
  uint64_t durable_end() const { return writer_.durable_end(); }
  bool is_buffered(uint64_t offset) const { return offset >= writer_.durable_end(); }
  const Directory& directory() const { return dir_; }
  const std::string& name() const { return name_; }
  std::optional<uint32_t> dimension() const { return dimension_; }

 private:
  DataFile(Directory dir, std::string name, std::optional<uint32_t> dimension,
           BufferedWriter writer)
      : dir_(std::move(dir)),
        name_(std::move(name)),
        dimension_(dimension),
        writer_(std::move(writer)) {}

  Directory dir_;               // a descriptor of its own; readers open name_ in it
  std::string name_;            // the file's name in dir_
  std::optional<uint32_t> dimension_;  // every record's dim, when known
  BufferedWriter writer_;       // end() == size at open + appended records
  std::string record_buf_;      // append's encoding buffer, reused
};

}  // namespace varnel::storage
