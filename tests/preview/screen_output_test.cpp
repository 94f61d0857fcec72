// Screen output: the host's displayPixels with its pixel map, and the module's own 24-bit
// bitmap (strides, bottom-up rows, the CMYK rule, the ordered dither and its parity, the
// display depth measured once per run), read back from dib_buffer and from the window.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"
#include "tests/support/host_window.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#endif

namespace fa = filter_api;

namespace {

constexpr COLORREF rgb(int red, int green, int blue) {
  return COLORREF(red) | (COLORREF(green) << 8) | (COLORREF(blue) << 16);
}

// A surface to draw on, read back as 0x00BBGGRR; black at first. Linux: a headless window.
// Windows: a memory DC holding a top-down 24-bit DIB section, read from its bits.
class Canvas {
 public:
  Canvas(int width, int height) : width_(width) {
#ifdef _WIN32
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
#else
    window_ = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, width, height, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    dc_ = GetDC(window_);
#endif
  }
  ~Canvas() {
#ifdef _WIN32
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
#else
    ReleaseDC(window_, dc_);
    DestroyWindow(window_);
#endif
  }
  HDC dc() const { return dc_; }
  COLORREF pixel(int x, int y) const {
#ifdef _WIN32
    GdiFlush();
    const auto* p = static_cast<const uint8_t*>(bits_) + y * ((width_ * 3 + 3) & ~3) + x * 3;
    return rgb(p[2], p[1], p[0]);
#else
    (void)width_;
    return headless::window_pixel(window_, x, y);
#endif
  }

 private:
  int width_;
  HDC dc_ = nullptr;
#ifdef _WIN32
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  void* bits_ = nullptr;
#else
  HWND window_ = nullptr;
#endif
};

// What the host's displayPixels received, last call.
struct HostCall {
  int calls = 0;
  fa::PSPixelMap map{};
  const fa::VRect* rect = nullptr;
  int32_t row = 0, column = 0;
  void* context = nullptr;
};
HostCall host_call;

fa::OSErr record_display(const fa::PSPixelMap* source, const fa::VRect* rect, int32_t row,
                         int32_t column, void* context) {
  ++host_call.calls;
  host_call.map = *source;
  host_call.rect = rect;
  host_call.row = row;
  host_call.column = column;
  host_call.context = context;
  return 0;
}

class ScreenOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = module_state;
    module_state = ModuleState{};
    ModuleState& s = module_state;
    s.host.module_instance = saved.host.module_instance;
    record = std::make_unique<fa::FilterRecord>();
    record->imageMode = fa::plugInModeRGBColor;
    s.host.filter_record = record.get();
    s.host.bytes_per_pixel = 3;
    s.dialog.dialog_window = test_support::host_window();
    s.plan.preview_block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kPreviewPixelsSize);
    s.plan.preview_pixels = static_cast<uint8_t*>(GlobalLock(s.plan.preview_block));
    s.plan.dib_block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kDibBufferSize);
    host_call = HostCall{};
  }
  void TearDown() override {
    ModuleState& s = module_state;
    GlobalUnlock(s.plan.preview_block);
    GlobalFree(s.plan.preview_block);
    if (s.screen.dib_buffer != nullptr) GlobalUnlock(s.plan.dib_block);
    GlobalFree(s.plan.dib_block);
#ifndef _WIN32
    headless::set_display_depth(24, 1);
#endif
    module_state = saved;
  }

  // The module draws; dithering as given (setup_display measured a deep display).
  void module_draws(int16_t bytes, int16_t dithering) {
    module_state.host.bytes_per_pixel = bytes;
    setup_display();
    module_state.screen.dither_display = dithering;
  }
  void source(const std::vector<uint8_t>& bytes) {
    std::memcpy(module_state.plan.preview_pixels, bytes.data(), bytes.size());
  }
  // Blue, green, red of pixel `column` of dib row `row` (0 the bottom) for a stride.
  static std::vector<int> dib(int32_t stride, int row, int column) {
    const uint8_t* p = module_state.screen.dib_buffer + row * stride + column * 3;
    return {p[0], p[1], p[2]};
  }
  // The next run: Start leaves dib_buffer null and its block unlocked.
  static void next_run() {
    GlobalUnlock(module_state.plan.dib_block);
    module_state.screen.dib_buffer = nullptr;
  }

  ModuleState saved;
  std::unique_ptr<fa::FilterRecord> record;
  Canvas canvas{24, 16};
};

using Bgr = std::vector<int>;

