// The big and small previews on a headless dialog: the first paint only sizes the views,
// later paints render in bands of four rows; the marker and its repair; the guide lines
// (inverted twice they vanish, their count and shape per mode, the axis switch near 45
// degrees); dragging the centre and what each move redraws.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "headless_win32/headless.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"
#include "module/ui/dialog_ids.h"
#include "module/ui/ui.h"
#include "tests/support/template_dialog.h"

namespace {

constexpr int kBig = dialog_id::kBigView, kSmall = dialog_id::kSmallView;
const uint8_t kMarker[16] = {0xE7, 0x00, 0xFF, 0x42, 0xFF, 0x24, 0x7E, 0x18,
                             0x7E, 0x18, 0xFF, 0x24, 0xFF, 0x42, 0xE7, 0x00};
constexpr COLORREF kWhite = 0xFFFFFF, kBlack = 0;

// The module as the dialog phase has it: an RGB working image held whole, the preview
// buffers, the marker, a stored record with no centre, default settings.
class Views : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleState& s = module_state;
    s = ModuleState{};
    s.host.module_instance = GetModuleHandleA(nullptr);
    host = std::make_unique<filter_api::FilterRecord>();
    host->imageMode = filter_api::plugInModeRGBColor;
    record = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ParameterRecord));
    auto* stored = static_cast<ParameterRecord*>(GlobalLock(record));
    fill_default_record(stored);
    GlobalUnlock(record);
    host->parameters = reinterpret_cast<char**>(record);
    s.host.filter_record = host.get();
    s.settings.regions = 8;
    s.settings.intensity = 100;
    s.settings.angle = 50;
    s.settings.spacing = 50;
    pixels.assign(kPreviewPixelsSize, 0);
    s.plan.preview_pixels = pixels.data();
    s.plan.dib_block = block_alloc(kDibBufferSize);
    s.plan.marker_bitmap = CreateBitmap(16, 8, 1, 1, kMarker);
    use_image(1000, 500);
  }
  void TearDown() override {
    ModuleState& s = module_state;
    if (s.screen.dib_buffer != nullptr) block_unlock(s.plan.dib_block);
    block_free(s.plan.dib_block);
    DeleteObject(s.plan.marker_bitmap);
    GlobalFree(record);
    test_support::unregister_view_classes();
    s = ModuleState{};
    s.host.module_instance = GetModuleHandleA(nullptr);
    EXPECT_EQ(headless::display_counts().window_dcs, 0u);
    EXPECT_EQ(headless::display_counts().pens, 0u);
  }
  // A working image of width x height whose every pixel differs from its neighbours.
  void use_image(int16_t width, int16_t height) {
    ModuleState& s = module_state;
    image.resize(size_t(width) * height * 3);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 31 + i / 3 * 7);
    s.host.bytes_per_pixel = 3;
    s.plan.decimation = 1;
    s.host.filter_width = s.plan.work_width = width;
    s.host.filter_height = s.plan.work_height = height;
    s.plan.work_row_bytes = width * 3;
    s.plan.image_base = image.data();
    compute_preview_geometry(268, 268);
  }
  void run(std::function<void(HWND)> checks) {
    ASSERT_EQ(test_support::run_in_dialog(std::move(checks)), 1);
  }
  // What the plain preview shows at (col, row): the working pixel it falls on, or for the
  // columns and rows past the working image, the last one.
  COLORREF expected(int col, int row) const {
    const ModuleState& s = module_state;
    auto at = [&](int p, int limit) {
      int64_t w = (int64_t(p) * s.preview.preview_step + 32768) >> 16;
      return int(std::min<int64_t>(w, limit - 1));
    };
    const uint8_t* p = s.plan.image_base + at(row, s.plan.work_height) * s.plan.work_row_bytes +
                       at(col, s.plan.work_width) * 3;
    return RGB(p[0], p[1], p[2]);
  }
  static HWND view(HWND dialog, int id) { return GetDlgItem(dialog, id); }
  static POINT client(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {r.right, r.bottom};
  }
  static void paint(HWND window, int stock) {
    HDC dc = GetDC(window);
    RECT r{};
    GetClientRect(window, &r);
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(stock)));
    ReleaseDC(window, dc);
  }
  static std::vector<COLORREF> pixels_of(HWND window) {
    POINT size = client(window);
    std::vector<COLORREF> out;
    for (int y = 0; y < size.y; ++y)
      for (int x = 0; x < size.x; ++x) out.push_back(headless::window_pixel(window, x, y));
    return out;
  }
  // Both renders of a freshly opened dialog: the sizing paint and the first real one.
  static void open_views() {
    render_big_preview();
    render_big_preview();
  }
  // Pixels of the 8 x 8 block at the centre that are not the marker over the plain picture:
  // white where the paint mask is set, black on its cross, the picture in the notches.
  int marker_errors(HWND big) const {
    const ModuleState& s = module_state;
    int wrong = 0;
    for (int j = 0; j < 8; ++j)
      for (int i = 0; i < 8; ++i) {
        int x = s.preview.center_x - 4 + i, y = s.preview.center_y - 4 + j;
        bool paint = (kMarker[2 * j] >> (7 - i)) & 1, cross = (kMarker[2 * j + 1] >> (7 - i)) & 1;
        COLORREF want = !paint ? expected(x, y) : cross ? kBlack : kWhite;
        wrong += headless::window_pixel(big, x, y) != want;
      }
    return wrong;
  }
  // Whether (x, y) of the big view lies in the 8 x 8 marker block.
  static bool in_marker(int x, int y) {
    const ModuleState& s = module_state;
    return x >= s.preview.center_x - 4 && x < s.preview.center_x + 4 &&
           y >= s.preview.center_y - 4 && y < s.preview.center_y + 4;
  }

  std::unique_ptr<filter_api::FilterRecord> host;
  HGLOBAL record = nullptr;
  std::vector<uint8_t> pixels, image;
};

