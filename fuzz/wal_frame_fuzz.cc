// The log's frame reader over a whole file. The first input byte picks the
// mode; the rest is the file. In mode 1 the harness first rewrites every
// frame's checksum to match its data, so mutations reach the entry decoder
// instead of stopping at the checksum. Properties: no crash, leak or
// undefined behaviour; errors are IoError or WalCorrupted; complete frames
// never reach past the file; a torn tail cut back to the end of the complete
// frames reads cleanly with the same entries.
#include <zlib.h>

#include "coding.h"
#include "fuzz_util.h"
#include "storage/wal.h"

using namespace varnel;

namespace {

void fix_checksums(std::string& file) {
  size_t pos = 0;
  while (pos + 8 <= file.size()) {
    auto* head = reinterpret_cast<unsigned char*>(file.data() + pos);
    const uint32_t n = get_u32_le(head + 4);
    if (n > file.size() - pos - 8) break;
    const uint32_t crc = static_cast<uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(file.data() + pos + 8), static_cast<uInt>(n)));
    put_u32_le(head, crc);
    pos += 8 + size_t{n};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) fix_checksums(file);
  const std::filesystem::path path = fuzz::scratch_dir() / "wal.log";
  fuzz::write_file(path, file);

  auto dir = storage::Directory::open(fuzz::scratch_dir());
  if (!dir.ok()) fuzz::fail("open dir: " + dir.error());
  storage::WalReadEnd end;
  uint64_t seen = 0;
  Status s = storage::Wal::read_each(
      dir.value(), "wal.log",
      [&](storage::WalEntry&) {
        ++seen;
        return Status{};
      },
      &end);
  if (!s.ok()) {
    const Error::Kind k = s.error().kind();
    if (k != Error::Kind::kIoError && k != Error::Kind::kWalCorrupted) fuzz::fail("error kind");
  }
  if (seen != end.entries) fuzz::fail("entry count");
  if (end.complete_end > file.size() || end.file_size != file.size()) fuzz::fail("ends");
  if (s.ok() && !end.torn_tail && end.complete_end != file.size()) {
    fuzz::fail("clean read that stops before the end of the file");
  }

  if (end.torn_tail) {
    // What recovery does: cut the torn frame away; the rest must read cleanly.
    fuzz::write_file(path, std::string_view(file).substr(0, end.complete_end));
    storage::WalReadEnd again;
    Status s2 = storage::Wal::read_each(
        dir.value(), "wal.log", [](storage::WalEntry&) { return Status{}; }, &again);
    if (!s2.ok()) fuzz::fail("cut log does not read: " + s2.error().message());
    if (again.torn_tail || again.entries != end.entries) fuzz::fail("cut log differs");
  }
  return 0;
}
