// Shared by the fuzz targets: a scratch directory of this process (on tmpfs
// when there is one, so the file-based readers cost little per input),
// whole-file writes, a failure that libFuzzer reports as a crash, and
// payload equality.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "payload.h"

namespace varnel::fuzz {

inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::string tmpl = (base / "varnel-fuzz-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) ::abort();
    // Removed when the fuzzer exits normally.
    static struct Cleanup {
      std::filesystem::path p;
      ~Cleanup() {
        std::error_code ec;
        std::filesystem::remove_all(p, ec);
      }
    } cleanup{tmpl};
    return std::filesystem::path(tmpl);
  }();
  return dir;
}

inline void write_file(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A broken property: print why and abort, which libFuzzer reports as a crash
// and saves the input.
[[noreturn]] inline void fail(const std::string& why) {
  std::fprintf(stderr, "property broken: %s\n", why.c_str());
  std::fflush(stderr);
  ::abort();
}

inline bool same_payload(const Payload& a, const Payload& b) {
  if (a.data.size() != b.data.size()) return false;
  for (const auto& [key, value] : a.data) {
    auto it = b.data.find(key);
    if (it == b.data.end() || !json::equal(value, it->second)) return false;
  }
  return true;
}

}  // namespace varnel::fuzz
