// The context phrases the log and the data file share, the one way both
// turn a file layer's cause text into their IoError, and the two steps both
// take on their writer in the same way. Each unit's own phrases stay in its
// .cc.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "storage/file.h"

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

// Writes the buffer out ("flush failed: ") and fsyncs ("sync failed: ").
inline Status write_out_and_sync(BufferedWriter& writer) {
  IoStatus out = writer.write_out();
  if (!out.ok()) return io(kFlushFailed, std::move(out).error());
  IoStatus sync = writer.sync();
  if (!sync.ok()) return io(kSyncFailed, std::move(sync).error());
  return {};
}

// Cuts the file to `offset` bytes ("truncate failed: ") and syncs the cut
// ("sync failed: ") before anything is appended over the bytes it removed:
// otherwise a power loss could keep an unsynced mix of the old tail and the
// new records at the same offsets.
inline Status truncate_and_sync(BufferedWriter& writer, uint64_t offset) {
  IoStatus cut = writer.truncate(offset);
  if (!cut.ok()) return io(kTruncateFailed, std::move(cut).error());
  IoStatus sync = writer.sync();
  if (!sync.ok()) return io(kSyncFailed, std::move(sync).error());
  return {};
}

}  // namespace varnel::storage
