#include "error.h"

#include <string.h>

#include <string_view>

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
    "collection error: ",
    "collection error: ",
    "invalid vector: ",
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

Error Error::in_use(std::string text) { return Error(Kind::kInUse, 0, 0, std::move(text)); }
Error Error::config_mismatch(std::string text) {
  return Error(Kind::kConfigMismatch, 0, 0, std::move(text));
}
Error Error::invalid_vector(std::string text) {
  return Error(Kind::kInvalidVector, 0, 0, std::move(text));
}

int Error::os_errno() const {
  static constexpr std::string_view kMark = " (os error ";
  if (text_.empty() || text_.back() != ')') return 0;
  const size_t at = text_.rfind(kMark);
  if (at == std::string::npos) return 0;
  int n = 0;
  for (size_t i = at + kMark.size(); i + 1 < text_.size(); ++i) {
    const char c = text_[i];
    if (c < '0' || c > '9' || n > 100000) return 0;
    n = n * 10 + (c - '0');
  }
  return n;
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
