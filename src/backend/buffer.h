// Memory blocks that may live on a compute device, and the allocator that makes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace mi {

// Owning handle of one block: the deleter releases it. A Buffer with an empty (or no-op)
// deleter is a non-owning view.
struct Buffer {
  void* data = nullptr;
  uint8_t on_device = 0;
  size_t size = 0;
  std::function<void(void*)> deleter;

  Buffer() = default;
  Buffer(void* d, uint8_t dev, size_t n, std::function<void(void*)> del)
      : data(d), on_device(dev), size(n), deleter(std::move(del)) {}
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& o) noexcept { take(o); }
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      reset();
      take(o);
    }
    return *this;
  }
  ~Buffer() { reset(); }

  void reset() noexcept {
    if (data && deleter) deleter(data);
    data = nullptr;
    on_device = 0;
    size = 0;
    deleter = nullptr;
  }

 private:
  void take(Buffer& o) noexcept {
    data = o.data;
    on_device = o.on_device;
    size = o.size;
    deleter = std::move(o.deleter);
    o.data = nullptr;
    o.on_device = 0;
    o.size = 0;
    o.deleter = nullptr;
  }
};

class Allocator {
 public:
  virtual uint8_t is_device() const = 0;
  virtual void* allocate(size_t bytes) = 0;
  virtual void deallocate(void* p) = 0;
  virtual void copy_to_device(void* dst, const void* src, size_t bytes) = 0;
  virtual void copy_to_host(void* dst, const void* src, size_t bytes) = 0;
  virtual void copy_device(void* dst, const void* src, size_t bytes) = 0;
  virtual void synchronize() = 0;
  virtual void zero(void* p, size_t bytes) = 0;
  virtual ~Allocator() = default;

  // A block of `bytes` (4 when 0) whose deleter returns it to this allocator, which must
  // outlive the Buffer.
  Buffer make_buffer(size_t bytes);
};

// Host heap memory. Allocation failure throws std::bad_alloc instead of returning null.
class CpuAllocator final : public Allocator {
 public:
  uint8_t is_device() const override { return 0; }
  void* allocate(size_t bytes) override;
  void deallocate(void* p) override;
  void copy_to_device(void* dst, const void* src, size_t bytes) override;
  void copy_to_host(void* dst, const void* src, size_t bytes) override;
  void copy_device(void* dst, const void* src, size_t bytes) override;
  void synchronize() override {}
  void zero(void* p, size_t bytes) override;
};

// The allocator the model runtime uses for its own host staging buffers.
Allocator& host_allocator();

}  // namespace mi
