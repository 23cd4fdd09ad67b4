#include "error.h"

#include <string.h>

namespace varnel {
namespace {

// Text prefixes, by kind tag.
constexpr const char* kPrefix[] = {
    "dimension mismatch: expected ",
    "duplicate vector id: ",
    "vector not found: ",
    "invalid filter: ",
    "payload error: ",
    "empty vector not allowed",
    "io error: ",
    "WAL corrupted: ",
    "collection error: ",
};

}  // namespace

Error Error::dimension_mismatch(size_t expected, size_t got) {
  return Error(Kind::kDimensionMismatch, expected, got, {});
}
Error Error::duplicate_id(uint64_t id) { return Error(Kind::kDuplicateId, id, 0, {}); }
Error Error::not_found(uint64_t id) { return Error(Kind::kNotFound, id, 0, {}); }
Error Error::invalid_filter(std::string text) {
  return Error(Kind::kInvalidFilter, 0, 0, std::move(text));
}
Error Error::payload(std::string text) { return Error(Kind::kPayloadError, 0, 0, std::move(text)); }
Error Error::empty_vector() { return Error(Kind::kEmptyVector, 0, 0, {}); }
Error Error::io(std::string text) { return Error(Kind::kIoError, 0, 0, std::move(text)); }
Error Error::wal_corrupted(std::string text) {
  return Error(Kind::kWalCorrupted, 0, 0, std::move(text));
}
Error Error::collection(std::string text) {
  return Error(Kind::kCollectionError, 0, 0, std::move(text));
}

std::string Error::message() const {
  std::string out = kPrefix[static_cast<size_t>(kind_)];
  switch (kind_) {
    case Kind::kDimensionMismatch:
      out += std::to_string(a_);
      out += ", got ";
      out += std::to_string(b_);
      break;
    case Kind::kDuplicateId:
    case Kind::kNotFound:
      out += std::to_string(a_);
      break;
    case Kind::kEmptyVector:
      break;
    default:
      out += text_;
      break;
  }
  return out;
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  std::string out = text;
  out += " (os error ";
  out += std::to_string(err);
  out += ')';
  return out;
}

}  // namespace varnel
