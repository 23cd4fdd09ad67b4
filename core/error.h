// The one error type of the core library: nine kinds, each with a fixed text.
// Wrapping kinds carry a text made of the raising site's context phrase and
// the cause; message() puts the kind's prefix in front. Nothing here throws.
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

class Error {
 public:
  // In tag order.
  enum class Kind : uint8_t {
    kDimensionMismatch = 0,
    kDuplicateId = 1,
    kNotFound = 2,
    kInvalidFilter = 3,
    kPayloadError = 4,
    kEmptyVector = 5,
    kIoError = 6,
    kWalCorrupted = 7,
    kCollectionError = 8,
  };

  Error() = default;  // EmptyVector; only for containers that need a default

  static Error dimension_mismatch(size_t expected, size_t got);
  static Error duplicate_id(uint64_t id);
  static Error not_found(uint64_t id);
  static Error invalid_filter(std::string text);
  static Error payload(std::string text);
  static Error empty_vector();
  static Error io(std::string text);
  static Error wal_corrupted(std::string text);
  static Error collection(std::string text);

  Kind kind() const { return kind_; }
  // The carried text of the text kinds (empty for the others).
  const std::string& text() const { return text_; }
  // DimensionMismatch: expected/got; DuplicateId, NotFound: a() is the id.
  uint64_t a() const { return a_; }
  uint64_t b() const { return b_; }

  // Prefix of the kind followed by the carried value, e.g.
  // "io error: failed to open WAL: Permission denied (os error 13)".
  std::string message() const;

 private:
  Error(Kind kind, uint64_t a, uint64_t b, std::string text)
      : kind_(kind), a_(a), b_(b), text_(std::move(text)) {}

  Kind kind_ = Kind::kEmptyVector;
  uint64_t a_ = 0;
  uint64_t b_ = 0;
  std::string text_;
};

// The system's description of errno `err`, then " (os error N)". The only
// place that turns an error number into text.
std::string os_error_text(int err);

// Causes of I/O failures that do not come from an error number.
inline constexpr const char* kFillWholeBuffer = "failed to fill whole buffer";
inline constexpr const char* kWriteWholeBuffer = "failed to write whole buffer";
inline constexpr const char* kWriteBufferedData = "failed to write the buffered data";
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kInvalidUtf8Stream = "stream did not contain valid UTF-8";

}  // namespace varnel
