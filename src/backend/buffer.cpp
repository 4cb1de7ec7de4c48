#include "backend/buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace mi {

Buffer Allocator::make_buffer(size_t bytes) {
  const size_t n = bytes == 0 ? 4 : bytes;
  void* p = allocate(n);
  return Buffer(p, is_device(), n, [this](void* q) { deallocate(q); });
}

void* CpuAllocator::allocate(size_t bytes) {
  // 64-byte alignment keeps vector loads of slot and scratch buffers on whole cache lines.
  const size_t rounded = (bytes + 63) & ~size_t(63);
  if (rounded < bytes) throw std::bad_alloc();
  void* p = std::aligned_alloc(64, rounded == 0 ? 64 : rounded);
  if (!p) throw std::bad_alloc();
  return p;
}

void CpuAllocator::deallocate(void* p) { std::free(p); }

void CpuAllocator::copy_to_device(void* dst, const void* src, size_t bytes) {
  if (bytes) std::memcpy(dst, src, bytes);
}

void CpuAllocator::copy_to_host(void* dst, const void* src, size_t bytes) {
  if (bytes) std::memcpy(dst, src, bytes);
}

void CpuAllocator::copy_device(void* dst, const void* src, size_t bytes) {
  if (bytes && dst != src) std::memmove(dst, src, bytes);
}

void CpuAllocator::zero(void* p, size_t bytes) {
  if (bytes) std::memset(p, 0, bytes);
}

Allocator& host_allocator() {
  static CpuAllocator a;
  return a;
}

}  // namespace mi