TEST_F(ScreenOutput, RowStrideIsThreeBytesAPixelRoundedUpToWholeWords) {
  module_draws(1, 0);
  const int16_t counts[] = {1, 268, 267};
  const int32_t strides[] = {4, 804, 804};
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(counts[k]);
    // The top row counts up from 1, the bottom row is all 255.
    std::vector<uint8_t> rows(size_t(counts[k]) * 2, 255);
    for (int j = 0; j < counts[k]; ++j) rows[size_t(j)] = uint8_t(j % 250 + 1);
    source(rows);
    put_preview_rows(canvas.dc(), 0, 0, counts[k], 2);
    EXPECT_EQ(module_state.screen.dib_header.biSizeImage, DWORD(2 * strides[k]));
    EXPECT_EQ(dib(strides[k], 0, 0), Bgr(3, 255));  // the bottom row first
    EXPECT_EQ(dib(strides[k], 1, 0), Bgr(3, 1));
    EXPECT_EQ(dib(strides[k], 1, counts[k] - 1), Bgr(3, (counts[k] - 1) % 250 + 1));
  }
}

TEST_F(ScreenOutput, RgbRowsAreStoredBottomUpAsBlueGreenRed) {
  module_draws(3, 0);
  source({1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13});  // 2 x 2, top row first
  put_preview_rows(canvas.dc(), 3, 0, 2, 2);
  EXPECT_EQ(dib(8, 0, 0), Bgr({9, 8, 7}));
  EXPECT_EQ(dib(8, 0, 1), Bgr({13, 12, 11}));
  EXPECT_EQ(dib(8, 1, 0), Bgr({3, 2, 1}));
  EXPECT_EQ(dib(8, 1, 1), Bgr({6, 5, 4}));
}

TEST_F(ScreenOutput, GreyGoesToAllThreeChannels) {
  module_draws(1, 0);
  source({10, 128, 250});
  put_preview_rows(canvas.dc(), 0, 0, 3, 1);
  EXPECT_EQ(dib(12, 0, 0), Bgr({10, 10, 10}));
  EXPECT_EQ(dib(12, 0, 1), Bgr({128, 128, 128}));
  EXPECT_EQ(dib(12, 0, 2), Bgr({250, 250, 250}));
}

TEST_F(ScreenOutput, DitherRaisesOddAndLowersEvenParityByTheBandAmount) {
  struct Row {
    uint8_t v, raised, lowered;
  };
  const Row rows[] = {{200, 255, 145}, {100, 164, 36},  {30, 60, 0},
                      {0, 0, 0},       {63, 126, 0},    {64, 128, 0},
                      {191, 255, 127}, {192, 255, 129}, {255, 255, 255}};
  module_draws(1, 1);
  for (const Row& r : rows) {
    SCOPED_TRACE(int(r.v));
    source({r.v, r.v});
    put_preview_rows(canvas.dc(), 0, 0, 2, 1);  // parity 0, then 1
    EXPECT_EQ(dib(8, 0, 0), Bgr(3, r.lowered));
    EXPECT_EQ(dib(8, 0, 1), Bgr(3, r.raised));
  }
  module_state.screen.dither_display = 0;
  source({200, 200});
  put_preview_rows(canvas.dc(), 0, 0, 2, 1);
  EXPECT_EQ(dib(8, 0, 0), Bgr(3, 200));
  EXPECT_EQ(dib(8, 0, 1), Bgr(3, 200));
}

TEST_F(ScreenOutput, AnEvenRowCountRaisesEvenScreenParityAndAnOddOneOdd) {
  module_draws(1, 1);
  source(std::vector<uint8_t>(20, 100));
  const int16_t places[][2] = {{0, 0}, {1, 0}, {3, 6}, {2, 5}};
  for (int16_t lines = 1; lines <= 4; ++lines) {
    for (const auto& at : places) {
      SCOPED_TRACE(::testing::Message() << lines << " rows at " << at[0] << "," << at[1]);
      put_preview_rows(canvas.dc(), at[0], at[1], 5, lines);
      for (int i = 0; i < lines; ++i) {
        for (int j = 0; j < 5; ++j) {
          int screen_y = at[1] + lines - 1 - i, screen_x = at[0] + j;
          bool raised = ((screen_x + screen_y) % 2 == 0) == (lines % 2 == 0);
          EXPECT_EQ(dib(16, i, j)[0], raised ? 164 : 36) << i << "," << j;
          EXPECT_EQ(canvas.pixel(screen_x, screen_y), raised ? 0xA4A4A4u : 0x242424u);
        }
      }
    }
  }
}

TEST_F(ScreenOutput, RgbChannelsAreDitheredSeparately) {
  module_draws(3, 1);
  source({200, 100, 30, 200, 100, 30});
  put_preview_rows(canvas.dc(), 1, 0, 2, 1);  // parity 1, then 0
  EXPECT_EQ(dib(8, 0, 0), Bgr({60, 164, 255}));
  EXPECT_EQ(dib(8, 0, 1), Bgr({0, 36, 145}));
}

