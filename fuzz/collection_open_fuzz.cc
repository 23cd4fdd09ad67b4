// Opening a collection over an arbitrary data file and log. The first two
// input bytes (little-endian) give the data file's length, the next bytes
// are the data file and the rest the log. Properties: no crash, leak or
// undefined behaviour; an open either fails with an Error or gives a
// collection that takes a new insert, and the next open succeeds and holds
// that insert with its exact vector.
#include <cstring>

#include "collection.h"
#include "fuzz_util.h"

using namespace varnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t want = size_t{data[0]} | size_t{data[1]} << 8;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::string_view data_file = rest.substr(0, std::min(want, rest.size()));
  const std::string_view log = rest.substr(data_file.size());

  const std::filesystem::path dir = fuzz::scratch_dir() / "c";
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir);
  fuzz::write_file(dir / kDataFileName, data_file);
  fuzz::write_file(dir / kWalFileName, log);

  const CollectionConfig config{2, DistanceMetric::Euclidean, storage::SyncPolicy::kBatch};
  const std::vector<float> mine = {0.25f, -8.5f};
  constexpr uint64_t kMyId = 0xFEEDFACEull;
  {
    auto c = Collection::open_or_create(dir, config);
    if (!c.ok()) return 0;
    Status s = c.value()->insert(kMyId, mine, Payload{});
    if (!s.ok()) fuzz::fail("insert after a good open: " + s.error().message());
  }
  auto again = Collection::open_or_create(dir, config);
  if (!again.ok()) fuzz::fail("second open: " + again.error().message());
  const Collection& c = *again.value();
  bool found = false;
  for (const auto& hit : c.search(mine, c.len())) {
    if (hit.id == kMyId) found = hit.distance == 0.0f;
  }
  if (!found) fuzz::fail("the insert made after the first open is missing");
  return 0;
}
