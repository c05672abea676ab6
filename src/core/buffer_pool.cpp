#include "core/buffer_pool.hpp"

#include <pthread.h>

#include <mutex>

namespace qf::buffer_pool {

namespace {

// The memory checkers find use after free only in memory that is really freed: they get no pool.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool ENABLED = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool ENABLED = false;
#else
constexpr bool ENABLED = true;
#endif
#else
constexpr bool ENABLED = true;
#endif

struct Block {
  void* data = nullptr;
  std::size_t size = 0;
};

// Blocks in the order they were given back, oldest first: the oldest leaves when room is needed.
struct Pool {
  std::mutex lock;
  Block blocks[MAX_BLOCKS];
  std::size_t count = 0;
  std::size_t bytes = 0;
  uint64_t hits = 0, misses = 0;

  void remove(std::size_t i) {
    bytes -= blocks[i].size;
    for (std::size_t j = i + 1; j < count; ++j) blocks[j - 1] = blocks[j];
    --count;
  }
};

Pool& pool() {
  // Never destroyed: buffers may be freed during interpreter shutdown. The lock is held across fork(), so a child
  // never inherits it taken by a thread that does not exist there.
  static Pool* p = [] {
    auto* made = new Pool;
    pthread_atfork([] { pool().lock.lock(); }, [] { pool().lock.unlock(); }, [] { pool().lock.unlock(); });
    return made;
  }();
  return *p;
}

// Made when the library loads, while one thread runs: a fork can never catch the pool half made.
[[maybe_unused]] const bool made_at_load = (pool(), true);

}  // namespace

void* take(std::size_t size) {
  if (ENABLED) {
    Pool& p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    for (std::size_t i = p.count; i-- > 0;) {  // the most recently given back is the likeliest still in cache
      if (p.blocks[i].size == size) {
        void* data = p.blocks[i].data;
        p.remove(i);
        ++p.hits;
        return data;
      }
    }
    ++p.misses;
  }
  return ::operator new(size);
}

void give(void* block, std::size_t size) {
  if (!ENABLED || size > MAX_BYTES) return ::operator delete(block);
  void* evicted[MAX_BLOCKS];
  std::size_t n_evicted = 0;
  {
    Pool& p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    while (p.count == MAX_BLOCKS || p.bytes + size > MAX_BYTES) {
      evicted[n_evicted++] = p.blocks[0].data;
      p.remove(0);
    }
    p.blocks[p.count++] = Block{block, size};
    p.bytes += size;
  }
  for (std::size_t i = 0; i < n_evicted; ++i) ::operator delete(evicted[i]);  // outside the lock
}

void clear() {
  Pool& p = pool();
  std::lock_guard<std::mutex> guard(p.lock);
  while (p.count > 0) {
    ::operator delete(p.blocks[p.count - 1].data);
    p.remove(p.count - 1);
  }
}

std::size_t pooled_bytes() {
  Pool& p = pool();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.bytes;
}

Stats stats() {
  Pool& p = pool();
  std::lock_guard<std::mutex> guard(p.lock);
  return {p.count, p.bytes, p.hits, p.misses, ENABLED};
}

}  // namespace qf::buffer_pool
