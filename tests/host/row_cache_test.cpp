// The row cache of the final pass: its size under memory pressure, first-in first-out
// refilling, and which slot a lookup reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "module/host/host.h"
#include "module/module_state.h"

namespace fa = filter_api;

namespace {

constexpr uint8_t kNone = 255;

class RowCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_state = ModuleState{};
    module_state.host.module_instance = GetModuleHandleA(nullptr);
    record = std::make_unique<fa::FilterRecord>();
    record->maxSpace = 100000000;
    module_state.host.filter_record = record.get();
    module_state.plan.decimation = 2;
    rows(4, 1, 600);
  }
  void TearDown() override { free_cache(); }

  static void rows(int16_t width, int16_t bytes_per_pixel, int16_t height) {
    module_state.host.filter_width = width;
    module_state.host.bytes_per_pixel = bytes_per_pixel;
    module_state.host.row_bytes = int32_t(width) * bytes_per_pixel;
    module_state.host.filter_height = height;
  }
  // Bytes of a cache of `slots` slots for the current rows.
  static int32_t cache_size(int32_t slots) {
    return (module_state.host.row_bytes + 1) * slots + module_state.host.filter_height;
  }
  static void free_cache() {
    ModuleState& s = module_state;
    if (s.plan.cache_block != nullptr) {
      GlobalUnlock(s.plan.cache_block);
      GlobalFree(s.plan.cache_block);
    }
    s.plan.cache_block = nullptr;
    s.cache.slot_of_row = s.cache.slot_stamp = s.cache.cache_data = nullptr;
    s.cache.cache_active = 0;
  }

  // Files a 4-byte row under `row` whose first two bytes carry `tag`.
  static void store(int16_t row, int32_t tag) {
    const uint8_t bytes[4] = {uint8_t(tag), uint8_t(tag >> 8), 0x5A, uint8_t(row)};
    module_state.plan.current_row = bytes;
    module_state.plan.delivered_row = row;
    row_cache_store();
    module_state.plan.current_row = nullptr;
  }
  static int32_t tag(int16_t row) {
    const uint8_t* bytes = row_cache_lookup(0, row);
    return bytes == nullptr ? -1 : bytes[0] | bytes[1] << 8;
  }

  std::unique_ptr<fa::FilterRecord> record;
};

TEST_F(RowCacheTest, DecimationOneNeedsNoCache) {
  module_state.plan.decimation = 1;
  EXPECT_EQ(row_cache_allocate(), 0);
  EXPECT_EQ(module_state.host.block_alloc_calls, 0u);
  EXPECT_EQ(module_state.plan.cache_block, nullptr);
  EXPECT_EQ(module_state.cache.cache_active, 0);
}

TEST_F(RowCacheTest, TakesTheFirstSizeThatCanBeAllocatedAndMarksEverythingUnused) {
  rows(33, 3, 50);  // 100 bytes a slot with its stamp
  // The allowance leaves out every size above 103 slots; the seam fails the 103-slot block
  // (the reserve is the first allocation), so 99 slots is the first size obtained.
  record->maxSpace = cache_size(103) + 2000 + int32_t(sizeof(ParameterRecord));
  module_state.host.block_alloc_fail_at = module_state.host.block_alloc_calls + 2;
  ASSERT_EQ(row_cache_allocate(), 0);
  EXPECT_EQ(module_state.host.block_alloc_calls, 3u);
  EXPECT_EQ(module_state.cache.cache_slots, 99);
  EXPECT_EQ(module_state.cache.cache_active, 1);
  EXPECT_EQ(module_state.cache.stamp_clock, 0);
  ASSERT_NE(module_state.plan.cache_block, nullptr);
  EXPECT_EQ(GlobalSize(module_state.plan.cache_block), size_t(cache_size(99)));
  const uint8_t* first = module_state.cache.slot_of_row;
  EXPECT_EQ(module_state.cache.slot_stamp, first + 50);
  EXPECT_EQ(module_state.cache.cache_data, first + 50 + 99);
  EXPECT_EQ(std::vector<uint8_t>(first, first + 50 + 99), std::vector<uint8_t>(50 + 99, kNone));
  for (int16_t row = 0; row < 50; ++row) EXPECT_EQ(row_cache_lookup(0, row), nullptr);
}

TEST_F(RowCacheTest, SmallestCacheHasThirtyFiveSlots) {
  record->maxSpace = cache_size(35) + 2000 + int32_t(sizeof(ParameterRecord));
  ASSERT_EQ(row_cache_allocate(), 0);
  EXPECT_EQ(module_state.cache.cache_slots, 35);
  EXPECT_EQ(module_state.host.block_alloc_calls, 2u);
}

