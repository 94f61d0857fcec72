// headless_win32's GDI objects: window and memory DCs, bitmaps and their selection, the
// accounting of live objects and fault injection.
#include <gtest/gtest.h>

#include <vector>

#include "headless_win32/headless.h"

namespace {

class HeadlessGdi : public ::testing::Test {
 protected:
  void SetUp() override {
    headless::reset_display_settings();
    before_ = headless::display_counts();
  }
  void TearDown() override {
    headless::fail_gdi_creation(0);
    headless::DisplayCounts after = headless::display_counts();
    EXPECT_EQ(after.windows, before_.windows);
    EXPECT_EQ(after.window_dcs, before_.window_dcs);
    EXPECT_EQ(after.memory_dcs, before_.memory_dcs);
    EXPECT_EQ(after.bitmaps, before_.bitmaps);
  }
  std::size_t bitmaps_added() const { return headless::display_counts().bitmaps - before_.bitmaps; }

  headless::DisplayCounts before_;
};

COLORREF rgb(int r, int g, int b) { return COLORREF(r) | (COLORREF(g) << 8) | (COLORREF(b) << 16); }

TEST_F(HeadlessGdi, WindowDcsAreCountedAndReleasedOnce) {
  HWND window = CreateWindowExA(0, "static", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  HDC a = GetDC(window);
  HDC b = GetDC(window);
  HDC screen = GetDC(nullptr);
  ASSERT_TRUE(a && b && screen);
  EXPECT_NE(a, b);
  EXPECT_EQ(headless::display_counts().window_dcs, before_.window_dcs + 3);
  EXPECT_EQ(ReleaseDC(window, a), 1);
  EXPECT_EQ(ReleaseDC(window, a), 0);
  EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
  EXPECT_EQ(ReleaseDC(window, reinterpret_cast<HDC>(window)), 0);
  EXPECT_FALSE(DeleteDC(b));  // a window DC goes back with ReleaseDC only
  EXPECT_EQ(ReleaseDC(window, b), 1);
  DestroyWindow(window);
  EXPECT_EQ(GetDC(window), nullptr);
  EXPECT_EQ(GetLastError(), 1400u);
}

TEST_F(HeadlessGdi, AMemoryDcStartsWithTheStockMonochromeBitmap) {
  HDC dc = CreateCompatibleDC(nullptr);
  HDC second = CreateCompatibleDC(dc);
  ASSERT_TRUE(dc && second);
  EXPECT_EQ(headless::display_counts().memory_dcs, before_.memory_dcs + 2);
  HBITMAP bitmap = CreateBitmap(8, 8, 1, 1, nullptr);
  ASSERT_NE(bitmap, nullptr);
  HGDIOBJ stock = SelectObject(dc, bitmap);
  ASSERT_NE(stock, nullptr);
  EXPECT_NE(stock, bitmap);
  EXPECT_EQ(headless::bitmap_pixel(stock, 0, 0), 0u);  // 1 x 1, black
  EXPECT_EQ(headless::bitmap_pixel(stock, 1, 0), CLR_INVALID);
  // Zero sizes give the stock bitmap, as on Windows; it is never counted nor deleted.
  EXPECT_EQ(CreateBitmap(0, 5, 1, 1, nullptr), stock);
  EXPECT_EQ(CreateBitmap(5, 0, 1, 24, nullptr), stock);
  EXPECT_EQ(bitmaps_added(), 1u);
  EXPECT_TRUE(DeleteObject(stock));
  EXPECT_EQ(SelectObject(second, stock), stock);  // it may sit in any number of DCs
  EXPECT_EQ(SelectObject(dc, stock), bitmap);
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_TRUE(DeleteDC(second));
  EXPECT_FALSE(DeleteDC(second));
  EXPECT_TRUE(DeleteObject(bitmap));
}

TEST_F(HeadlessGdi, ABitmapIsSelectedIntoOneMemoryDcAtATime) {
  HDC first = CreateCompatibleDC(nullptr);
  HDC second = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateBitmap(16, 4, 1, 1, nullptr);
  HGDIOBJ stock = SelectObject(first, bitmap);
  EXPECT_EQ(SelectObject(second, bitmap), nullptr);
  EXPECT_EQ(SelectObject(first, bitmap), bitmap);  // again into the same DC: no change
  EXPECT_EQ(SelectObject(first, stock), bitmap);
  EXPECT_EQ(SelectObject(second, bitmap), stock);  // free again
  HDC screen = GetDC(nullptr);
  HBITMAP other = CreateBitmap(4, 4, 1, 1, nullptr);
  EXPECT_EQ(SelectObject(screen, other), nullptr);  // not into a window DC
  EXPECT_EQ(SelectObject(first, reinterpret_cast<HGDIOBJ>(second)), nullptr);
  EXPECT_EQ(SelectObject(nullptr, other), nullptr);
  ReleaseDC(nullptr, screen);
  DeleteDC(first);
  DeleteDC(second);
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_TRUE(DeleteObject(other));
  EXPECT_FALSE(DeleteObject(other));
  EXPECT_FALSE(DeleteObject(nullptr));
}

TEST_F(HeadlessGdi, ASelectedBitmapOutlivesItsDeletionUntilItsDcLetsGo) {
  HDC dc = CreateCompatibleDC(nullptr);
  HDC other = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateBitmap(8, 8, 1, 1, nullptr);
  HGDIOBJ stock = SelectObject(dc, bitmap);
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_EQ(bitmaps_added(), 1u);                   // still selected, still alive
  EXPECT_EQ(SelectObject(other, bitmap), nullptr);  // but the handle is dead
  EXPECT_FALSE(DeleteObject(bitmap));
  EXPECT_EQ(SelectObject(dc, stock), bitmap);  // let go: now it goes
  EXPECT_EQ(bitmaps_added(), 0u);

  HBITMAP second = CreateBitmap(8, 8, 1, 1, nullptr);
  SelectObject(other, second);
  EXPECT_TRUE(DeleteObject(second));
  EXPECT_TRUE(DeleteDC(other));  // deleting the DC lets go as well
  EXPECT_EQ(bitmaps_added(), 0u);
  DeleteDC(dc);
}

TEST_F(HeadlessGdi, DeletingADcLeavesItsBitmapAliveAndFree) {
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateBitmap(8, 8, 1, 1, nullptr);
  SelectObject(dc, bitmap);
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_EQ(bitmaps_added(), 1u);
  HDC again = CreateCompatibleDC(nullptr);
  EXPECT_NE(SelectObject(again, bitmap), nullptr);
  EXPECT_TRUE(DeleteDC(again));
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_EQ(bitmaps_added(), 0u);
}

TEST_F(HeadlessGdi, CreateBitmapCopiesWordAlignedRows) {
  // 17 monochrome pixels take two words a row; the fourth byte of each row is padding.
  const unsigned char mono[] = {0x80, 0x00, 0x80, 0xFF, 0x00, 0x01, 0x00, 0xFF};
  HBITMAP a = CreateBitmap(17, 2, 1, 1, mono);
  EXPECT_EQ(headless::bitmap_pixel(a, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(headless::bitmap_pixel(a, 1, 0), 0u);
  EXPECT_EQ(headless::bitmap_pixel(a, 16, 0), 0xFFFFFFu);
  EXPECT_EQ(headless::bitmap_pixel(a, 0, 1), 0u);
  EXPECT_EQ(headless::bitmap_pixel(a, 15, 1), 0xFFFFFFu);
  EXPECT_EQ(headless::bitmap_pixel(a, 16, 1), 0u);
  EXPECT_EQ(headless::bitmap_pixel(a, 17, 0), CLR_INVALID);
  // 3 pixels of 24 bits: 9 bytes and one of padding; blue, green, red.
  const unsigned char colour[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  0xEE,
                                  10, 11, 12, 13, 14, 15, 16, 17, 18, 0xEE};
  HBITMAP b = CreateBitmap(3, 2, 1, 24, colour);
  EXPECT_EQ(headless::bitmap_pixel(b, 2, 0), rgb(9, 8, 7));
  EXPECT_EQ(headless::bitmap_pixel(b, 0, 1), rgb(12, 11, 10));
  const unsigned char wide[] = {1, 2, 3, 0, 4, 5, 6, 0};
  HBITMAP c = CreateBitmap(2, 1, 1, 32, wide);
  EXPECT_EQ(headless::bitmap_pixel(c, 1, 0), rgb(6, 5, 4));
  HBITMAP blank = CreateBitmap(20, 3, 1, 1, nullptr);
  EXPECT_EQ(headless::bitmap_pixel(blank, 19, 2), 0u);
  for (HBITMAP h : {a, b, c, blank}) EXPECT_TRUE(DeleteObject(h));
}

TEST_F(HeadlessGdi, CreateBitmapRefusesWhatItCannotHold) {
  EXPECT_EQ(CreateBitmap(8, 8, 2, 1, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(CreateBitmap(8, 8, 1, 8, nullptr), nullptr);
  EXPECT_EQ(CreateBitmap(-1, 8, 1, 1, nullptr), nullptr);
  EXPECT_EQ(CreateBitmap(100000, 100000, 1, 32, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), 8u);
  EXPECT_EQ(bitmaps_added(), 0u);
}

TEST_F(HeadlessGdi, FaultInjectionFailsTheNthCreationOnce) {
  headless::fail_gdi_creation(3);
  HBITMAP first = CreateBitmap(8, 8, 1, 1, nullptr);
  HDC dc = CreateCompatibleDC(nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(dc, nullptr);
  EXPECT_EQ(CreateBitmap(8, 8, 1, 1, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), 8u);
  HBITMAP after = CreateBitmap(8, 8, 1, 1, nullptr);
  EXPECT_NE(after, nullptr);

  headless::fail_gdi_creation(1);
  EXPECT_EQ(CreateCompatibleDC(nullptr), nullptr);
  headless::fail_gdi_creation(1);
  headless::fail_gdi_creation(0);
  HDC unaffected = CreateCompatibleDC(nullptr);
  EXPECT_NE(unaffected, nullptr);

  DeleteDC(dc);
  DeleteDC(unaffected);
  DeleteObject(first);
  DeleteObject(after);
}

// A 3 x 2 bottom-up DIB: rows of 12 bytes, the bottom row first.
struct SmallDib {
  BITMAPINFO info{};
  unsigned char bits[24] = {
      1, 1, 1, 2, 2, 2, 3, 3, 3, 0, 0, 0,  // scan 0: the bottom row
      4, 4, 4, 5, 5, 5, 6, 6, 6, 0, 0, 0,  // scan 1: the top row
  };
  SmallDib() {
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 3;
    info.bmiHeader.biHeight = 2;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
  }
};

COLORREF grey(int v) { return rgb(v, v, v); }

TEST_F(HeadlessGdi, SetDIBitsToDeviceDrawsBottomUpRowsClippedToTheClientArea) {
  HWND window = CreateWindowExA(0, "static", "", WS_POPUP | WS_BORDER, 0, 0, 6, 5, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);  // client 4 x 3
  HDC dc = GetDC(window);
  SmallDib dib;
  EXPECT_EQ(SetDIBitsToDevice(dc, 1, 1, 3, 2, 0, 0, 0, 2, dib.bits, &dib.info, DIB_RGB_COLORS), 2);
  EXPECT_EQ(headless::window_pixel(window, 1, 1), grey(4));
  EXPECT_EQ(headless::window_pixel(window, 3, 1), grey(6));
  EXPECT_EQ(headless::window_pixel(window, 1, 2), grey(1));
  EXPECT_EQ(headless::window_pixel(window, 0, 1), 0u);
  // Only the scans handed over are drawn: here scan 0 alone, the bottom row.
  SetDIBitsToDevice(dc, 0, 0, 3, 2, 0, 0, 0, 1, dib.bits, &dib.info, DIB_RGB_COLORS);
  EXPECT_EQ(headless::window_pixel(window, 0, 1), grey(1));
  EXPECT_EQ(headless::window_pixel(window, 0, 0), 0u);
  // Past the edges nothing is written (the sanitizers watch this).
  SetDIBitsToDevice(dc, 3, 2, 3, 2, 0, 0, 0, 2, dib.bits, &dib.info, DIB_RGB_COLORS);
  SetDIBitsToDevice(dc, -2, -1, 3, 2, 0, 0, 0, 2, dib.bits, &dib.info, DIB_RGB_COLORS);
  EXPECT_EQ(headless::window_pixel(window, 3, 2), grey(4));
  EXPECT_EQ(headless::window_pixel(window, 0, 0), grey(3));
  dib.info.bmiHeader.biBitCount = 32;
  EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 3, 2, 0, 0, 0, 2, dib.bits, &dib.info, DIB_RGB_COLORS), 0);
  ReleaseDC(window, dc);
  DestroyWindow(window);
}

TEST_F(HeadlessGdi, SetDIBitsToDeviceDrawsIntoTheSelectedBitmap) {
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP colour = CreateBitmap(3, 2, 1, 24, nullptr);
  HBITMAP mono = CreateBitmap(3, 2, 1, 1, nullptr);
  HGDIOBJ stock = SelectObject(dc, colour);
  SmallDib dib;
  SetDIBitsToDevice(dc, 0, 0, 3, 2, 1, 0, 0, 2, dib.bits, &dib.info, DIB_RGB_COLORS);
  EXPECT_EQ(headless::bitmap_pixel(colour, 0, 0), grey(5));  // from source column 1
  EXPECT_EQ(headless::bitmap_pixel(colour, 1, 1), grey(3));
  EXPECT_EQ(headless::bitmap_pixel(colour, 2, 1), 0u);  // beyond the DIB's width
  dib.bits[0] = dib.bits[1] = dib.bits[2] = 255;        // white becomes 1 in monochrome
  SelectObject(dc, mono);
  SetDIBitsToDevice(dc, 0, 0, 3, 2, 0, 0, 0, 2, dib.bits, &dib.info, DIB_RGB_COLORS);
  EXPECT_EQ(headless::bitmap_pixel(mono, 0, 1), 0xFFFFFFu);
  EXPECT_EQ(headless::bitmap_pixel(mono, 1, 1), 0u);
  SelectObject(dc, stock);
  DeleteDC(dc);
  DeleteObject(colour);
  DeleteObject(mono);
}

}  // namespace