TEST_F(ScreenOutput, CmykFollowsTheFixedRule) {
  struct Row {
    uint8_t c, m, y, k;
    int red, green, blue;
  };
  const Row rows[] = {
      {255, 255, 255, 255, 254, 254, 254},
      {255, 0, 0, 255, 254, 0, 0},
      {0, 255, 0, 255, 0, 222, 0},      // green 65025 - 8128
      {0, 128, 255, 255, 0, 127, 190},  // blue 65025 / 2 + 32640 / 2
      {255, 255, 0, 255, 254, 254, 0},  // green equal to red is not damped
      {0, 255, 255, 255, 0, 222, 254},  // green equal to blue is damped, blue kept
      {128, 0, 255, 255, 127, 0, 190},  // blue pulled towards red
      {0, 146, 0, 2, 0, 1, 0},          // 292 - 36 = 256: the eighth is truncated first
      {255, 255, 255, 128, 127, 127, 127},
      {255, 255, 255, 0, 0, 0, 0},
  };
  module_draws(4, 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message()
                 << int(r.c) << " " << int(r.m) << " " << int(r.y) << " " << int(r.k));
    source({r.c, r.m, r.y, r.k});
    put_preview_rows(canvas.dc(), 0, 0, 1, 1);
    EXPECT_EQ(dib(4, 0, 0), Bgr({r.blue, r.green, r.red}));
  }
  module_state.screen.dither_display = 1;  // the dither comes after the conversion
  source({255, 0, 0, 255, 255, 0, 0, 255});
  put_preview_rows(canvas.dc(), 0, 0, 2, 1);
  EXPECT_EQ(dib(8, 0, 0), Bgr({0, 0, 253}));
  EXPECT_EQ(dib(8, 0, 1), Bgr({0, 0, 255}));
}

TEST_F(ScreenOutput, ModuleDrawsTheConvertedPixelsIntoTheWindow) {
  module_draws(3, 0);
  const BITMAPINFOHEADER& h = module_state.screen.dib_header;
  EXPECT_EQ(h.biSize, DWORD(40));
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, DWORD(BI_RGB));
  EXPECT_EQ(h.biClrUsed, DWORD(0));
  EXPECT_NE(module_state.screen.dib_buffer, nullptr);
  // An asymmetric 3 x 2 image at (5, 3).
  source({255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 40, 50, 60, 70, 80, 90});
  put_preview_rows(canvas.dc(), 5, 3, 3, 2);
  EXPECT_EQ(h.biWidth, 3);
  EXPECT_EQ(h.biHeight, 2);
  EXPECT_EQ(h.biSizeImage, DWORD(24));
  EXPECT_EQ(canvas.pixel(5, 3), rgb(255, 0, 0));
  EXPECT_EQ(canvas.pixel(6, 3), rgb(0, 255, 0));
  EXPECT_EQ(canvas.pixel(7, 3), rgb(0, 0, 255));
  EXPECT_EQ(canvas.pixel(5, 4), rgb(10, 20, 30));
  EXPECT_EQ(canvas.pixel(6, 4), rgb(40, 50, 60));
  EXPECT_EQ(canvas.pixel(7, 4), rgb(70, 80, 90));
  const int outside[][2] = {{4, 3}, {8, 3}, {5, 2}, {7, 5}};
  for (const auto& at : outside) EXPECT_EQ(canvas.pixel(at[0], at[1]), 0u);
}

TEST_F(ScreenOutput, HostCallbackReceivesThePixelMapAndTheDestination) {
  record->displayPixels = record_display;
  record->imageMode = -2;
  module_state.host.bytes_per_pixel = 4;
  module_state.screen.pixel_map.version = 7;
  module_state.screen.pixel_map.bounds = fa::VRect{9, 9, 9, 9};
  setup_display();
  put_preview_rows(canvas.dc(), 11, 5, 7, 3);
  ASSERT_EQ(host_call.calls, 1);
  const fa::PSPixelMap& map = host_call.map;
  EXPECT_EQ(map.version, 0);
  EXPECT_EQ(map.bounds.top, 0);
  EXPECT_EQ(map.bounds.left, 0);
  EXPECT_EQ(map.bounds.bottom, 3);
  EXPECT_EQ(map.bounds.right, 7);
  EXPECT_EQ(map.imageMode, -2);  // sign-extended
  EXPECT_EQ(map.rowBytes, 28);
  EXPECT_EQ(map.colBytes, 4);
  EXPECT_EQ(map.planeBytes, 1);
  EXPECT_EQ(map.baseAddr, module_state.plan.preview_pixels);
  EXPECT_EQ(host_call.rect, &module_state.screen.pixel_map.bounds);
  EXPECT_EQ(host_call.row, 5);
  EXPECT_EQ(host_call.column, 11);
  EXPECT_EQ(host_call.context, canvas.dc());
  put_preview_rows(canvas.dc(), 0, 260, 268, 1);
  EXPECT_EQ(host_call.calls, 2);
  EXPECT_EQ(host_call.map.rowBytes, 268 * 4);
  EXPECT_EQ(host_call.map.bounds.bottom, 1);
  EXPECT_EQ(host_call.map.bounds.right, 268);
  EXPECT_EQ(host_call.row, 260);
}

