// The meta.json reader. Properties: no crash, leak or undefined behaviour;
// errors end in " at line L column C"; a record that reads writes a six-line
// text that reads back as the same record.
#include "collection.h"
#include "fuzz_util.h"

using namespace varnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto meta = CollectionMeta::from_json(text);
  if (!meta.ok()) {
    const std::string& e = meta.error();
    if (e.find(" at line ") == std::string::npos || e.find(" column ") == std::string::npos) {
      fuzz::fail("error without a position: " + e);
    }
    return 0;
  }
  const CollectionMeta& m = meta.value();
  const std::string written = m.to_json();
  auto back = CollectionMeta::from_json(written);
  if (!back.ok()) fuzz::fail("written meta does not read back: " + back.error());
  const CollectionMeta& b = back.value();
  if (b.dimension != m.dimension || b.metric != m.metric || b.vector_count != m.vector_count ||
      b.next_id != m.next_id) {
    fuzz::fail("meta changed on the way back");
  }
  if (b.to_json() != written) fuzz::fail("writing is not stable");
  return 0;
}
