// Start's memory plan and Finish, driven through the entry point step by step so that the
// state between selectors can be checked; and failures injected into every allocation.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"
#include "tests/protocol/protocol_support.h"
#include "tests/support/host_window.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#endif

namespace fa = filter_api;
namespace pt = protocol_test;

namespace {

// A host record for a w x h filter area, with a stored record asking for no dialog.
class DirectHost : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.hwnd = test_support::host_window();
    record = std::make_unique<fa::FilterRecord>();
    record->platformData = &platform;
    record->displayPixels = display;
    parameters = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ParameterRecord));
    ParameterRecord stored = pt::settings(8, 100, 50, 50, 0, 0, 0, 0);
    std::memcpy(GlobalLock(parameters), &stored, sizeof stored);
    GlobalUnlock(parameters);
    record->parameters = reinterpret_cast<char**>(parameters);
    module_state.host.block_alloc_fail_at = 0;
    module_state.host.gdi_create_fail_at = 0;
  }
  void TearDown() override {
    module_state.host.block_alloc_fail_at = 0;
    module_state.host.gdi_create_fail_at = 0;
    call(fa::filterSelectorFinish);
    GlobalFree(parameters);
  }
  void area(int16_t width, int16_t height, int16_t mode, int32_t max_space) {
    record->filterRect = fa::Rect{0, 0, height, width};
    record->imageSize = fa::Point{height, width};
    record->imageMode = mode;
    record->maxSpace = max_space;
  }
  int16_t call(int16_t selector) {
    int16_t result = 0;
    ENTRYPOINT1(selector, record.get(), &data, &result);
    return result;
  }
  int16_t prepare_and_start() {
    int16_t result = call(fa::filterSelectorPrepare);
    return result != 0 ? result : call(fa::filterSelectorStart);
  }

  static fa::OSErr display(const fa::PSPixelMap*, const fa::VRect*, int32_t, int32_t, void*) {
    return 0;
  }

  fa::PlatformData platform{};
  std::unique_ptr<fa::FilterRecord> record;
  HGLOBAL parameters = nullptr;
  intptr_t data = 0;
};

int32_t budget_base(int32_t width, int32_t height, int32_t planes) {
  int32_t row_bytes = width * planes;
  return (row_bytes + 1) * 32 + height + 2000 + (planes == 1 ? 512 : 4352) + 8192;
}

TEST_F(DirectHost, NeedEqualToTheBudgetIsRefusedWholeButAcceptedReduced) {
  const int16_t w = 300, h = 200;
  int32_t whole = w * h * 3;
  area(w, h, fa::plugInModeRGBColor, whole + budget_base(w, h, 3));
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(module_state.plan.decimation, 2);  // strictly less is needed at decimation 1
  call(fa::filterSelectorFinish);
  area(w, h, fa::plugInModeRGBColor, whole + budget_base(w, h, 3) + 1);
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(module_state.plan.decimation, 1);
  EXPECT_EQ(module_state.plan.image_copy, kNotNeeded);
  EXPECT_EQ(record->inRect.bottom, h);  // the whole area in the first delivery
  for (int16_t d = 2; d <= 5; ++d) {
    call(fa::filterSelectorFinish);
    int32_t need = (h / d) * (w / d) * 3;
    // The budget is lowered once, by two rows, however many decimations are tried.
    area(w, h, fa::plugInModeRGBColor, need + 2 * w * 3 + budget_base(w, h, 3));
    ASSERT_EQ(prepare_and_start(), 0) << d;
    EXPECT_EQ(module_state.plan.decimation, d);
    EXPECT_EQ(module_state.plan.rows_collected, 0);
    EXPECT_EQ(GlobalSize(module_state.plan.image_copy), SIZE_T(need));
    EXPECT_EQ(record->inRect.bottom, 1);  // one row at a time
    call(fa::filterSelectorFinish);
    area(w, h, fa::plugInModeRGBColor, need + 2 * w * 3 + budget_base(w, h, 3) - 1);
    ASSERT_EQ(prepare_and_start(), d == 5 ? fa::memFullErr : 0) << d;
    if (d < 5) {
      EXPECT_EQ(module_state.plan.decimation, d + 1);
    }
  }
}

