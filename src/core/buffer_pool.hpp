// Large byte buffers recycled within the process. A comparison allocates a few image-sized buffers (decoded
// pixels, canvases, masks) and frees them when it is done; the next comparison, most often of images of the same
// size, asks for exactly the same sizes again. Handing back a buffer that is already mapped spares the kernel
// zeroing and mapping every page afresh, which costs as much as decoding a screenshot. The pool is bounded in
// blocks and bytes and matches sizes exactly, so it holds no more than what a few comparisons of the largest recent
// size use; small buffers go straight to the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace qf {

namespace buffer_pool {

// Below this size the heap is fast enough on its own.
inline constexpr std::size_t MIN_SIZE = 256 * 1024;
inline constexpr std::size_t MAX_BLOCKS = 16;
inline constexpr std::size_t MAX_BYTES = 256u << 20;

void* take(std::size_t size);             // a pooled block of exactly `size` bytes, or newly allocated memory
void give(void* block, std::size_t size);  // keeps the block for reuse, or frees it when the pool is full
void clear();                              // frees every pooled block
std::size_t pooled_bytes();

// What the pool holds now, and how often take() found a block of the size asked for (hits) or not (misses)
// since the process started. Sizes below MIN_SIZE never reach the pool and are not counted.
struct Stats {
  std::size_t blocks = 0;
  std::size_t bytes = 0;
  uint64_t hits = 0;
  uint64_t misses = 0;
  bool enabled = true;  // false in builds for the memory checkers, which get no pool
};
Stats stats();

}  // namespace buffer_pool

// std::allocator with large blocks going through the pool. Stateless: any two compare equal.
template <class T>
struct PooledAllocator {
  using value_type = T;
  PooledAllocator() = default;
  template <class U>
  PooledAllocator(const PooledAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t size = n * sizeof(T);
    if (size < buffer_pool::MIN_SIZE) return static_cast<T*>(::operator new(size));
    return static_cast<T*>(buffer_pool::take(size));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t size = n * sizeof(T);
    if (size < buffer_pool::MIN_SIZE) return ::operator delete(p);
    buffer_pool::give(p, size);
  }
  template <class U>
  bool operator==(const PooledAllocator<U>&) const noexcept { return true; }
};

}  // namespace qf
