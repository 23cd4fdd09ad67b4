// ZeroedMemory: one block of zero-filled memory for the large arrays of the
// index and its maps. Blocks of 2 MiB and more are mapped from the kernel on
// their own: they are zero already, so filling one touches each page once
// with no clearing pass, and they are aligned to and advised for huge pages,
// which takes one page fault per 2 MiB instead of 512 and spares the TLB.
// Smaller blocks come from the heap and are cleared. Memory exhaustion ends
// the process, as any allocation does.
#pragma once

#include <cstddef>

namespace varnel {

inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// Asks the kernel to back the huge-page-aligned stretches inside
// [p, p + bytes) with huge pages when they are first touched. Only advice:
// where huge pages are off or unavailable nothing changes.
void advise_huge_pages(void* p, size_t bytes);

// Has the kernel back [p, p + bytes) with memory now, as a first write would,
// without writing anything: safe while another thread writes there. Another
// thread can thus take the page faults (and the clearing) of memory that is
// about to be filled. Only advice: where the kernel cannot, nothing changes.
void populate_memory(void* p, size_t bytes);

class ZeroedMemory {
 public:
  ZeroedMemory() = default;
  // `bytes` of zeros, 64-byte aligned (huge-page aligned when mapped).
  explicit ZeroedMemory(size_t bytes);
  ~ZeroedMemory();
  ZeroedMemory(ZeroedMemory&& other) noexcept;
  ZeroedMemory& operator=(ZeroedMemory&& other) noexcept;
  ZeroedMemory(const ZeroedMemory&) = delete;
  ZeroedMemory& operator=(const ZeroedMemory&) = delete;

  void* get() const { return data_; }
  size_t size() const { return bytes_; }

 private:
  void release();

  void* data_ = nullptr;
  size_t bytes_ = 0;
  size_t mapped_bytes_ = 0;  // the mapping's length; 0 when the heap gave data_
};

}  // namespace varnel
