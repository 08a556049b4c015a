// Page-aligned I/O buffers (the stand-in for reserving and committing pages).
// Allocation failure is reported, never thrown, so the caller can say so.
#pragma once
#include <cstddef>

#include "platform/WinTypes.h"

namespace platform {

// Zero-filled, page-aligned memory of at least `size` bytes, or nullptr.
void* AllocatePages(std::size_t size);
void FreePages(void* p, std::size_t size);

// Owns one page-aligned region. Move-only; frees on destruction.
class PageBuffer {
 public:
  PageBuffer() = default;
  ~PageBuffer() { Release(); }
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  // False (and empty) when the memory cannot be had. Replaces any earlier region.
  bool Allocate(std::size_t size);
  void Release();
  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Test hook: the next `count` allocations fail as if memory were exhausted.
void FailNextPageAllocations(int count);

}  // namespace platform

namespace win {

constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// The global heap: fixed blocks from the C heap (zero-filled with
// GMEM_ZEROINIT); nullptr with ERROR_NOT_ENOUGH_MEMORY when none is had.
void* GlobalAlloc(UINT flags, std::size_t bytes);
// nullptr on success, as on Windows.
void* GlobalFree(void* block);

}  // namespace win

namespace platform {

// Test hook: the next global-heap allocation fails.
void FailNextGlobalAllocation();

}  // namespace platform
