// The one error type of the core library: a closed set of kinds, each with a
// fixed text. Wrapping kinds carry a text made of the raising site's context
// phrase and the cause; message() puts the kind's prefix in front. An error
// whose cause came from the operating system keeps its errno (os_errno()).
// The last three kinds print as "collection error: " too, so texts that
// callers already match stay the same; they exist so that callers can tell
// them apart without reading the text. Nothing here throws.
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
    kInUse = 9,           // another process holds the writer lock
    kConfigMismatch = 10,  // the stored dimension or metric is not the one asked for
    kInvalidVector = 11,   // a component is NaN or infinite
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
  static Error in_use(std::string text);
  static Error config_mismatch(std::string text);
  static Error invalid_vector(std::string text);

  Kind kind() const { return kind_; }
  // The carried text of the text kinds (empty for the others).
  const std::string& text() const { return text_; }
  // DimensionMismatch: expected/got; DuplicateId, NotFound: a() is the id.
  uint64_t a() const { return a_; }
  uint64_t b() const { return b_; }
  // The errno of the operating-system failure the text ends with (its
  // " (os error N)", which only os_error_text writes), or 0.
  int os_errno() const;

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