TEST_F(DirectHost, ReducedWidthsTruncate) {
  area(1001, 50, fa::plugInModeGrayScale, 50 * 500 + 2 * 1001 + budget_base(1001, 50, 1));
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(module_state.plan.decimation, 2);
  EXPECT_EQ(module_state.plan.work_width, 500);
  EXPECT_EQ(module_state.plan.pixel_skip, 1);
  call(fa::filterSelectorFinish);
  area(1001, 50, fa::plugInModeGrayScale, 16 * 333 + 2 * 1001 + budget_base(1001, 50, 1));
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(module_state.plan.decimation, 3);
  EXPECT_EQ(module_state.plan.work_width, 333);
  EXPECT_EQ(module_state.plan.work_height, 16);
}

TEST_F(DirectHost, NoSelectionLeavesTheMaskAloneAndBuffersCoverTheWidestPreview) {
  area(64, 48, fa::plugInModeCMYKColor, 10000000);
  record->maskRect = fa::Rect{1, 2, 3, 4};
  record->displayPixels = nullptr;
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(module_state.plan.mask_block, kNotNeeded);
  EXPECT_EQ(module_state.selection.mask_rows_built, kNoMaskToBuild);
  EXPECT_EQ(record->maskRect.right, 4);
  EXPECT_EQ(GlobalSize(module_state.plan.preview_block), SIZE_T(4 * 512 * 4));
  EXPECT_EQ(GlobalSize(module_state.plan.dib_block), SIZE_T(4 * 512 * 3));
  EXPECT_NE(module_state.plan.marker_bitmap, nullptr);
  EXPECT_EQ(record->outRect.bottom - record->outRect.top, 1);
  EXPECT_EQ(record->inHiPlane, 3);
  EXPECT_EQ(record->outHiPlane, 3);
}

TEST_F(DirectHost, HostDrawingMeansNoScreenBuffer) {
  area(64, 48, fa::plugInModeRGBColor, 10000000);
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(module_state.plan.dib_block, nullptr);
}

TEST_F(DirectHost, ASelectionGetsItsMaskBlocksAndAsksForTheFirstMaskRow) {
  area(536, 400, fa::plugInModeRGBColor, 100000000);
  record->haveMask = 1;
  record->filterRect = fa::Rect{3, 0, 400, 536};
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(module_state.selection.mask_rows_built, 0);
  EXPECT_EQ(record->maskRect.top, 3);
  EXPECT_EQ(record->maskRect.bottom, 4);
  EXPECT_EQ(record->maskRect.right, 536);
  int32_t rows = module_state.preview.preview_height;
  int32_t row_bytes = module_state.selection.mask_row_bytes;
  EXPECT_EQ(row_bytes, 2 * ((module_state.preview.preview_width + 15) >> 4));
  // Guard rows above and below the mask rows.
  EXPECT_GE(GlobalSize(module_state.plan.mask_block), SIZE_T(2 * row_bytes + row_bytes * rows));
  EXPECT_GE(GlobalSize(module_state.plan.mask_saved_block), SIZE_T(row_bytes * rows));
  EXPECT_NE(module_state.plan.mask_bitmap, nullptr);
  EXPECT_NE(module_state.plan.mask_dc, nullptr);
}

TEST_F(DirectHost, FinishTwiceFreesNothingTwice) {
  area(64, 48, fa::plugInModeRGBColor, 10000000);
#ifndef _WIN32
  headless::reset_memory_stats();
  std::size_t live = headless::memory_stats().live_blocks;
#endif
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(call(fa::filterSelectorFinish), 0);
  EXPECT_EQ(call(fa::filterSelectorFinish), 0);
#ifndef _WIN32
  EXPECT_EQ(headless::memory_stats().live_blocks, live);
  EXPECT_EQ(headless::memory_stats().invalid_calls, 0u);
#endif
}

