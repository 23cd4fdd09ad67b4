// The context phrases the log and the data file share, and the one way both
// turn a file layer's cause text into their IoError. Each unit's own phrases
// stay in its .cc.
#pragma once

#include <string>
#include <string_view>

#include "error.h"

namespace varnel::storage {

inline constexpr const char* kMetadataFailed = "metadata failed: ";
inline constexpr const char* kFlushFailed = "flush failed: ";
inline constexpr const char* kSyncFailed = "sync failed: ";
inline constexpr const char* kTruncateFailed = "truncate failed: ";

// The text of an empty payload, as both files store it.
inline constexpr std::string_view kEmptyPayloadText = "{\"data\":{}}";

// IoError "<context><cause>".
inline Error io(const char* context, std::string cause) {
  return Error::io(context + std::move(cause));
}

}  // namespace varnel::storage
