// The data file's scanner and record reader over a whole file. Properties:
// no crash, leak or undefined behaviour; records come in increasing offset
// order and read_at finds each one where the scan did; a scan that reports
// no stop reaches the end of the file; after a torn last record is cut
// away, a new record appended lands where the next scan finds it.
#include "coding.h"
#include "fuzz_util.h"
#include "storage/data_file.h"

using namespace varnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const std::filesystem::path path = fuzz::scratch_dir() / "data.vnl";
  fuzz::write_file(path, file);

  auto dir = storage::Directory::open(fuzz::scratch_dir());
  if (!dir.ok()) fuzz::fail("open dir: " + dir.error());
  auto opened = storage::DataFile::open(dir.value(), "data.vnl", std::nullopt);
  if (!opened.ok()) fuzz::fail("open: " + opened.error().message());
  storage::DataFile& df = opened.value();
  if (df.next_offset() != size) fuzz::fail("next_offset at open");

  (void)df.read_at(0);
  storage::DataScanEnd end;
  std::vector<std::pair<uint64_t, uint64_t>> seen;  // offset, id
  uint64_t last = 0;
  bool first = true;
  Status s = df.for_each_active(
      [&](storage::DataRecord& r) {
        if (!first && r.offset <= last) fuzz::fail("offsets not increasing");
        first = false;
        last = r.offset;
        seen.emplace_back(r.offset, r.id);
        return Status{};
      },
      &end);
  if (!s.ok()) fuzz::fail("scan error: " + s.error().message());
  if (end.file_size != size || end.stop_offset > size) fuzz::fail("scan ends");
  if (!end.error && end.stop_offset != size) fuzz::fail("clean scan short of the end");
  if (end.error && end.error->kind() != Error::Kind::kIoError) fuzz::fail("stop kind");
  for (const auto& [offset, id] : seen) {
    auto r = df.read_at(offset);
    if (!r.ok() || r.value().id != id) fuzz::fail("read_at disagrees with the scan");
  }

  if (end.torn_tail) {
    if (!df.truncate_to(end.stop_offset).ok()) fuzz::fail("truncate");
    const float v[2] = {1.5f, -2.0f};
    auto at = df.append(42, v, 2, Payload{});
    if (!at.ok() || at.value() != end.stop_offset) fuzz::fail("append after cut");
    if (!df.flush().ok()) fuzz::fail("flush");
    bool found = false;
    storage::DataScanEnd again;
    (void)df.for_each_active(
        [&](storage::DataRecord& r) {
          if (r.offset == at.value() && r.id == 42) found = true;
          return Status{};
        },
        &again);
    if (!found || again.error) fuzz::fail("appended record not found after the cut");
  }
  return 0;
}