// A host that starts again without finishing the run before: nothing of that run is kept.
TEST_F(DirectHost, StartingAgainWithoutFinishKeepsNothingOfTheRunBefore) {
  area(64, 48, fa::plugInModeRGBColor, 10000000);
#ifndef _WIN32
  headless::reset_memory_stats();
  const std::size_t live = headless::memory_stats().live_blocks;
  const headless::DisplayCounts objects = headless::display_counts();
#endif
  ASSERT_EQ(prepare_and_start(), 0);
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(call(fa::filterSelectorFinish), 0);
#ifndef _WIN32
  EXPECT_EQ(headless::memory_stats().live_blocks, live);
  EXPECT_EQ(headless::display_counts().bitmaps, objects.bitmaps);
  EXPECT_EQ(headless::memory_stats().invalid_calls, 0u);
#endif
}

// A host that calls Continue after Finish: the run is over, nothing is asked for or touched.
TEST_F(DirectHost, ContinueAfterFinishAsksForNothing) {
  area(64, 48, fa::plugInModeRGBColor, 10000000);
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(call(fa::filterSelectorFinish), 0);
  record->inData = record->outData = nullptr;
  EXPECT_EQ(call(fa::filterSelectorContinue), 0);
  EXPECT_EQ(record->inRect.right, 0);
  EXPECT_EQ(record->outRect.right, 0);
  EXPECT_EQ(record->maskRect.right, 0);
}

TEST_F(DirectHost, AnEmptyFilterAreaEndsTheRunAtOnce) {
  area(0, 0, fa::plugInModeRGBColor, 10000000);
  record->filterRect = fa::Rect{5, 5, 5, 9};
  record->inRect = record->outRect = record->maskRect = fa::Rect{1, 1, 2, 2};
  ASSERT_EQ(prepare_and_start(), 0);
  EXPECT_EQ(record->inRect.right, 0);
  EXPECT_EQ(record->outRect.right, 0);
  EXPECT_EQ(record->maskRect.right, 0);
  EXPECT_EQ(module_state.plan.preview_block, nullptr);
}

#ifndef _WIN32
// With a selection on a small square picture, everything Start holds binds the plan (more than
// the budget does): at the smallest maxSpace that succeeds the peak is exactly maxSpace, and a
// record Start has to make for a host that hands none over needs its 20 bytes more.
TEST_F(DirectHost, ARecordStartMakesCountsAgainstMaxSpace) {
  auto start_with = [&](int32_t max_space, bool record_given, std::size_t* peak) {
    area(60, 60, fa::plugInModeGrayScale, max_space);
    record->haveMask = 1;
    record->parameters = record_given ? reinterpret_cast<char**>(parameters) : nullptr;
    headless::reset_memory_stats();
    std::size_t before = headless::memory_stats().live_bytes;
    int16_t result = prepare_and_start();
    *peak = headless::memory_stats().peak_bytes - before;
    call(fa::filterSelectorFinish);
    if (record->parameters != reinterpret_cast<char**>(parameters))
      GlobalFree(reinterpret_cast<HGLOBAL>(record->parameters));
    record->parameters = reinterpret_cast<char**>(parameters);
    return result;
  };
  int32_t low = 0, high = 400000;  // fails at low, succeeds at high
  std::size_t peak = 0;
  while (high - low > 1) {
    int32_t middle = low + (high - low) / 2;
    (start_with(middle, true, &peak) == 0 ? high : low) = middle;
  }
  EXPECT_EQ(start_with(high, true, &peak), 0);
  EXPECT_EQ(peak, std::size_t(high));
  const int32_t made = int32_t(sizeof(ParameterRecord));
  EXPECT_EQ(start_with(high + made - 1, false, &peak), fa::memFullErr);
  EXPECT_EQ(peak, std::size_t(made));  // the record alone, given to the host
  EXPECT_EQ(start_with(high + made, false, &peak), 0);
  EXPECT_EQ(peak, std::size_t(high + made));
  EXPECT_EQ(start_with(made - 1, false, &peak), fa::memFullErr);  // not even the record is made
  EXPECT_EQ(peak, 0u);
}
#endif

TEST_F(DirectHost, NoMemoryAtAllFailsWithMemoryFull) {
  // The most negative allowance too: the budget taken from it must not wrap round to plenty.
  for (int32_t max_space : {0, -5, 1000, 20000, INT32_MIN}) {
    area(100, 100, fa::plugInModeRGBColor, max_space);
    EXPECT_EQ(prepare_and_start(), fa::memFullErr) << max_space;
    EXPECT_EQ(module_state.plan.preview_block, nullptr);
    EXPECT_EQ(module_state.plan.image_copy, nullptr);
  }
}

