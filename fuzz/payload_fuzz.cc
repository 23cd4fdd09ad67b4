// The payload JSON reader. Properties: no crash, leak or undefined
// behaviour; errors end in " at line L column C"; a payload that reads and
// that the writer can represent reads back equal from the writer's text, and
// writing it again gives a text of the same length (the fields' order is
// free).
#include "fuzz_util.h"
#include "payload.h"

using namespace varnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto payload = Payload::from_json(text);
  if (!payload.ok()) {
    if (payload.error().find(" at line ") == std::string::npos) {
      fuzz::fail("error without a position: " + payload.error());
    }
    return 0;
  }
  const Payload& p = payload.value();
  const std::string written = p.to_json();
  if (!p.check_writable(0).empty()) return 0;
  auto back = Payload::from_json(written);
  if (!back.ok()) fuzz::fail("written payload does not read back: " + back.error());
  if (!fuzz::same_payload(p, back.value())) fuzz::fail("payload changed on the way back");
  // The map's order is unspecified, so the text may differ; its length may not.
  if (back.value().to_json().size() != written.size()) fuzz::fail("written length changed");
  return 0;
}