TEST_F(Views, TheFirstPaintOnlySizesTheViewsAndTheNextRendersInBandsOfFour) {
  run([this](HWND dialog) {
    ModuleState& s = module_state;
    ASSERT_EQ(s.preview.preview_width, 268);
    ASSERT_EQ(s.preview.preview_height, 134);
    ASSERT_EQ(s.preview.preview_step, 244537);
    std::vector<COLORREF> before = pixels_of(view(dialog, kBig));
    headless::reset_draw_stats();
    s.settings.angle = -1;  // no guide lines, so the picture can be compared
    render_big_preview();
    EXPECT_EQ(headless::draw_stats().dib_calls, 0u);
    EXPECT_EQ(s.preview.dialog_ready, 1);
    EXPECT_EQ(client(view(dialog, kBig)).x, 268);
    EXPECT_EQ(client(view(dialog, kBig)).y, 134);
    EXPECT_EQ(client(view(dialog, kSmall)).x, 134);
    EXPECT_EQ(client(view(dialog, kSmall)).y, 67);
    EXPECT_EQ(s.preview.center_x, 134);  // no stored centre: the middle of the preview
    EXPECT_EQ(s.preview.center_y, 67);
    std::vector<COLORREF> after = pixels_of(view(dialog, kBig));
    EXPECT_TRUE(std::equal(after.begin(), after.end(), before.begin()));

    render_big_preview();
    // 33 bands of four rows and the last two rows.
    EXPECT_EQ(headless::draw_stats().dib_calls, 34u);
    EXPECT_EQ(headless::draw_stats().dib_pixels, 268u * 134u);
    // Preview columns 0, 1, 2, 3 show working columns 0, 4, 7, 11.
    EXPECT_EQ(expected(3, 0), RGB(image[33], image[34], image[35]));
    HWND big = view(dialog, kBig);
    int wrong = 0;
    for (int y = 0; y < 134; ++y)
      for (int x = 0; x < 268; ++x)
        if (!in_marker(x, y) && headless::window_pixel(big, x, y) != expected(x, y)) ++wrong;
    EXPECT_EQ(wrong, 0);
    // The marker: a white patch with notches, a black cross inverted into it.
    EXPECT_EQ(marker_errors(big), 0);
  });
}

