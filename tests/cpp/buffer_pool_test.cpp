#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "core/buffer_pool.hpp"
#include "core/types.hpp"

using namespace qf;

TEST(BufferPool, ReusesExactSizesWithinItsBounds) {
  buffer_pool::clear();
  constexpr std::size_t SIZE = 1 << 20;
  void* first = buffer_pool::take(SIZE);
  buffer_pool::give(first, SIZE);
  if (buffer_pool::pooled_bytes() == 0) GTEST_SKIP() << "no pool under the memory checkers";
  EXPECT_EQ(buffer_pool::pooled_bytes(), SIZE);
  void* other_size = buffer_pool::take(SIZE + 1);  // sizes match exactly or not at all
  EXPECT_NE(other_size, first);
  EXPECT_EQ(buffer_pool::take(SIZE), first);
  EXPECT_EQ(buffer_pool::pooled_bytes(), 0u);
  buffer_pool::give(other_size, SIZE + 1);
  buffer_pool::give(first, SIZE);

  // More blocks than it keeps: the oldest leave first, and the bytes never exceed the bound.
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < buffer_pool::MAX_BLOCKS + 3; ++i) blocks.push_back(buffer_pool::take(SIZE));
  for (void* b : blocks) buffer_pool::give(b, SIZE);
  EXPECT_EQ(buffer_pool::pooled_bytes(), buffer_pool::MAX_BLOCKS * SIZE);
  EXPECT_EQ(buffer_pool::take(SIZE), blocks.back());
  buffer_pool::give(blocks.back(), SIZE);
  void* huge = buffer_pool::take(buffer_pool::MAX_BYTES / 2 + 1);
  buffer_pool::give(huge, buffer_pool::MAX_BYTES / 2 + 1);
  EXPECT_LE(buffer_pool::pooled_bytes(), buffer_pool::MAX_BYTES);
  buffer_pool::clear();
  EXPECT_EQ(buffer_pool::pooled_bytes(), 0u);
}

TEST(BufferPool, ReusedBuffersStillStartAsAskedFor) {
  // A vector's new elements are zero even when its memory comes back from the pool dirty.
  { Bytes dirty(3 << 20, 0xAB); }
  Bytes fresh(3 << 20);
  EXPECT_EQ(std::count(fresh.begin(), fresh.end(), 0), static_cast<std::ptrdiff_t>(fresh.size()));
  Bytes small(100, 7);
  EXPECT_EQ(small[99], 7);
}

// A fork while another thread is inside the pool leaves the child a pool it can use (it would hang on the lock).
TEST(BufferPool, ForkedChildrenCanUseThePool) {
  constexpr std::size_t SIZE = 1 << 20;
  buffer_pool::give(buffer_pool::take(SIZE), SIZE);
  // Without the pool every block comes from the heap, and the memory checkers' heap is not usable in a child
  // forked while another thread allocates.
  if (buffer_pool::pooled_bytes() == 0) GTEST_SKIP() << "no pool under the memory checkers";
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) buffer_pool::give(buffer_pool::take(SIZE), SIZE);
  });
  for (int i = 0; i < 20; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(5);  // a hang ends the child with SIGALRM
      buffer_pool::give(buffer_pool::take(SIZE), SIZE);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << i << " status " << status;
  }
  stop = true;
  busy.join();
}

TEST(BufferPool, CountsHitsAndMisses) {
  buffer_pool::clear();
  constexpr std::size_t SIZE = 3 << 20;
  const buffer_pool::Stats start = buffer_pool::stats();
  if (!start.enabled) GTEST_SKIP() << "no pool under the memory checkers";
  void* a = buffer_pool::take(SIZE);  // nothing of that size kept: a miss
  buffer_pool::give(a, SIZE);
  const buffer_pool::Stats kept = buffer_pool::stats();
  EXPECT_EQ(kept.misses, start.misses + 1);
  EXPECT_EQ(kept.blocks, start.blocks + 1);
  EXPECT_EQ(kept.bytes, start.bytes + SIZE);
  void* b = buffer_pool::take(SIZE);  // the kept block: a hit
  EXPECT_EQ(b, a);
  const buffer_pool::Stats reused = buffer_pool::stats();
  EXPECT_EQ(reused.hits, start.hits + 1);
  EXPECT_EQ(reused.blocks, start.blocks);
  buffer_pool::give(b, SIZE);
  buffer_pool::clear();
  EXPECT_EQ(buffer_pool::stats().bytes, 0u);
}
