# Platform checks, run right after project(): a 64-bit target and a compiler
# with the C++20 language and library parts the core uses. Each failure names
# what is missing.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  message(FATAL_ERROR "varnel needs a 64-bit target: ${CMAKE_CXX_COMPILER} builds for "
    "${CMAKE_SIZEOF_VOID_P}-byte pointers. Identifiers, offsets and "
    "memory-mapped sizes are 64-bit; build with a 64-bit compiler (for example x86_64 or aarch64).")
endif()

include(CheckCXXSourceCompiles)
# What the core relies on beyond C++17: <span>, <bit>, std::bit_cast, float
# std::to_chars (shortest digits; libstdc++ 11+), string_view::starts_with,
# concepts, designated initializers.
set(CMAKE_REQUIRED_FLAGS "${CMAKE_CXX20_STANDARD_COMPILE_OPTION}")
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles([=[
#include <bit>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <span>
#include <string_view>
struct Point { int x; int y; };
template <std::integral T> T twice(T v) { return v * 2; }
int main() {
  char buf[32];
  float f = 0.1f;
  auto r = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific);
  std::span<const char> s(buf, r.ptr);
  Point p{.x = 1, .y = 2};
  std::string_view v(s.data(), s.size());
  return v.starts_with("1e") ? twice(p.x) - 2 + static_cast<int>(std::bit_cast<uint32_t>(f) & 0) : 1;
}
]=] VARNEL_HAVE_CXX20)
unset(CMAKE_REQUIRED_FLAGS)
unset(CMAKE_REQUIRED_QUIET)
if(NOT VARNEL_HAVE_CXX20)
  message(FATAL_ERROR "varnel needs a C++20 compiler and standard library (g++ 11 or later, or "
    "clang 14 or later with libstdc++ 11+): ${CMAKE_CXX_COMPILER} (${CMAKE_CXX_COMPILER_ID} "
    "${CMAKE_CXX_COMPILER_VERSION}) cannot compile <span>, <bit>, concepts and float "
    "std::to_chars in C++20 mode. Install one (Debian: apt-get install g++) and pass it as "
    "CXX=... or -DCMAKE_CXX_COMPILER=...")
endif()

# Portable extension modules (wheels): libstdc++ (and zlib, see below) linked
# in with their symbols kept local, and unused sections dropped, so the modules ask the system only for glibc (2.34 at
# most: the rwlocks of std::shared_mutex), libgcc_s and libm, which every
# manylinux_2_34 system has. libgcc_s stays shared: the static unwinder would
# add _dl_find_object (glibc 2.35), and static libstdc++'s unused parts
# arc4random (2.36). Applies to every MODULE library, whichever section makes it.
option(VARNEL_STATIC_RUNTIME "Link libstdc++ statically into the extension modules (wheels)" OFF)
if(VARNEL_STATIC_RUNTIME)
  string(APPEND CMAKE_MODULE_LINKER_FLAGS " -static-libstdc++ -Wl,--gc-sections -Wl,--exclude-libs,ALL")
endif()
