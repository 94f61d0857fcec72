// headless_win32's global memory: Windows' block semantics, the accounting tests rely on,
// and fault injection.
#include <gtest/gtest.h>

#include <cstring>

#include "headless_win32/headless.h"

namespace {

class HeadlessMemory : public ::testing::Test {
 protected:
  void SetUp() override { headless::reset_memory_stats(); }
  void TearDown() override { headless::reset_memory_stats(); }
};

TEST_F(HeadlessMemory, MovableBlocksAreZeroedCountLocksAndFreeOnce) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 100);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(GlobalSize(block), 100u);
  auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
  ASSERT_NE(bytes, nullptr);
  EXPECT_NE(static_cast<void*>(bytes), block);  // a movable handle is not the address
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(GlobalLock(block), bytes);  // locked again: the same address
  EXPECT_EQ(headless::lock_count(block), 2);
  EXPECT_TRUE(GlobalUnlock(block));   // still locked once
  EXPECT_FALSE(GlobalUnlock(block));  // now unlocked
  EXPECT_FALSE(GlobalUnlock(block));  // unlocking an unlocked block is harmless
  EXPECT_EQ(headless::lock_count(block), 0);
  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(headless::memory_stats().invalid_calls, 0u);
  EXPECT_EQ(GlobalFree(block), block);  // a second free fails and is counted
  EXPECT_EQ(headless::memory_stats().invalid_calls, 1u);
  EXPECT_EQ(GlobalLock(block), nullptr);
}

TEST_F(HeadlessMemory, BlocksWithoutZeroInitAreNotZero) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 16);
  auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
  EXPECT_NE(bytes[0], 0);  // code that forgets GMEM_ZEROINIT sees garbage, as on Windows
  GlobalUnlock(block);
  GlobalFree(block);
}

TEST_F(HeadlessMemory, AccountsLiveAndPeakBytes) {
  headless::MemoryStats before = headless::memory_stats();
  HGLOBAL a = GlobalAlloc(GHND, 1000);
  HGLOBAL b = GlobalAlloc(GHND, 500);
  headless::MemoryStats during = headless::memory_stats();
  EXPECT_EQ(during.live_bytes - before.live_bytes, 1500u);
  EXPECT_EQ(during.live_blocks - before.live_blocks, 2u);
  GlobalFree(a);
  HGLOBAL c = GlobalAlloc(GHND, 200);
  headless::MemoryStats after = headless::memory_stats();
  EXPECT_EQ(after.live_bytes - before.live_bytes, 700u);
  EXPECT_EQ(after.peak_bytes - before.live_bytes, 1500u);
  EXPECT_EQ(after.allocations, 3u);
  GlobalFree(b);
  GlobalFree(c);
  EXPECT_EQ(headless::memory_stats().live_bytes, before.live_bytes);
}

TEST_F(HeadlessMemory, FailsTheNthAllocationOnce) {
  headless::fail_allocation(3);
  HGLOBAL a = GlobalAlloc(GHND, 8);
  HGLOBAL b = GlobalAlloc(GHND, 8);
  HGLOBAL c = GlobalAlloc(GHND, 8);
  HGLOBAL d = GlobalAlloc(GHND, 8);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(headless::memory_stats().failed_allocations, 1u);
  for (HGLOBAL h : {a, b, d}) GlobalFree(h);
}

TEST_F(HeadlessMemory, FailsAllocationsPastTheByteLimit) {
  std::size_t live = headless::memory_stats().live_bytes;
  headless::set_byte_limit(live + 1000);
  HGLOBAL a = GlobalAlloc(GHND, 600);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(GlobalAlloc(GHND, 401), nullptr);  // would pass the limit
  HGLOBAL b = GlobalAlloc(GHND, 400);          // exactly reaches it
  EXPECT_NE(b, nullptr);
  GlobalFree(a);
  HGLOBAL c = GlobalAlloc(GHND, 600);  // room again once a block is freed
  EXPECT_NE(c, nullptr);
  for (HGLOBAL h : {b, c}) GlobalFree(h);
}

TEST_F(HeadlessMemory, FixedBlocksAreTheirOwnAddress) {
  HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 4);
  EXPECT_EQ(GlobalLock(block), block);
  GlobalUnlock(block);
  EXPECT_EQ(GlobalFree(block), nullptr);
}

TEST_F(HeadlessMemory, ZeroSizedMovableBlockHasNoAddress) {
  HGLOBAL block = GlobalAlloc(GHND, 0);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(GlobalLock(block), nullptr);
  EXPECT_EQ(GlobalFree(block), nullptr);
}

}  // namespace