TEST_F(ScreenOutput, HostDrawingNeitherConvertsNorMeasures) {
  record->displayPixels = record_display;
#ifndef _WIN32
  headless::set_display_depth(8, 1);
#endif
  module_state.screen.dither_display = 5;  // measuring would write 0 or 1
  setup_display();
  source({200, 100, 30});
  put_preview_rows(canvas.dc(), 0, 0, 1, 1);
  EXPECT_EQ(host_call.calls, 1);
  EXPECT_EQ(module_state.screen.dither_display, 5);
  EXPECT_EQ(module_state.screen.dib_buffer, nullptr);
  EXPECT_EQ(module_state.screen.dib_header.biSize, DWORD(0));
  EXPECT_EQ(canvas.pixel(0, 0), 0u);
#ifndef _WIN32
  EXPECT_EQ(headless::lock_count(module_state.plan.dib_block), 0);
#endif
}

TEST_F(ScreenOutput, MeasuredDepthIsTheDialogWindowsDisplay) {
  HDC dc = GetDC(module_state.dialog.dialog_window);
  int depth = GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES);
  ReleaseDC(module_state.dialog.dialog_window, dc);
  module_state.screen.dither_display = 5;
  setup_display();
  EXPECT_EQ(module_state.screen.dither_display, depth <= 8 ? 1 : 0);
}

#ifndef _WIN32
TEST_F(ScreenOutput, ShallowDisplayTurnsTheDitherOnOncePerRun) {
  setup_display();
  EXPECT_EQ(module_state.screen.dither_display, 0);
  EXPECT_EQ(headless::lock_count(module_state.plan.dib_block), 1);
  headless::set_display_depth(8, 1);
  setup_display();  // the same run: no second lock, no second measurement
  EXPECT_EQ(module_state.screen.dither_display, 0);
  EXPECT_EQ(headless::lock_count(module_state.plan.dib_block), 1);
  next_run();
  size_t dcs = headless::display_counts().window_dcs;
  setup_display();
  EXPECT_EQ(module_state.screen.dither_display, 1);
  EXPECT_EQ(headless::display_counts().window_dcs, dcs);  // its DC released
  module_state.host.bytes_per_pixel = 1;
  source({100, 100});
  put_preview_rows(canvas.dc(), 2, 1, 2, 1);  // parity 1, then 0
  EXPECT_EQ(canvas.pixel(2, 1), 0xA4A4A4u);
  EXPECT_EQ(canvas.pixel(3, 1), 0x242424u);
}

TEST_F(ScreenOutput, DepthIsBitsPerPixelTimesPlanes) {
  const int depths[][3] = {{8, 1, 1}, {4, 2, 1}, {1, 1, 1}, {8, 2, 0}, {9, 1, 0}, {32, 1, 0}};
  for (const auto& d : depths) {
    SCOPED_TRACE(::testing::Message() << d[0] << " x " << d[1]);
    headless::set_display_depth(d[0], d[1]);
    setup_display();
    EXPECT_EQ(module_state.screen.dither_display, d[2]);
    next_run();
  }
}
#endif

TEST_F(ScreenOutput, PutsPastTheBuffersDrawNothing) {
  module_draws(1, 0);
  source(std::vector<uint8_t>(5 * 512, 77));
  put_preview_rows(canvas.dc(), 0, 0, 512, 5);  // 5 rows of 1536 bytes pass 6144
  put_preview_rows(canvas.dc(), 0, 0, 0, 1);
  put_preview_rows(canvas.dc(), 0, 0, 1, 0);
  EXPECT_EQ(module_state.screen.dib_buffer[0], 0);
  EXPECT_EQ(module_state.screen.dib_header.biWidth, 0);
  EXPECT_EQ(canvas.pixel(0, 0), 0u);
  module_state.host.bytes_per_pixel = 4;  // four CMYK rows of 512 fill both buffers exactly
  source(std::vector<uint8_t>(kPreviewPixelsSize, 255));
  put_preview_rows(canvas.dc(), 0, 0, 512, 4);
  EXPECT_EQ(module_state.screen.dib_header.biSizeImage, DWORD(kDibBufferSize));
  EXPECT_EQ(module_state.screen.dib_buffer[kDibBufferSize - 1], 254);
  EXPECT_EQ(canvas.pixel(23, 3), rgb(254, 254, 254));
}

}  // namespace