TEST_F(RowCacheTest, FailureReleasesEverythingAndReportsMemoryFull) {
  struct Case {
    const char* what;
    int32_t max_space;
    uint32_t fail_call;  // block_alloc call that fails
    uint32_t calls;      // block_alloc calls made
  };
  const int32_t room = 2000 + int32_t(sizeof(ParameterRecord));
  const Case cases[] = {
      {"reserve fails", 100000000, 1, 1},
      {"35 slots fail", cache_size(35) + room, 2, 2},  // nothing smaller is tried
      {"no size fits", cache_size(35) + room - 1, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    record->maxSpace = c.max_space;
    module_state.host.block_alloc_fail_at = c.fail_call;
    EXPECT_EQ(row_cache_allocate(), 1);
    EXPECT_EQ(module_state.host.result_code, fa::memFullErr);
    EXPECT_EQ(module_state.host.block_alloc_calls, c.calls);
    EXPECT_EQ(module_state.plan.cache_block, nullptr);
    EXPECT_EQ(module_state.cache.cache_active, 0);
    EXPECT_EQ(module_state.cache.slot_of_row, nullptr);
  }
}

TEST_F(RowCacheTest, FillsSlotsInOrderAndRefillsTheOldestFirst) {
  ASSERT_EQ(row_cache_allocate(), 0);
  ASSERT_EQ(module_state.cache.cache_slots, 255);
  // Over two rounds and more, so the stamp clock wraps.
  for (int16_t row = 0; row < 600; ++row) {
    store(row, 1000 + row);
    ASSERT_EQ(module_state.cache.slot_of_row[row], row % 255) << "row " << row;
    ASSERT_EQ(module_state.cache.stamp_clock, uint8_t(row + 1));
    if (row >= 255) {
      ASSERT_EQ(module_state.cache.slot_of_row[row - 255], kNone) << "evicted row " << row - 255;
      ASSERT_EQ(row_cache_lookup(0, int16_t(row - 255)), nullptr);
    }
  }
  for (int16_t row = 600 - 255; row < 600; ++row) {
    ASSERT_EQ(tag(row), 1000 + row);
    EXPECT_EQ(row_cache_lookup(3, row), module_state.cache.cache_data + (row % 255) * 4 + 3);
  }
  EXPECT_EQ(tag(600 - 256), -1);
}

TEST_F(RowCacheTest, StoringACachedRowAgainMovesItToANewSlot) {
  ASSERT_EQ(row_cache_allocate(), 0);
  store(7, 1);
  store(7, 2);
  EXPECT_EQ(module_state.cache.slot_of_row[7], 1);
  EXPECT_EQ(tag(7), 2);
  EXPECT_EQ(module_state.cache.cache_data[0], 1);  // the old slot keeps its bytes
  for (int16_t row = 100; row < 100 + 253; ++row) store(row, row);
  store(400, 400);  // refills slot 0, which no row refers to any more
  EXPECT_EQ(module_state.cache.slot_of_row[400], 0);
  EXPECT_EQ(tag(7), 2);
  store(401, 401);  // refills slot 1
  EXPECT_EQ(module_state.cache.slot_of_row[401], 1);
  EXPECT_EQ(tag(7), -1);
}

TEST_F(RowCacheTest, AStoreWithoutARowChangesNothing) {
  ASSERT_EQ(row_cache_allocate(), 0);
  for (int16_t row = 0; row < 300; row = int16_t(row + 3)) store(row, row);
  const uint8_t* block = module_state.cache.slot_of_row;
  const std::vector<uint8_t> before(block, block + cache_size(255));
  const uint8_t clock = module_state.cache.stamp_clock;
  module_state.plan.current_row = nullptr;
  module_state.plan.delivered_row = 5;
  row_cache_store();
  EXPECT_EQ(module_state.cache.stamp_clock, clock);
  EXPECT_EQ(std::vector<uint8_t>(block, block + cache_size(255)), before);
}

TEST_F(RowCacheTest, LookupsLeaveStampsSoAFrequentlyReadRowIsStillReplaced) {
  ASSERT_EQ(row_cache_allocate(), 0);
  for (int16_t row = 0; row < 255; ++row) store(row, row);
  const std::vector<uint8_t> stamps(module_state.cache.slot_stamp,
                                    module_state.cache.slot_stamp + 255);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(tag(0), 0);
  EXPECT_EQ(
      std::vector<uint8_t>(module_state.cache.slot_stamp, module_state.cache.slot_stamp + 255),
      stamps);
  store(300, 300);
  EXPECT_EQ(module_state.cache.slot_of_row[300], 0);
  EXPECT_EQ(tag(0), -1);
}

}  // namespace