TEST_F(Views, AnEnlargedPreviewRepeatsItsLastColumnAndRow) {
  use_image(100, 100);
  run([this](HWND dialog) {
    ModuleState& s = module_state;
    ASSERT_EQ(s.preview.preview_width, 268);
    ASSERT_EQ(s.preview.preview_step, 24453);
    s.settings.angle = -1;
    open_views();
    HWND big = view(dialog, kBig);
    // Preview row and column 267 would read working row and column 100: they repeat 266.
    EXPECT_EQ(expected(267, 5), expected(266, 5));
    int wrong = 0;
    for (int y = 0; y < 268; ++y)
      for (int x = 0; x < 268; ++x)
        if (!in_marker(x, y) && headless::window_pixel(big, x, y) != expected(x, y)) ++wrong;
    EXPECT_EQ(wrong, 0);
  });
}

TEST_F(Views, TheRedrawPhasesClearAndRepairWhatTheyShould) {
  run([this](HWND dialog) {
    ModuleState& s = module_state;
    open_views();
    HWND big = view(dialog, kBig), small = view(dialog, kSmall);
    ASSERT_EQ(s.dialog.guides_drawn, 1);
    const int cx = s.preview.center_x, cy = s.preview.center_y;
    auto marker_shown = [&] { return headless::window_pixel(big, cx - 4, cy - 4) == kWhite; };
    ASSERT_TRUE(marker_shown());

    paint(small, BLACK_BRUSH);
    restore_marker_area(
        Overlays::kGuidesOnly);  // small view cleared, big lines gone, big marker stays whole
    EXPECT_EQ(headless::window_pixel(small, 0, 0), kWhite);
    EXPECT_EQ(s.dialog.guides_drawn, 0);
    EXPECT_EQ(marker_errors(big), 0);  // the lines through the centre left no trace in it
    redraw_overlays(Overlays::kGuidesOnly);
    EXPECT_EQ(s.dialog.guides_drawn, 1);

    paint(small, BLACK_BRUSH);
    restore_marker_area(Overlays::kSmallView);  // only the small view
    EXPECT_EQ(headless::window_pixel(small, 0, 0), kWhite);
    EXPECT_EQ(s.dialog.guides_drawn, 1);
    EXPECT_TRUE(marker_shown());

    paint(small, BLACK_BRUSH);
    headless::reset_draw_stats();
    restore_marker_area(Overlays::kBigView);  // big lines and marker gone, small view untouched
    EXPECT_EQ(headless::window_pixel(small, 0, 0), kBlack);
    EXPECT_EQ(s.dialog.guides_drawn, 0);
    EXPECT_EQ(headless::draw_stats().dib_pixels, 64u);  // only the 8 x 8 block
    for (int j = 0; j < 8; ++j)
      for (int i = 0; i < 8; ++i)
        EXPECT_EQ(headless::window_pixel(big, cx - 4 + i, cy - 4 + j),
                  expected(cx - 4 + i, cy - 4 + j));
    redraw_overlays(Overlays::kBigView);
    EXPECT_TRUE(marker_shown());

    restore_marker_area(Overlays::kBothViews);  // everything
    EXPECT_EQ(headless::window_pixel(small, 0, 0), kWhite);
    EXPECT_FALSE(marker_shown());
  });
}

TEST_F(Views, TheMarkerBlockIsClippedAtTheTopLeftCorner) {
  run([](HWND) {
    ModuleState& s = module_state;
    open_views();
    s.preview.center_x = 2;
    s.preview.center_y = 1;
    headless::reset_draw_stats();
    restore_marker_area(Overlays::kBigView);
    // Columns 0..5 and rows 0..4.
    EXPECT_EQ(headless::draw_stats().dib_calls, 1u);
    EXPECT_EQ(headless::draw_stats().dib_pixels, 6u * 5u);
  });
}

TEST_F(Views, BigGuideLinesDrawnTwiceLeaveEveryPixelAsItWas) {
  run([this](HWND dialog) {
    ModuleState& s = module_state;
    open_views();
    HWND big = view(dialog, kBig);
    restore_marker_area(Overlays::kGuidesOnly);  // the lines off
    std::vector<COLORREF> plain = pixels_of(big);
    for (int16_t mode : {0, 1, -1}) {
      for (int16_t angle : {0, 30, 44, 45, 90, 134, 135, 200, 300, 360}) {
        s.settings.mode = mode;
        s.settings.angle = angle;
        s.settings.regions = 20;
        s.settings.spacing = 5;
        draw_guide_lines(s.preview.center_x, s.preview.center_y, 0);
        EXPECT_NE(pixels_of(big), plain) << mode << " " << angle;
        draw_guide_lines(s.preview.center_x, s.preview.center_y, 0);
        EXPECT_EQ(pixels_of(big), plain) << mode << " " << angle;
      }
    }
  });
}

