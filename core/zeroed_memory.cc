#include "zeroed_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace varnel {

ZeroedMemory::ZeroedMemory(size_t bytes) : bytes_(bytes) {
  if (bytes >= kHugePageBytes) {
    // Map one huge page more than needed and cut the ends off, so that what
    // stays starts on a huge-page boundary.
    const size_t span = bytes + kHugePageBytes;
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      const auto start = reinterpret_cast<uintptr_t>(p);
      const uintptr_t aligned = (start + kHugePageBytes - 1) & ~uintptr_t{kHugePageBytes - 1};
      const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
      const size_t kept = (bytes + page - 1) / page * page;
      if (aligned > start) ::munmap(p, aligned - start);
      const uintptr_t tail = aligned + kept;
      if (start + span > tail) ::munmap(reinterpret_cast<void*>(tail), start + span - tail);
      advise_huge_pages(reinterpret_cast<void*>(aligned), kept);
      data_ = reinterpret_cast<void*>(aligned);
      mapped_bytes_ = kept;
      return;
    }
    // No address space left: the heap gets the same request and decides.
  }
  data_ = ::operator new(bytes, std::align_val_t{64});
  std::memset(data_, 0, bytes);
}

void advise_huge_pages(void* p, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  const auto begin = (reinterpret_cast<uintptr_t>(p) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const auto end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePageBytes - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void populate_memory(void* p, size_t bytes) {
#if defined(MADV_POPULATE_WRITE)
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<uintptr_t>(p) & ~(page - 1);
  const auto end = reinterpret_cast<uintptr_t>(p) + bytes;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

ZeroedMemory::~ZeroedMemory() { release(); }

ZeroedMemory::ZeroedMemory(ZeroedMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)) {}

ZeroedMemory& ZeroedMemory::operator=(ZeroedMemory&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
  }
  return *this;
}

void ZeroedMemory::release() {
  if (data_ == nullptr) return;
  if (mapped_bytes_ != 0) {
    ::munmap(data_, mapped_bytes_);
  } else {
    ::operator delete(data_, std::align_val_t{64});
  }
  data_ = nullptr;
}

}  // namespace varnel