// Every allocation and GDI object of Start, and of the row cache, failing in turn.
TEST_F(DirectHost, EachFailingAllocationEndsInAResultWithNothingLeftAlive) {
  for (bool selection : {false, true}) {
    int failures = 0;
    for (uint32_t n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << "selection " << selection << " allocation " << n);
      // Reduced to decimation 2, so the row cache is needed too.
      area(120, 90, fa::plugInModeRGBColor, selection ? 60000 : 40000);
      record->haveMask = selection ? 1 : 0;
      std::vector<uint8_t> pixels(120 * 90 * 3, 77), mask(120 * 90, 255), out(120 * 3 * 90, 0);
#ifndef _WIN32
      headless::reset_memory_stats();
      std::size_t live = headless::memory_stats().live_blocks;
#endif
      module_state.host.block_alloc_fail_at = module_state.host.block_alloc_calls + n;
      int16_t result = prepare_and_start();
      int calls = 0;
      while (result == 0 && calls < 5000 &&
             (record->inRect.right > record->inRect.left ||
              record->outRect.right > record->outRect.left ||
              (selection && record->maskRect.right > record->maskRect.left))) {
        record->inData = pixels.data() + record->inRect.top * 360;
        record->inRowBytes = 360;
        record->outData = out.data() + record->outRect.top * 360;
        record->maskData = mask.data();
        result = call(fa::filterSelectorContinue);
        ++calls;
      }
      bool reached = module_state.host.block_alloc_calls >= module_state.host.block_alloc_fail_at;
      module_state.host.block_alloc_fail_at = 0;
      // A failed working-image or row-cache size is not fatal: a smaller one is tried.
      if (reached) {
        EXPECT_TRUE(result == fa::memFullErr || result == 0) << result;
        failures += result == fa::memFullErr ? 1 : 0;
      } else {
        EXPECT_EQ(result, 0);
      }
      if (result == 0) {
        EXPECT_EQ(record->outRect.right, 0);  // the run went to its end
      } else {
        // A run that fails, in Start or in Continue, asks for nothing more.
        for (const fa::Rect& r : {record->inRect, record->outRect, record->maskRect})
          EXPECT_TRUE(r.top == 0 && r.left == 0 && r.bottom == 0 && r.right == 0);
      }
      // The host carries on regardless: more Continue calls, then Finish twice.
      EXPECT_EQ(call(fa::filterSelectorContinue), 0);
      EXPECT_EQ(record->inRect.right, 0);
      call(fa::filterSelectorFinish);
      call(fa::filterSelectorFinish);
#ifndef _WIN32
      EXPECT_EQ(headless::memory_stats().live_blocks, live);
      EXPECT_EQ(headless::memory_stats().invalid_calls, 0u);
#endif
      if (!reached) break;
    }
    EXPECT_GE(failures, selection ? 6 : 3);
  }
}

TEST_F(DirectHost, EachFailingGdiObjectEndsInMemoryFullWithNothingLeftAlive) {
  for (uint32_t n = 1; n <= 3; ++n) {
    area(120, 90, fa::plugInModeRGBColor, 10000000);
    record->haveMask = 1;
#ifndef _WIN32
    headless::reset_memory_stats();
    std::size_t live = headless::memory_stats().live_blocks;
#endif
    module_state.host.gdi_create_fail_at = module_state.host.gdi_create_calls + n;
    EXPECT_EQ(prepare_and_start(), fa::memFullErr) << n;
    module_state.host.gdi_create_fail_at = 0;
    call(fa::filterSelectorFinish);
    EXPECT_EQ(module_state.plan.marker_bitmap, nullptr);
    EXPECT_EQ(module_state.plan.mask_bitmap, nullptr);
    EXPECT_EQ(module_state.plan.mask_dc, nullptr);
#ifndef _WIN32
    EXPECT_EQ(headless::memory_stats().live_blocks, live);
#endif
  }
}

}  // namespace