// Runs of black pixels along row y of the small view, between columns x0 and x1.
int black_runs(HWND window, int y, int x0, int x1) {
  int runs = 0;
  bool in_run = false;
  for (int x = x0; x < x1; ++x) {
    bool black = headless::window_pixel(window, x, y) == kBlack;
    if (black && !in_run) ++runs;
    in_run = black;
  }
  return runs;
}

TEST_F(Views, EachModeDrawsItsLinesRungsRailsAndCrosses) {
  run([](HWND dialog) {
    ModuleState& s = module_state;
    open_views();
    HWND small = GetDlgItem(dialog, kSmall);
    // Angle 0: lines across the rows at every band width (268 * 40 / 512 = 20.9 pixels in
    // the small view) to the right of the centre at (33, 33), at columns 33, 54, 75, 96, 117.
    s.settings.angle = 0;
    s.settings.regions = 3;
    s.settings.spacing = 40;
    s.preview.center_x = 66;
    s.preview.center_y = 66;
    auto draw = [&](int16_t mode) {
      s.settings.mode = mode;
      restore_marker_area(Overlays::kSmallView);
      draw_small_guides(33, 33);
    };
    draw(0);
    EXPECT_EQ(black_runs(small, 5, 0, 134), 5);  // five whole lines
    EXPECT_EQ(black_runs(small, 60, 0, 134), 5);
    EXPECT_EQ(headless::window_pixel(small, 117, 5), kBlack);
    draw(-1);
    EXPECT_EQ(black_runs(small, 5, 0, 134), 2);    // two whole lines
    EXPECT_EQ(black_runs(small, 33, 40, 134), 4);  // line 1 and three crosses
    EXPECT_EQ(headless::window_pixel(small, 117, 33), kBlack);
    EXPECT_EQ(headless::window_pixel(small, 119, 35), kBlack);  // a cross's arm
    draw(1);
    EXPECT_EQ(black_runs(small, 5, 0, 134), 0);   // rungs are one band long
    EXPECT_EQ(black_runs(small, 33, 0, 134), 5);  // five rungs through the centre row
    // The two rails half a band (10 pixels) above and below, from the centre rung to the last.
    EXPECT_EQ(black_runs(small, 23, 0, 134), 1);
    EXPECT_EQ(black_runs(small, 43, 0, 134), 1);
    EXPECT_EQ(headless::window_pixel(small, 100, 23), kBlack);
    EXPECT_EQ(headless::window_pixel(small, 125, 23), kWhite);
    EXPECT_EQ(headless::window_pixel(small, 20, 23), kWhite);
  });
}

TEST_F(Views, TheCentreLineFollowsTheAngleOnEitherSideOf45Degrees) {
  run([](HWND dialog) {
    ModuleState& s = module_state;
    open_views();
    HWND small = GetDlgItem(dialog, kSmall);
    s.settings.mode = 0;
    s.settings.regions = 1;
    s.settings.spacing = 100;  // the second line leaves the view
    s.preview.center_x = 60;
    s.preview.center_y = 60;
    for (int16_t angle : {0, 44, 45, 89, 90, 91, 134, 135, 180, 270, 315, 360}) {
      s.settings.angle = angle;
      restore_marker_area(Overlays::kSmallView);
      draw_small_guides(30, 30);
      // Every pixel near the centre within a line's width of the exact line through (30.5,
      // 30.5) perpendicular to the direction is black on at least one side.
      double c = std::cos(angle * 3.14159265359 / 180.0),
             sn = std::sin(angle * 3.14159265359 / 180.0);
      int on_line = 0, near_line_black = 0;
      for (int y = 10; y < 55; ++y) {
        for (int x = 10; x < 55; ++x) {
          double distance = (x + 0.5 - 30.5) * c + (y + 0.5 - 30.5) * sn;
          if (std::fabs(distance) < 0.5) {
            ++on_line;
            bool black = false;
            for (int dy = -1; dy <= 1; ++dy)
              for (int dx = -1; dx <= 1; ++dx)
                black |= headless::window_pixel(small, x + dx, y + dy) == kBlack;
            if (black) ++near_line_black;
          }
        }
      }
      EXPECT_GT(on_line, 30) << angle;
      EXPECT_EQ(near_line_black, on_line) << angle;
    }
  });
}

