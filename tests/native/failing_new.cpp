// failing_new.cpp - a global operator new that can be told to fail: linked into
// the kernel's allocation-failure sweep, and preloaded (LD_PRELOAD) under the
// interpreter for the same sweep through the module.
//
//   movra_fail_allocations_after(k): the next k allocations succeed, every one
//       after them throws std::bad_alloc (nothrow forms return null);
//   movra_fail_allocations_after(-1): allocations succeed again;
//   movra_allocations(): how many allocations were asked for so far.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::int64_t> allowed{-1};  // negative: no limit
std::atomic<std::int64_t> asked{0};

bool may_allocate() noexcept {
  asked.fetch_add(1, std::memory_order_relaxed);
  std::int64_t left = allowed.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (left == 0) return false;
    if (allowed.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
  }
  return true;
}

void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (!may_allocate()) return nullptr;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  return std::aligned_alloc(alignment, rounded);
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  void* p = allocate(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

constexpr std::size_t kDefault = alignof(std::max_align_t);

}  // namespace

extern "C" __attribute__((visibility("default"))) void movra_fail_allocations_after(std::int64_t k) noexcept {
  allowed.store(k < 0 ? -1 : k, std::memory_order_relaxed);
}

extern "C" __attribute__((visibility("default"))) std::int64_t movra_allocations() noexcept {
  return asked.load(std::memory_order_relaxed);
}

void* operator new(std::size_t size) { return allocate_or_throw(size, kDefault); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, kDefault); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate_or_throw(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate_or_throw(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, kDefault); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, kDefault); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
