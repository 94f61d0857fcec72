// Marching ants on a headless dialog's big preview: the first tick paints the outline white
// and inverts its stripes, later ticks move the stripes one diagonal step; only blocks that
// hold outline pixels are blitted.
#include <gtest/gtest.h>

#include <vector>

#include "module/module_state.h"
#include "module/outline/outline.h"
#include "module/ui/ui.h"
#include "tests/support/template_dialog.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#endif

namespace {

// A 1-bit preview of width x height with its blocks, as the dialog phase has them locked.
struct Preview {
  std::vector<uint8_t> mask, saved, outline;
  void make(int16_t width, int16_t height) {
    ModuleState& s = module_state;
    s.preview.preview_width = width;
    s.preview.preview_height = height;
    s.selection.mask_row_words = int16_t((width + 15) >> 4);
    s.selection.mask_row_bytes = int16_t(2 * s.selection.mask_row_words);
    s.selection.mask_size = s.selection.mask_row_bytes * height;
    mask.assign(size_t(s.selection.mask_size + 2 * s.selection.mask_row_bytes), 0);
    saved.assign(size_t(s.selection.mask_size), 0);
    outline.assign(size_t(s.selection.mask_size + s.selection.mask_row_bytes), 0);
    s.selection.mask_guard = mask.data();
    s.selection.mask_bits = mask.data() + s.selection.mask_row_bytes;
    s.selection.mask_saved = saved.data();
    s.selection.outline_bits = outline.data();
  }
};

TEST(AntRuns, MergeNeighbouringBlocksAndClipToThePreview) {
  Preview p;
  p.make(160, 100);
  ModuleState& s = module_state;
  for (int x : {0, 40, 100})
    s.selection.outline_bits[97 * s.selection.mask_row_bytes + x / 8] = 0x10;
  int16_t starts[16], widths[16];
  ASSERT_EQ(ant_runs(96, 4, starts, widths), 2);  // the last band is 4 rows high
  EXPECT_EQ(starts[0], 0);
  EXPECT_EQ(widths[0], 64);
  EXPECT_EQ(starts[1], 96);
  EXPECT_EQ(widths[1], 32);
  EXPECT_EQ(ant_runs(0, 32, starts, widths), 0);
  s.selection.outline_bits[97 * s.selection.mask_row_bytes + 19] =
      1;  // the last block joins the run before it
  ASSERT_EQ(ant_runs(96, 4, starts, widths), 2);
  EXPECT_EQ(starts[1], 96);
  EXPECT_EQ(widths[1], 64);
}

#ifndef _WIN32
void stripes_crawl(HWND dialog) {
  ModuleState& s = module_state;
  Preview p;
  p.make(40, 30);
  for (int y = 10; y <= 20; ++y)
    for (int x = 10; x <= 20; ++x)
      s.selection.mask_bits[y * s.selection.mask_row_bytes + x / 8] |= 0x80 >> (x % 8);
  HWND view = GetDlgItem(dialog, dialog_id::kBigView);
  HDC dc = GetDC(view);
  RECT all{0, 0, 40, 30};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
  s.plan.mask_bitmap = CreateBitmap(s.selection.mask_row_bytes * 8, 30, 1, 1, nullptr);
  s.plan.mask_dc = CreateCompatibleDC(dc);
  SelectObject(s.plan.mask_dc, s.plan.mask_bitmap);
  ReleaseDC(view, dc);
  COLORREF gray = headless::window_pixel(view, 0, 0);

  build_outline();
  EXPECT_EQ(headless::timers().size(), 1u);
  for (int tick = 1; tick <= 3; ++tick) {
    ants_tick();
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 40; ++x) {
        bool inside = x >= 10 && x <= 20 && y >= 10 && y <= 20;
        bool border = inside && (x == 10 || x == 20 || y == 10 || y == 20);
        // After tick m a border pixel is black when (x + y + 2 - m) mod 8 <= 4.
        COLORREF want = !border                           ? gray
                        : (x + y + 2 - tick + 8) % 8 <= 4 ? RGB(0, 0, 0)
                                                          : RGB(255, 255, 255);
        EXPECT_EQ(headless::window_pixel(view, x, y), want) << tick << ": " << x << "," << y;
      }
  }
  // A tick that came due while the last one was drawn is dropped, not played late.
  headless::advance_virtual_time(250);
  EXPECT_TRUE(headless::timers().front().pending);
  ants_tick();
  EXPECT_FALSE(headless::timers().front().pending);
  KillTimer(dialog, 1);
  DeleteDC(s.plan.mask_dc);
  DeleteObject(s.plan.mask_bitmap);
  s.plan.mask_dc = nullptr;
  s.plan.mask_bitmap = nullptr;
}

TEST(Ants, StripesAppearOnTheOutlineAndCrawlOneStepPerTick) {
  module_state = ModuleState{};
  headless::DisplayCounts before = headless::display_counts();
  EXPECT_EQ(test_support::run_in_dialog(stripes_crawl), 1);
  EXPECT_EQ(headless::display_counts().bitmaps, before.bitmaps);
  test_support::unregister_view_classes();
}

// Pixels blitted by one tick after the first, for a square outline of `side` pixels at
// (20, 20) in a 512 x 512 preview.
std::size_t blitted_per_tick(int side, std::size_t* blits) {
  ModuleState& s = module_state;
  Preview p;
  p.make(512, 512);
  for (int y = 20; y < 20 + side; ++y)
    for (int x = 20; x < 20 + side; ++x)
      s.selection.mask_bits[y * s.selection.mask_row_bytes + x / 8] |= 0x80 >> (x % 8);
  HDC dc = GetDC(nullptr);
  s.plan.mask_bitmap = CreateBitmap(s.selection.mask_row_bytes * 8, 512, 1, 1, nullptr);
  s.plan.mask_dc = CreateCompatibleDC(dc);
  ReleaseDC(nullptr, dc);
  SelectObject(s.plan.mask_dc, s.plan.mask_bitmap);
  build_outline();
  ants_tick();
  headless::reset_draw_stats();
  ants_tick();
  *blits = headless::draw_stats().blits;
  KillTimer(s.dialog.dialog_window, 1);
  DeleteDC(s.plan.mask_dc);
  DeleteObject(s.plan.mask_bitmap);
  s.plan.mask_dc = nullptr;
  s.plan.mask_bitmap = nullptr;
  return headless::draw_stats().blit_pixels;
}

void tick_costs(HWND) {
  std::size_t small_blits = 0, large_blits = 0;
  // A 10-pixel square lies in one 32 x 32 block.
  EXPECT_EQ(blitted_per_tick(10, &small_blits), 32u * 32u);
  EXPECT_EQ(small_blits, 1u);
  // A 400-pixel square: the bands of its top and bottom edges blitted across, the others
  // only at the two sides, far less than the 512 x 512 preview.
  std::size_t large = blitted_per_tick(400, &large_blits);
  EXPECT_EQ(large_blits, 2u + 2u * 12u);  // bands 0 and 13 whole, 1 to 12 at both sides
  EXPECT_EQ(large, 2u * (14u * 32u * 32u) + 12u * 2u * 32u * 32u);
  EXPECT_LT(large, 512u * 512u / 4u);
}

TEST(Ants, ATickCostsTimeByTheOutlinesLengthNotThePreviewsArea) {
  module_state = ModuleState{};
  EXPECT_EQ(test_support::run_in_dialog(tick_costs), 1);
  test_support::unregister_view_classes();
}
#endif

}  // namespace