TEST_F(Views, DraggingMovesTheCentreClampsItAndRedrawsOnlyWhatChanged) {
  run([this](HWND dialog) {
    ModuleState& s = module_state;
    open_views();
    HWND small = view(dialog, kSmall);
    // Pressing in the big view moves the centre there; in the small view to twice the point.
    SendMessageA(view(dialog, kBig), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    EXPECT_EQ(s.dialog.big_capture, 1);
    EXPECT_EQ(s.preview.center_x, 10);
    EXPECT_EQ(s.preview.center_y, 10);
    for (auto [x, y, cx, cy] : std::vector<std::array<int, 4>>{
             {-5, 20, 0, 20}, {20, -7, 20, 0}, {400, 20, 267, 20}, {20, 300, 20, 133}}) {
      SendMessageA(view(dialog, kBig), WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(x, y));
      EXPECT_EQ(s.preview.center_x, cx);
      EXPECT_EQ(s.preview.center_y, cy);
    }
    SendMessageA(view(dialog, kBig), WM_LBUTTONUP, 0, MAKELPARAM(20, 20));
    EXPECT_EQ(s.dialog.big_capture, 0);
    SendMessageA(view(dialog, kBig), WM_MOUSEMOVE, 0, MAKELPARAM(30, 30));
    EXPECT_EQ(s.preview.center_x, 20);  // no drag without the button
    SendMessageA(small, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 6));
    EXPECT_EQ(s.preview.center_x, 10);
    EXPECT_EQ(s.preview.center_y, 12);
    SendMessageA(small, WM_LBUTTONUP, 0, MAKELPARAM(5, 6));

    // Within one 2 x 2 cell the small view is left alone and only the 8 x 8 block is redrawn.
    s.preview.center_x = 10;
    s.preview.center_y = 10;
    paint(small, BLACK_BRUSH);
    headless::reset_draw_stats();
    drag_center(11, 10, 0);
    EXPECT_EQ(headless::window_pixel(small, 100, 60), kBlack);
    EXPECT_EQ(headless::draw_stats().dib_pixels, 64u);
    drag_center(12, 10, 0);  // the next cell: the small view is cleared and drawn again
    EXPECT_EQ(headless::window_pixel(small, 100, 60), kWhite);
    // Pressing where the centre already is changes nothing.
    std::vector<COLORREF> before = pixels_of(view(dialog, kBig));
    headless::reset_draw_stats();
    drag_center(12, 10, 0);
    EXPECT_EQ(headless::draw_stats().dib_calls + headless::draw_stats().blits, 0u);
    EXPECT_EQ(pixels_of(view(dialog, kBig)), before);
  });
}

TEST_F(Views, AStoredCentreOutsideThePreviewIsBroughtToItsEdge) {
  auto* stored = static_cast<ParameterRecord*>(GlobalLock(record));
  stored->center_h = -40;    // a damaged record
  stored->center_v = 30000;  // past the image
  GlobalUnlock(record);
  run([](HWND) {
    open_views();
    EXPECT_EQ(module_state.preview.center_x, 0);
    EXPECT_EQ(module_state.preview.center_y, 133);
  });
}

TEST_F(Views, ADialogThatCannotOpenCountsAsCancelAndStoresNothing) {
  // Without its preview classes the template cannot be made into a dialog.
  ModuleState& s = module_state;
  test_support::unregister_view_classes();
  auto* stored = static_cast<ParameterRecord*>(GlobalLock(record));
  stored->angle = 77;
  GlobalUnlock(record);
  s.settings.angle = 12;
  EXPECT_FALSE(run_dialog());
  stored = static_cast<ParameterRecord*>(GlobalLock(record));
  EXPECT_EQ(stored->angle, 77);
  EXPECT_EQ(stored->center_h, 0);
  EXPECT_EQ(stored->show_dialog, 0);
  GlobalUnlock(record);
}

}  // namespace
#endif
