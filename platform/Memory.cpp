#include "platform/Memory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace platform {
namespace {
std::atomic<int> g_failures{0};
}

void FailNextPageAllocations(int count) { g_failures.store(count < 0 ? 0 : count); }

void* AllocatePages(std::size_t size) {
  if (size == 0) return nullptr;
  int pending = g_failures.load();
  while (pending > 0) {
    if (g_failures.compare_exchange_weak(pending, pending - 1)) return nullptr;
  }
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void FreePages(void* p, std::size_t size) {
  if (p != nullptr && size != 0) ::munmap(p, size);
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool PageBuffer::Allocate(std::size_t size) {
  Release();
  data_ = static_cast<unsigned char*>(AllocatePages(size));
  size_ = data_ ? size : 0;
  return data_ != nullptr;
}

void PageBuffer::Release() {
  FreePages(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace platform

namespace platform {
namespace {
std::atomic<bool> g_failGlobal{false};
}  // namespace

void FailNextGlobalAllocation() { g_failGlobal.store(true); }

}  // namespace platform

namespace win {

void* GlobalAlloc(UINT flags, std::size_t bytes) {
  void* block = platform::g_failGlobal.exchange(false) ? nullptr : std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if ((flags & GMEM_ZEROINIT) != 0) std::memset(block, 0, bytes == 0 ? 1 : bytes);
  return block;
}

void* GlobalFree(void* block) {
  std::free(block);
  return nullptr;
}

}  // namespace win
