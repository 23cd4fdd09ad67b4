// The log entry decoder (one frame's JSON text). Properties: no crash, leak
// or undefined behaviour on any input; an entry that decodes and that the
// writer accepts reads back from the writer's text as the same entry, bit for
// bit in its components.
#include <cstring>

#include "coding.h"
#include "fuzz_util.h"
#include "storage/wal.h"

using namespace varnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Result<storage::WalEntry> entry = storage::WalEntry::from_bytes(text);
  if (!entry.ok()) {
    if (entry.error().kind() != Error::Kind::kWalCorrupted) fuzz::fail("decode error of another kind");
    if (entry.error().message().rfind("WAL corrupted: deserialization failed: ", 0) != 0) {
      fuzz::fail("decode error without its context: " + entry.error().message());
    }
    return 0;
  }
  const storage::WalEntry& e = entry.value();
  if (!e.payload.check_writable(1).empty()) return 0;
  std::string again;
  if (!storage::encode_wal_entry(again, e.kind, e.id, e.vector, e.payload).ok()) return 0;
  Result<storage::WalEntry> back = storage::WalEntry::from_bytes(again);
  if (!back.ok()) fuzz::fail("written entry does not read back: " + back.error().message());
  const storage::WalEntry& b = back.value();
  if (b.kind != e.kind || b.id != e.id) fuzz::fail("kind or id changed");
  if (b.vector.size() != e.vector.size()) fuzz::fail("vector length changed");
  for (size_t i = 0; i < e.vector.size(); ++i) {
    if (float_bits(b.vector[i]) != float_bits(e.vector[i])) fuzz::fail("component changed");
  }
  if (!fuzz::same_payload(b.payload, e.payload)) fuzz::fail("payload changed");
  return 0;
}
