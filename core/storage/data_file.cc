// The record layout is in data_file.h.
#include "storage/data_file.h"

#include <errno.h>

#include <bit>
#include <cstring>
#include <limits>

#include "coding.h"
#include "storage/context.h"

namespace varnel::storage {
namespace {

constexpr const char* kOpenDataFile = "failed to open data file: ";
constexpr const char* kPayloadSerialize = "payload serialization failed: ";
constexpr const char* kWriteDeleted = "write deleted marker failed: ";
constexpr const char* kWriteId = "write id failed: ";
constexpr const char* kWriteDim = "write dim failed: ";
constexpr const char* kWriteVector = "write vector failed: ";
constexpr const char* kWritePayloadLen = "write payload_len failed: ";
constexpr const char* kWritePayload = "write payload failed: ";
constexpr const char* kOpenForRead = "open for read failed: ";
constexpr const char* kSeek = "seek failed: ";
constexpr const char* kReadDeleted = "read deleted failed: ";
constexpr const char* kReadId = "read id failed: ";
constexpr const char* kReadDim = "read dim failed: ";
constexpr const char* kReadVector = "read vector failed: ";
constexpr const char* kReadPayloadLen = "read payload_len failed: ";
constexpr const char* kReadPayload = "read payload failed: ";
constexpr const char* kPayloadDeserialize = "payload deserialize failed: ";
constexpr const char* kOpenForIter = "open for iter failed: ";
constexpr const char* kOpenForDelete = "open for delete failed: ";
constexpr const char* kWriteDeleteMarker = "write delete marker failed: ";

// The field of a record that holds byte `at`, for a record of d components.
const char* write_context(size_t at, size_t d) {
  if (at < 1) return kWriteDeleted;
  if (at < 9) return kWriteId;
  if (at < 13) return kWriteDim;
  if (at < 13 + 4 * d) return kWriteVector;
  if (at < 17 + 4 * d) return kWritePayloadLen;
  return kWritePayload;
}

// Why a record could not be read.
struct ReadFailure {
  Error error;
  bool torn = false;  // the end of the file came first
};

// Reads exactly n bytes or fails with `context` and the cause.
bool read_field(Reader& in, void* out, size_t n, const char* context, ReadFailure* fail) {
  IoResult<size_t> got = in.read_full(out, n);
  if (!got.ok()) {
    *fail = {io(context, std::move(got).error()), false};
    return false;
  }
  if (got.value() < n) {
    *fail = {io(context, kFillWholeBuffer), true};
    return false;
  }
  return true;
}

// Checks that `want` more bytes exist before anything is allocated for them,
// so a damaged length cannot ask for gigabytes.
bool check_remaining(Reader& in, uint64_t want, const char* context, ReadFailure* fail) {
  IoResult<uint64_t> left = in.remaining(want);
  if (!left.ok()) {
    *fail = {io(context, std::move(left).error()), false};
    return false;
  }
  if (left.value() < want) {
    *fail = {io(context, kFillWholeBuffer), true};
    return false;
  }
  return true;
}

// Looks at the next n bytes (n at most the read buffer) in place. When the
// file ends or a read fails first, the error names the field that holds the
// first missing byte: field_at(bytes that were there).
template <typename FieldAt>
bool look(Reader& in, size_t n, FieldAt field_at, const unsigned char** out, ReadFailure* fail) {
  IoResult<const unsigned char*> p = in.peek(n);
  if (p.ok() && p.value() != nullptr) {
    *out = p.value();
    return true;
  }
  const char* context = field_at(in.buffered());
  if (!p.ok()) {
    *fail = {io(context, std::move(p).error()), false};
  } else {
    *fail = {io(context, kFillWholeBuffer), true};
  }
  return false;
}

void load_components(const unsigned char* p, float* out, size_t d) {
  if constexpr (std::endian::native == std::endian::little) {
    if (d > 0) std::memcpy(out, p, 4 * d);
  } else {
    for (size_t i = 0; i < d; ++i) out[i] = bits_float(get_u32_le(p + 4 * i));
  }
}

bool decode_payload(std::string_view text, Payload& out, ReadFailure* fail) {
  if (text == kEmptyPayloadText) {
    if (!out.data.empty()) out.data.clear();  // the common case, without the parser
    return true;
  }
  Result<Payload, std::string> payload = Payload::from_json(text);
  if (!payload.ok()) {
    *fail = {io(kPayloadDeserialize, std::move(payload).error()), false};
    return false;
  }
  out = std::move(payload).value();
  return true;
}

// What decode_record reads into when a record is too large to be looked
// at in place in the reader's buffer, and the decoded payload.
struct RecordScratch {
  std::vector<float> vector;
  std::string text;
  Payload payload;
};

// The one decoder of a data record (read_at and the scan both use it): reads
// the record at the reader's position into `view` and *deleted, leaving the
// reader at the next record. A record that fits the buffer (`cap` bytes) is
// looked at whole, in place, its components left in the buffer; a larger one
// is read field by field, each large part checked against what remains of
// the file and then read into `s`. Each failure names the field holding the
// first missing byte. The view is valid until the reader moves on.
bool decode_record(Reader& in, size_t cap, std::optional<uint32_t> dimension, RecordScratch& s,
                   DataRecordView& view, bool* deleted, ReadFailure* fail) {
  const unsigned char* p = nullptr;
  auto head_field = [](size_t have) {
    return have < 1 ? kReadDeleted : have < 9 ? kReadId : kReadDim;
  };
  if (!look(in, 13, head_field, &p, fail)) return false;
  const uint32_t d = get_u32_le(p + 9);
  // A marker other than 0 or 1, or a dim other than the file's, is damage.
  // Only when the file ends before a record of the file's layout could end
  // is it handed to the scan as possibly torn (a tail the file system filled
  // with zeros looks so); the scan then looks for records after it.
  auto head_damage = [&](Error e) {
    const uint64_t whole = kRecordFixedBytes + 4 * uint64_t{dimension.value_or(d)};
    IoResult<uint64_t> left = in.remaining(whole);
    *fail = {std::move(e), left.ok() && left.value() < whole};
    return false;
  };
  if (p[0] > 1) {
    return head_damage(
        io(kReadDeleted, "marker byte " + std::to_string(p[0]) + " is neither 0 nor 1"));
  }
  if (dimension.has_value() && d != *dimension) {
    return head_damage(io(kReadDim, "the record has " + std::to_string(d) +
                                        " components, the file's records " +
                                        std::to_string(*dimension)));
  }
  const uint64_t vector_end = 13 + 4 * static_cast<uint64_t>(d);
  if (vector_end + 4 <= cap) {
    auto fixed_field = [vector_end](size_t have) {
      return have < vector_end ? kReadVector : kReadPayloadLen;
    };
    if (!look(in, vector_end + 4, fixed_field, &p, fail)) return false;
    const uint64_t whole = vector_end + 4 + get_u32_le(p + vector_end);
    if (whole <= cap) {
      if (!look(in, whole, [](size_t) { return kReadPayload; }, &p, fail)) return false;
      const auto* text_at = reinterpret_cast<const char*>(p + vector_end + 4);
      if (!decode_payload(std::string_view(text_at, whole - vector_end - 4), s.payload, fail)) {
        return false;
      }
      *deleted = p[0] == 1;
      view.id = get_u64_le(p + 1);
      view.dim = d;
      view.vector_le = p + 13;
      view.vector = nullptr;
      view.payload = &s.payload;
      in.consume(whole);
      return true;
    }
  }

  // Too large for the buffer: field by field. `p` still shows the head.
  *deleted = p[0] == 1;
  view.id = get_u64_le(p + 1);
  view.dim = d;
  view.vector_le = nullptr;
  view.payload = &s.payload;
  in.consume(13);
  const uint64_t vector_bytes = vector_end - 13;
  if (vector_bytes <= cap) {
    if (!look(in, vector_bytes, [](size_t) { return kReadVector; }, &p, fail)) return false;
    s.vector.resize(d);
    load_components(p, s.vector.data(), d);
    in.consume(vector_bytes);
  } else {
    if (!check_remaining(in, vector_bytes, kReadVector, fail)) return false;
    s.vector.resize(d);
    if (!read_field(in, s.vector.data(), vector_bytes, kReadVector, fail)) return false;
    if constexpr (std::endian::native != std::endian::little) {
      // Bit patterns were read in file order; turn each into a float in place.
      auto* raw = reinterpret_cast<unsigned char*>(s.vector.data());
      for (uint32_t i = 0; i < d; ++i) s.vector[i] = bits_float(get_u32_le(raw + 4 * size_t{i}));
    }
  }
  view.vector = s.vector.data();

  if (!look(in, 4, [](size_t) { return kReadPayloadLen; }, &p, fail)) return false;
  const uint32_t len = get_u32_le(p);
  in.consume(4);
  if (len <= cap) {
    if (!look(in, len, [](size_t) { return kReadPayload; }, &p, fail)) return false;
    const bool ok = decode_payload(std::string_view(reinterpret_cast<const char*>(p), len),
                                   s.payload, fail);
    in.consume(len);
    return ok;
  }
  if (!check_remaining(in, len, kReadPayload, fail)) return false;
  s.text.resize(len);
  if (!read_field(in, s.text.data(), len, kReadPayload, fail)) return false;
  return decode_payload(s.text, s.payload, fail);
}

constexpr uint64_t kSearchPieceBytes = 64 * 1024;

// Reads exactly n bytes at `offset`; false when the file ends first.
IoResult<bool> read_exact_at(File& file, uint64_t offset, void* out, size_t n) {
  IoResult<size_t> got = file.read_full_at(offset, out, n);
  if (!got.ok()) return std::move(got).error();
  return got.value() == n;
}

// The offset of the first plausible complete record that starts after
// `from` and ends by `size`: a marker of 0 or 1, the file's dimension (any,
// when it is not known), a payload_len that fits and a payload text that
// decodes. The data file has no checksum; this is the evidence that a
// record running past the end is damaged rather than torn.
IoResult<std::optional<uint64_t>> plausible_record_after(File& file, uint64_t from, uint64_t size,
                                                         std::optional<uint32_t> dimension) {
  constexpr uint64_t kHead = 13;
  std::string piece;
  std::string text;
  for (uint64_t at = from + 1; at + kRecordFixedBytes <= size; at += kSearchPieceBytes) {
    // Each piece reads a head's length into the next, so every candidate's
    // head is whole in the piece that holds its first byte.
    const uint64_t want = std::min<uint64_t>(size - at, kSearchPieceBytes + kHead - 1);
    piece.resize(static_cast<size_t>(want));
    IoResult<bool> got = read_exact_at(file, at, piece.data(), piece.size());
    if (!got.ok()) return std::move(got).error();
    if (!got.value()) return std::optional<uint64_t>();  // the file shrank meanwhile
    const auto* b = reinterpret_cast<const unsigned char*>(piece.data());
    for (size_t i = 0; i < kSearchPieceBytes && i + kHead <= piece.size(); ++i) {
      if (b[i] > 1) continue;
      const uint32_t d = get_u32_le(b + i + 9);
      if (dimension.has_value() && d != *dimension) continue;
      const uint64_t q = at + i;
      const uint64_t len_at = q + kHead + 4 * uint64_t{d};
      if (len_at + 4 > size) continue;
      unsigned char len_bytes[4];
      IoResult<bool> l = read_exact_at(file, len_at, len_bytes, 4);
      if (!l.ok()) return std::move(l).error();
      const uint32_t len = get_u32_le(len_bytes);
      if (!l.value() || len < kEmptyPayloadText.size() || len > size - (len_at + 4)) continue;
      text.resize(len);
      IoResult<bool> t = read_exact_at(file, len_at + 4, text.data(), len);
      if (!t.ok()) return std::move(t).error();
      if (t.value() && (text == kEmptyPayloadText || Payload::from_json(text).ok())) {
        return std::optional<uint64_t>(q);
      }
    }
  }
  return std::optional<uint64_t>();
}

}  // namespace

Result<DataFile> DataFile::open(const Directory& dir, std::string_view name,
                                std::optional<uint32_t> dimension) {
  // A descriptor of its own: the readers and the delete marker reopen the file.
  IoResult<Directory> own = dir.dup();
  if (!own.ok()) return io(kOpenDataFile, std::move(own).error());
  IoResult<File> file = dir.open_file(name, OpenMode::kReadAppendCreate);
  if (!file.ok()) return io(kOpenDataFile, std::move(file).error());
  IoResult<uint64_t> size = file.value().size();
  if (!size.ok()) return io(kMetadataFailed, std::move(size).error());
  return DataFile(std::move(own).value(), std::string(name), dimension,
                  BufferedWriter(std::move(file).value(), size.value()));
}

Result<uint64_t> DataFile::append(uint64_t id, const float* vector, size_t dim,
                                  const Payload& payload) {
  if (dim > std::numeric_limits<uint32_t>::max()) {
    return io(kWriteDim, "the vector has more components than a record can hold");
  }
  // Every reader of this file would refuse such a record as damage.
  if (dimension_.has_value() && dim != *dimension_) {
    return io(kWriteDim, "the vector has " + std::to_string(dim) +
                             " components, the file's records " + std::to_string(*dimension_));
  }
  // The whole record is built here and handed over as one piece, so that a
  // write-out of the buffer never leaves half of it in the file.
  std::string& buf = record_buf_;
  buf.clear();
  buf.push_back('\0');
  append_u64_le(buf, id);
  append_u32_le(buf, static_cast<uint32_t>(dim));
  for (size_t i = 0; i < dim; ++i) append_u32_le(buf, float_bits(vector[i]));
  const size_t len_at = buf.size();
  append_u32_le(buf, 0);  // payload_len, filled in below
  payload.write_json(buf);
  const size_t p = buf.size() - len_at - 4;
  // A payload text the reader would refuse (a string that is not UTF-8,
  // nesting past the limit) would end every later scan at this record and
  // hide all records after it. Only such a payload pays for the read-back.
  if (!payload.empty() && !payload.check_writable(0).empty()) {
    Result<Payload, std::string> back =
        Payload::from_json(std::string_view(buf).substr(len_at + 4));
    if (!back.ok()) {
      return io(kPayloadSerialize, "the payload would not read back: " + std::move(back).error());
    }
  }
  if (p > std::numeric_limits<uint32_t>::max()) {
    return io(kPayloadSerialize, "the payload text is longer than a record can hold");
  }
  put_u32_le(reinterpret_cast<unsigned char*>(buf.data() + len_at), static_cast<uint32_t>(p));

  const uint64_t offset = writer_.end();
  Result<void, BufferedWriter::Failure> put = writer_.write(buf.data(), buf.size());
  if (!put.ok()) {
    BufferedWriter::Failure& f = put.error();
    return io(write_context(f.piece_bytes_written, dim), std::move(f.cause));
  }
  return offset;
}

Result<DataRecord> DataFile::read_at(uint64_t offset) const {
  IoResult<File> file = dir_.open_file(name_, OpenMode::kReadOnly);
  if (!file.ok()) return io(kOpenForRead, std::move(file).error());
  // The size is only a first guess for the length checks; Reader asks again
  // before refusing a length.
  Reader in(file.value(), 0, kRecordReadBufferBytes);
  IoStatus seek = in.seek(offset);
  if (!seek.ok()) return io(kSeek, std::move(seek).error());
  RecordScratch scratch;
  DataRecordView view;
  DataRecord rec;
  ReadFailure fail;
  if (!decode_record(in, kRecordReadBufferBytes, dimension_, scratch, view, &rec.deleted, &fail)) {
    return std::move(fail.error);
  }
  rec.id = view.id;
  rec.offset = offset;
  if (view.vector == scratch.vector.data() && view.vector != nullptr) {
    rec.vector = std::move(scratch.vector);
  } else {
    rec.vector.resize(view.dim);
    view.copy_vector(rec.vector.data());
  }
  rec.payload = std::move(scratch.payload);
  return rec;
}

void DataRecordView::copy_vector(float* out) const {
  if (vector != nullptr) {
    if (dim > 0) std::memcpy(out, vector, 4 * size_t{dim});
  } else {
    load_components(vector_le, out, dim);
  }
}

Status DataFile::for_each_active_view(const std::function<Status(DataRecordView&)>& fn,
                                      DataScanEnd* end) const {
  DataScanEnd local;
  DataScanEnd& out = end != nullptr ? *end : local;
  out = DataScanEnd{};
  IoResult<File> file = dir_.open_file(name_, OpenMode::kReadOnly);
  if (!file.ok()) return io(kOpenForIter, std::move(file).error());
  IoResult<uint64_t> size = file.value().size();
  if (!size.ok()) return io(kMetadataFailed, std::move(size).error());
  const uint64_t file_size = size.value();
  out.file_size = file_size;
  if (file_size == 0) return {};

  Reader in(file.value(), file_size, kScanReadBufferBytes);
  RecordScratch scratch;
  DataRecordView view;
  // Records are read back to back: each read leaves the reader at the next
  // record, which is the stored length's business, not the payload's text.
  while (in.position() < file_size) {
    view.offset = in.position();
    ReadFailure fail;
    bool deleted = false;
    if (!decode_record(in, kScanReadBufferBytes, dimension_, scratch, view, &deleted, &fail)) {
      // Quiet stop: a record that cannot be read ends the scan as if the
      // file ended there.
      out.torn_tail = fail.torn;
      out.error = std::move(fail.error);
      if (!fail.torn) return {};
      // A torn append can only be the last record. When a plausible record
      // follows the start of this one, its length fields are damaged:
      // cutting here would undo every record after it.
      IoResult<uint64_t> now = file.value().size();
      if (!now.ok()) {
        out.torn_tail = false;
        out.error = io(kMetadataFailed, std::move(now).error());
        return {};
      }
      IoResult<std::optional<uint64_t>> next =
          plausible_record_after(file.value(), view.offset, now.value(), dimension_);
      if (!next.ok()) {
        out.torn_tail = false;
        out.error = io(kOpenForIter, std::move(next).error());
      } else if (next.value().has_value()) {
        out.torn_tail = false;
        std::string text = out.error->text();
        if (text.ends_with(kFillWholeBuffer)) {
          text.resize(text.size() - std::strlen(kFillWholeBuffer));
          out.error = Error::io(text + "the record runs past the end of the file, and a complete "
                                       "record follows at offset " +
                                std::to_string(*next.value()));
        }
      }
      return {};
    }
    if (!deleted) {
      Status s = fn(view);
      if (!s.ok()) return s;
    }
    out.stop_offset = in.position();
  }
  return {};
}

Status DataFile::for_each_active(const std::function<Status(DataRecord&)>& fn,
                                 DataScanEnd* end) const {
  DataRecord rec;
  return for_each_active_view(
      [&](DataRecordView& view) -> Status {
        rec.id = view.id;
        rec.offset = view.offset;
        rec.vector.resize(view.dim);
        view.copy_vector(rec.vector.data());
        rec.payload = std::move(*view.payload);
        return fn(rec);
      },
      end);
}

Result<std::vector<DataRecord>> DataFile::iter_active(DataScanEnd* end) const {
  std::vector<DataRecord> records;
  Status s = for_each_active(
      [&records](DataRecord& rec) {
        records.push_back(std::move(rec));
        return Status{};
      },
      end);
  if (!s.ok()) return std::move(s).error();
  return records;
}

Status DataFile::mark_deleted(uint64_t offset) {
  if (offset >= writer_.end()) {
    // Writing here would put a byte past the last record, and the next
    // append would land after it with a wrong offset.
    return io(kWriteDeleteMarker, "offset " + std::to_string(offset) +
                                      " is not before the end of the records at " +
                                      std::to_string(writer_.end()));
  }
  if (offset >= writer_.durable_end()) {
    // The record is still in the append buffer: it must be in the file
    // before its marker can be written there.
    IoStatus out = writer_.write_out();
    if (!out.ok()) return io(kFlushFailed, std::move(out).error());
  }
  IoResult<File> file = dir_.open_file(name_, OpenMode::kWriteOnly);
  if (!file.ok()) return io(kOpenForDelete, std::move(file).error());
  IoStatus seek = file.value().seek(offset);
  if (!seek.ok()) return io(kSeek, std::move(seek).error());
  const unsigned char one = 1;
  // One write of one byte: this is the marker reaching the file.
  IoStatus put = file.value().write_all(&one, 1, kWriteWholeBuffer);
  if (!put.ok()) return io(kFlushFailed, std::move(put).error());
  return {};
}

Status DataFile::flush() { return write_out_and_sync(writer_); }

Status DataFile::truncate_to(uint64_t offset) { return truncate_and_sync(writer_, offset); }

}  // namespace varnel::storage
