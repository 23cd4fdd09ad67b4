#include "collection_meta.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "error.h"
#include "json.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using storage::File;
using storage::OpenMode;

constexpr const char* kReadMeta = "read meta failed: ";
constexpr const char* kParseMeta = "parse meta failed: ";
constexpr const char* kWriteMeta = "write meta failed: ";
constexpr const char* kMetaTempPrefix = "meta.json.tmp.";
constexpr std::string_view kMetaFields[] = {"dimension", "metric", "vector_count", "next_id"};

}  // namespace

std::string CollectionMeta::to_json() const {
  std::string out = "{\n  \"dimension\": ";
  out += std::to_string(dimension);
  out += ",\n  \"metric\": ";
  json::write_string(out, metric);
  out += ",\n  \"vector_count\": ";
  out += std::to_string(vector_count);
  out += ",\n  \"next_id\": ";
  out += std::to_string(next_id);
  out += "\n}";
  return out;
}

Result<CollectionMeta, std::string> CollectionMeta::from_json(std::string_view text) {
  CollectionMeta meta;
  json::Reader r(text);
  json::StructReader s(r, "CollectionMeta", kMetaFields);
  for (int f; (f = s.next_field()) >= 0;) {
    uint64_t n = 0;
    switch (f) {
      case 0:
        if (r.read_u64(&n, "usize")) meta.dimension = static_cast<size_t>(n);
        break;
      case 1:
        r.read_string(&meta.metric);
        break;
      case 2:
        r.read_u64(&meta.vector_count);
        break;
      case 3:
        r.read_u64(&meta.next_id);
        break;
    }
  }
  if (!r.finish()) return r.error();
  return meta;
}

Status write_meta(const storage::Directory& dir, const CollectionMeta& meta) {
  const std::string text = meta.to_json();
  // The pid keeps the temporary apart from any other process's; within the
  // process the writers (several objects may share a directory) take turns.
  static std::mutex one_writer_at_a_time;
  std::lock_guard turn(one_writer_at_a_time);
  const std::string tmp = kMetaTempPrefix + std::to_string(::getpid());
  auto fail = [](std::string cause) { return Error::collection(kWriteMeta + cause); };
  {
    auto file = dir.open_file(tmp, OpenMode::kWriteCreateTruncate);
    if (!file.ok()) return fail(std::move(file.error()));
    auto written = file.value().write_all(text.data(), text.size(), kWriteWholeBuffer);
    if (!written.ok()) return fail(std::move(written.error()));
    auto synced = file.value().sync();
    if (!synced.ok()) return fail(std::move(synced.error()));
  }
  auto renamed = dir.rename(tmp, kMetaFileName);
  if (!renamed.ok()) return fail(std::move(renamed.error()));
  // The rename is durable once the directory is synced.
  auto dir_synced = dir.sync();
  if (!dir_synced.ok()) return fail(std::move(dir_synced.error()));
  return {};
}

Result<CollectionMeta> read_meta(const fs::path& path) {
  auto dir = storage::Directory::open(path);
  if (!dir.ok()) return Error::collection(kReadMeta + dir.error());
  return read_meta(dir.value());
}

Result<CollectionMeta> read_meta(const storage::Directory& dir) {
  auto file = dir.open_file(kMetaFileName, OpenMode::kReadOnly);
  if (!file.ok()) return Error::collection(kReadMeta + file.error());
  auto size = file.value().size();
  if (!size.ok()) return Error::collection(kReadMeta + size.error());
  // meta.json is six short lines; a file of absurd size is read up to a
  // bound and then fails to parse, rather than exhausting memory.
  constexpr uint64_t kMaxMetaBytes = 1 << 20;
  std::string text(static_cast<size_t>(std::min<uint64_t>(size.value(), kMaxMetaBytes)), '\0');
  auto got = file.value().read_full(text.data(), text.size());
  if (!got.ok()) return Error::collection(kReadMeta + got.error());
  text.resize(got.value());
  if (!json::valid_utf8(text)) return Error::collection(std::string(kReadMeta) + kInvalidUtf8Stream);
  auto meta = CollectionMeta::from_json(text);
  if (!meta.ok()) return Error::collection(kParseMeta + meta.error());
  return std::move(meta.value());
}

}  // namespace varnel
