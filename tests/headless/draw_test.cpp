// headless_win32's GDI drawing: BitBlt with its colour conversions, pens and binary raster
// operations with MoveToEx/LineTo, FillRect, and the pens and brushes behind them.
#include <gtest/gtest.h>

#include <cstdio>

#include <sstream>

#include <fstream>

#include <climits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "headless_win32/headless.h"

namespace {

constexpr COLORREF kWhite = 0xFFFFFF;
constexpr COLORREF kBlack = 0x000000;

class HeadlessDraw : public ::testing::Test {
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
    EXPECT_EQ(after.pens, before_.pens);
    EXPECT_EQ(after.brushes, before_.brushes);
  }
  std::size_t pens_added() const { return headless::display_counts().pens - before_.pens; }
  std::size_t brushes_added() const { return headless::display_counts().brushes - before_.brushes; }

  headless::DisplayCounts before_;
};

// A borderless window (its client area is all of it) and a DC on it.
struct Surface {
  Surface(int w, int h) : width(w), height(h) {
    window = CreateWindowExA(0, "static", "", WS_POPUP, 0, 0, w, h, nullptr, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    dc = GetDC(window);
  }
  ~Surface() {
    ReleaseDC(window, dc);
    DestroyWindow(window);
  }
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  COLORREF at(int x, int y) const { return headless::window_pixel(window, x, y); }
  std::vector<COLORREF> pixels() const {
    std::vector<COLORREF> all;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) all.push_back(at(x, y));
    return all;
  }
  // Every pixel a colour from the seed, through a bottom-up 24-bit DIB; returns them row by row.
  std::vector<COLORREF> fill_randomly(unsigned seed) {
    std::mt19937 random(seed);
    std::vector<COLORREF> colours(std::size_t(width) * std::size_t(height));
    for (COLORREF& c : colours) c = random() & kWhite;
    const std::size_t stride = (std::size_t(width) * 3 + 3) & ~std::size_t(3);
    std::vector<unsigned char> bits(stride * std::size_t(height));
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        COLORREF c = colours[std::size_t(y) * std::size_t(width) + std::size_t(x)];
        unsigned char* p = &bits[std::size_t(height - 1 - y) * stride + std::size_t(x) * 3];
        p[0] = (unsigned char)(c >> 16);
        p[1] = (unsigned char)(c >> 8);
        p[2] = (unsigned char)c;
      }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, 0, 0, DWORD(width), DWORD(height), 0, 0, 0, UINT(height), bits.data(),
                      &info, DIB_RGB_COLORS);
    return colours;
  }
  void fill(COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    RECT all{0, 0, width, height};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
  }
  // The pixels that are not `background`.
  std::set<std::pair<int, int>> painted(COLORREF background = kBlack) const {
    std::set<std::pair<int, int>> points;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        if (at(x, y) != background) points.insert({x, y});
    return points;
  }

  int width, height;
  HWND window;
  HDC dc;
};

// A memory DC holding a bitmap, given back at the end.
struct MemoryDc {
  MemoryDc(HDC compatible_with, HBITMAP b) : bitmap(b) {
    dc = CreateCompatibleDC(compatible_with);
    stock = SelectObject(dc, bitmap);
  }
  ~MemoryDc() {
    SelectObject(dc, stock);
    DeleteDC(dc);
    DeleteObject(bitmap);
  }
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;

  HBITMAP bitmap;
  HDC dc;
  HGDIOBJ stock;
};

// The 16 x 8 marker: the left 8 columns paint, the right 8 invert.
const unsigned char kMarker[16] = {0xE7, 0x00, 0xFF, 0x42, 0xFF, 0x24, 0x7E, 0x18,
                                   0x7E, 0x18, 0xFF, 0x24, 0xFF, 0x42, 0xE7, 0x00};

// Checks a block of a window against a picture whose characters map to colours.
void expect_picture(const Surface& s, int x0, int y0, const std::vector<std::string>& rows,
                    const std::map<char, COLORREF>& colours) {
  for (std::size_t y = 0; y < rows.size(); ++y)
    for (std::size_t x = 0; x < rows[y].size(); ++x)
      EXPECT_EQ(s.at(x0 + int(x), y0 + int(y)), colours.at(rows[y][x]))
          << "at (" << x0 + int(x) << ", " << y0 + int(y) << ")";
}

const COLORREF kTeal = RGB(30, 120, 200);
const COLORREF kTealInverted = RGB(225, 135, 55);

TEST_F(HeadlessDraw, TheMarkerPaintsWhiteThenInvertsItsCrossToBlack) {
  Surface s(12, 10);
  s.fill(kTeal);
  MemoryDc marker(s.dc, CreateBitmap(16, 8, 1, 1, kMarker));
  ASSERT_TRUE(BitBlt(s.dc, 2, 1, 8, 8, marker.dc, 0, 0, SRCPAINT));
  ASSERT_TRUE(BitBlt(s.dc, 2, 1, 8, 8, marker.dc, 8, 0, SRCINVERT));
  const std::map<char, COLORREF> colours{{'W', kWhite}, {'X', kBlack}, {'.', kTeal}};
  expect_picture(s, 1, 0,
                 {"..........",  //
                  ".WWW..WWW.",  //
                  ".WXWWWWXW.",  //
                  ".WWXWWXWW.",  //
                  "..WWXXWW..",  //
                  "..WWXXWW..",  //
                  ".WWXWWXWW.",  //
                  ".WXWWWWXW.",  //
                  ".WWW..WWW.",  //
                  ".........."},
                 colours);
}

TEST_F(HeadlessDraw, TheInvertMaskInvertsItsCrossAndAgainRestoresIt) {
  Surface s(12, 10);
  s.fill(kTeal);
  MemoryDc marker(s.dc, CreateBitmap(16, 8, 1, 1, kMarker));
  ASSERT_TRUE(BitBlt(s.dc, 2, 1, 8, 8, marker.dc, 8, 0, SRCINVERT));
  expect_picture(s, 2, 1,
                 {"........",  //
                  ".I....I.",  //
                  "..I..I..",  //
                  "...II...",  //
                  "...II...",  //
                  "..I..I..",  //
                  ".I....I.",  //
                  "........"},
                 {{'I', kTealInverted}, {'.', kTeal}});
  ASSERT_TRUE(BitBlt(s.dc, 2, 1, 8, 8, marker.dc, 8, 0, SRCINVERT));
  EXPECT_EQ(s.painted(kTeal).size(), 0u);
}

TEST_F(HeadlessDraw, AMonochromeSourceTakesTheTargetDcsBackgroundAndTextColours) {
  Surface s(8, 8);
  s.fill(kTeal);
  MemoryDc marker(s.dc, CreateBitmap(16, 8, 1, 1, kMarker));
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, 8, 4, marker.dc, 0, 0, SRCCOPY));
  expect_picture(s, 0, 0, {"WWWXXWWW", "WWWWWWWW", "WWWWWWWW", "XWWWWWWX"},
                 {{'W', kWhite}, {'X', kBlack}});
  // 1 gives the target DC's background colour and 0 its text colour; the source DC's own
  // colours play no part.
  const COLORREF red = RGB(200, 0, 0), blue = RGB(0, 0, 180);
  EXPECT_EQ(SetBkColor(s.dc, red), kWhite);
  EXPECT_EQ(SetTextColor(s.dc, blue), kBlack);
  SetBkColor(marker.dc, RGB(0, 255, 0));
  SetTextColor(marker.dc, RGB(0, 255, 0));
  ASSERT_TRUE(BitBlt(s.dc, 0, 4, 8, 4, marker.dc, 0, 0, SRCCOPY));
  expect_picture(s, 0, 4, {"RRRBBRRR", "RRRRRRRR", "RRRRRRRR", "BRRRRRRB"},
                 {{'R', red}, {'B', blue}});
}

TEST_F(HeadlessDraw, XoringTheMarkerTwiceRestoresARandomFramebuffer) {
  Surface s(20, 12);
  const std::vector<COLORREF> original = s.fill_randomly(7);
  ASSERT_EQ(s.pixels(), original);
  MemoryDc marker(s.dc, CreateBitmap(16, 8, 1, 1, kMarker));
  ASSERT_TRUE(BitBlt(s.dc, 3, 2, 16, 8, marker.dc, 0, 0, SRCINVERT));
  std::size_t inverted = 0;
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const COLORREF old = original[std::size_t(y * s.width + x)];
      const int mx = x - 3, my = y - 2;
      const bool set = mx >= 0 && mx < 16 && my >= 0 && my < 8 &&
                       (kMarker[my * 2 + mx / 8] & (0x80 >> (mx % 8))) != 0;
      inverted += set;
      EXPECT_EQ(s.at(x, y), set ? old ^ kWhite : old) << "at (" << x << ", " << y << ")";
    }
  EXPECT_EQ(inverted, 68u);  // 56 pixels of the paint mask and 12 of the invert mask
  ASSERT_TRUE(BitBlt(s.dc, 3, 2, 16, 8, marker.dc, 0, 0, SRCINVERT));
  EXPECT_EQ(s.pixels(), original);
}

// One pixel of BitBlt from a 1 x 1 24-bit source onto one target pixel.
COLORREF blit_one(DWORD rop, COLORREF source, COLORREF target) {
  Surface s(1, 1);
  s.fill(target);
  const unsigned char bits[4] = {(unsigned char)(source >> 16), (unsigned char)(source >> 8),
                                 (unsigned char)source, 0};
  MemoryDc from(s.dc, CreateBitmap(1, 1, 1, 24, bits));
  EXPECT_TRUE(BitBlt(s.dc, 0, 0, 1, 1, from.dc, 0, 0, rop));
  return s.at(0, 0);
}

TEST_F(HeadlessDraw, BitBltCombinesSourceAndTargetBitByBit) {
  const COLORREF source = 0xCCCC0F, target = 0xAA55F0;
  EXPECT_EQ(blit_one(SRCCOPY, source, target), 0xCCCC0Fu);
  EXPECT_EQ(blit_one(SRCPAINT, source, target), 0xEEDDFFu);
  EXPECT_EQ(blit_one(SRCINVERT, source, target), 0x6699FFu);
  EXPECT_EQ(blit_one(SRCAND, source, target), 0x884400u);
  EXPECT_EQ(blit_one(NOTSRCCOPY, source, target), 0x3333F0u);
  EXPECT_EQ(blit_one(SRCERASE, source, target), 0x44880Fu);
  EXPECT_EQ(blit_one(MERGEPAINT, source, target), 0xBB77F0u);
  EXPECT_EQ(blit_one(NOTSRCERASE, source, target), 0x112200u);
}

TEST_F(HeadlessDraw, BlitsWithoutASourceUseTheTargetAndTheDcsBrush) {
  Surface s(4, 1);
  s.fill(kTeal);
  EXPECT_TRUE(BitBlt(s.dc, 0, 0, 1, 1, nullptr, 0, 0, BLACKNESS));
  EXPECT_TRUE(BitBlt(s.dc, 1, 0, 1, 1, nullptr, 0, 0, WHITENESS));
  EXPECT_TRUE(BitBlt(s.dc, 2, 0, 1, 1, nullptr, 0, 0, DSTINVERT));
  HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
  HGDIOBJ old = SelectObject(s.dc, brush);
  EXPECT_TRUE(BitBlt(s.dc, 3, 0, 1, 1, nullptr, 0, 0, PATCOPY));
  expect_picture(s, 0, 0, {"XWIP"},
                 {{'X', kBlack}, {'W', kWhite}, {'I', kTealInverted}, {'P', RGB(1, 2, 3)}});
  SelectObject(s.dc, GetStockObject(NULL_BRUSH));
  EXPECT_FALSE(BitBlt(s.dc, 3, 0, 1, 1, nullptr, 0, 0, PATINVERT));
  EXPECT_FALSE(BitBlt(s.dc, 0, 0, 1, 1, nullptr, 0, 0, SRCCOPY));  // a source is needed
  EXPECT_EQ(s.at(0, 0), kBlack);
  SelectObject(s.dc, old);
  DeleteObject(brush);
}

TEST_F(HeadlessDraw, AColourSourceBecomesMonochromeByTheSourceDcsBackgroundColour) {
  Surface s(4, 1);
  s.fill(kTeal);
  RECT second{1, 0, 2, 1}, fourth{3, 0, 4, 1};
  FillRect(s.dc, &second, GetStockObject(BLACK_BRUSH));
  FillRect(s.dc, &fourth, GetStockObject(WHITE_BRUSH));
  MemoryDc mono(s.dc, CreateBitmap(4, 1, 1, 1, nullptr));
  SetBkColor(mono.dc, kBlack);  // the target DC's colours play no part
  ASSERT_TRUE(BitBlt(mono.dc, 0, 0, 4, 1, s.dc, 0, 0, SRCCOPY));
  const COLORREF white_by_default[] = {kBlack, kBlack, kBlack, kWhite};
  for (int x = 0; x < 4; ++x)
    EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, x, 0), white_by_default[x]);
  SetBkColor(s.dc, kTeal);
  ASSERT_TRUE(BitBlt(mono.dc, 0, 0, 4, 1, s.dc, 0, 0, SRCCOPY));
  const COLORREF teal_as_white[] = {kWhite, kBlack, kWhite, kBlack};
  for (int x = 0; x < 4; ++x)
    EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, x, 0), teal_as_white[x]);
}

TEST_F(HeadlessDraw, BitBltClipsToTheTargetAtEveryEdge) {
  Surface s(6, 4);
  MemoryDc marker(s.dc, CreateBitmap(16, 8, 1, 1, kMarker));
  const std::map<char, COLORREF> colours{{'W', kWhite}, {'X', kBlack}, {'.', kTeal}};
  s.fill(kTeal);
  ASSERT_TRUE(BitBlt(s.dc, -3, -2, 16, 8, marker.dc, 0, 0, SRCCOPY));
  expect_picture(s, 0, 0, {"WWWWWX", "WWWWXX", "WWWWXX", "WWWWWX"}, colours);
  s.fill(kTeal);
  ASSERT_TRUE(BitBlt(s.dc, 4, 3, 16, 8, marker.dc, 0, 0, SRCCOPY));
  expect_picture(s, 0, 0, {"......", "......", "......", "....WW"}, colours);
  s.fill(kTeal);
  ASSERT_TRUE(BitBlt(s.dc, INT_MIN, INT_MIN, INT_MAX, INT_MAX, marker.dc, 0, 0, SRCCOPY));
  ASSERT_TRUE(BitBlt(s.dc, INT_MAX, INT_MAX, INT_MAX, INT_MAX, marker.dc, 0, 0, SRCCOPY));
  ASSERT_TRUE(BitBlt(s.dc, 6, 0, 16, 8, marker.dc, 0, 0, SRCCOPY));
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, 0, 8, marker.dc, 0, 0, SRCCOPY));
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, 8, -1, marker.dc, 0, 0, SRCCOPY));
  EXPECT_EQ(s.painted(kTeal).size(), 0u);
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, INT_MAX, INT_MAX, nullptr, 0, 0, WHITENESS));
  EXPECT_EQ(s.painted(kWhite).size(), 0u);
}

TEST_F(HeadlessDraw, BitBltClipsToTheSourceAtEveryEdge) {
  Surface s(6, 4);
  MemoryDc marker(s.dc, CreateBitmap(16, 8, 1, 1, kMarker));
  const std::map<char, COLORREF> colours{{'W', kWhite}, {'X', kBlack}, {'.', kTeal}};
  s.fill(kTeal);
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, 16, 8, marker.dc, -3, 2, SRCCOPY));
  expect_picture(s, 0, 0, {"...WWW", "...XWW", "...XWW", "...WWW"}, colours);
  s.fill(kTeal);
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, 6, 4, marker.dc, 14, 6, SRCCOPY));
  expect_picture(s, 0, 0, {"WX....", "XX....", "......", "......"}, colours);
  s.fill(kTeal);
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, 6, 4, marker.dc, INT_MIN, INT_MAX, SRCCOPY));
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, 6, 4, marker.dc, INT_MAX, INT_MIN, SRCCOPY));
  EXPECT_EQ(s.painted(kTeal).size(), 0u);
}

TEST_F(HeadlessDraw, AnOverlappingBlitInOneWindowReadsItsSourceFirst) {
  Surface s(8, 1);
  const std::vector<COLORREF> original = s.fill_randomly(3);
  ASSERT_TRUE(BitBlt(s.dc, 1, 0, 7, 1, s.dc, 0, 0, SRCCOPY));
  EXPECT_EQ(s.at(0, 0), original[0]);
  for (int x = 1; x < 8; ++x) EXPECT_EQ(s.at(x, 0), original[std::size_t(x - 1)]);
  s.fill_randomly(3);
  ASSERT_TRUE(BitBlt(s.dc, 0, 0, 7, 1, s.dc, 1, 0, SRCCOPY));
  for (int x = 0; x < 7; ++x) EXPECT_EQ(s.at(x, 0), original[std::size_t(x + 1)]);
  EXPECT_EQ(s.at(7, 0), original[7]);
}

TEST_F(HeadlessDraw, AMemoryDcCompatibleWithAWindowDrawsIntoItsBitmap) {
  Surface s(6, 3);
  s.fill(kTeal);
  MemoryDc memory(s.dc, CreateBitmap(5, 3, 1, 24, nullptr));
  HPEN pen = CreatePen(PS_SOLID, 1, RGB(255, 0, 0));
  HGDIOBJ old = SelectObject(memory.dc, pen);
  MoveToEx(memory.dc, 0, 1, nullptr);
  LineTo(memory.dc, 5, 1);
  EXPECT_EQ(headless::bitmap_pixel(memory.bitmap, 4, 1), RGB(255, 0, 0));
  EXPECT_EQ(headless::bitmap_pixel(memory.bitmap, 4, 0), kBlack);
  EXPECT_EQ(s.painted(kTeal).size(), 0u);  // the window is untouched until the blit
  ASSERT_TRUE(BitBlt(s.dc, 1, 0, 5, 3, memory.dc, 0, 0, SRCCOPY));
  expect_picture(s, 0, 0, {".KKKKK", ".RRRRR", ".KKKKK"},
                 {{'.', kTeal}, {'K', kBlack}, {'R', RGB(255, 0, 0)}});
  SelectObject(memory.dc, old);
  DeleteObject(pen);
}

// The pixels a white one-pixel pen paints from (x0, y0) to (x1, y1) on a black surface.
std::set<std::pair<int, int>> line_pixels(Surface& s, int x0, int y0, int x1, int y1) {
  s.fill(kBlack);
  HGDIOBJ old = SelectObject(s.dc, GetStockObject(WHITE_PEN));
  MoveToEx(s.dc, x0, y0, nullptr);
  EXPECT_TRUE(LineTo(s.dc, x1, y1));
  SelectObject(s.dc, old);
  for (const auto& p : s.painted()) EXPECT_EQ(s.at(p.first, p.second), kWhite);
  return s.painted();
}

using Points = std::set<std::pair<int, int>>;

TEST_F(HeadlessDraw, LineToPaintsUpToButNotIncludingTheEndPoint) {
  Surface s(12, 10);
  EXPECT_EQ(line_pixels(s, 1, 1, 5, 1), (Points{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
  EXPECT_EQ(line_pixels(s, 5, 1, 1, 1), (Points{{5, 1}, {4, 1}, {3, 1}, {2, 1}}));
  EXPECT_EQ(line_pixels(s, 2, 2, 2, 6), (Points{{2, 2}, {2, 3}, {2, 4}, {2, 5}}));
  EXPECT_EQ(line_pixels(s, 2, 6, 2, 2), (Points{{2, 6}, {2, 5}, {2, 4}, {2, 3}}));
  EXPECT_EQ(line_pixels(s, 0, 0, 4, 4), (Points{{0, 0}, {1, 1}, {2, 2}, {3, 3}}));
  EXPECT_EQ(line_pixels(s, 4, 0, 0, 4), (Points{{4, 0}, {3, 1}, {2, 2}, {1, 3}}));
  EXPECT_EQ(line_pixels(s, 3, 3, 3, 3), Points{});
}

TEST_F(HeadlessDraw, LineToTakesTheNearestPixelOfEachColumnOrRowAndTheSmallerOnATie) {
  Surface s(12, 10);
  // Steep: rows 0..4 at x = 1 + round(0, 0.4, 0.8, 1.2, 1.6).
  EXPECT_EQ(line_pixels(s, 1, 0, 3, 5), (Points{{1, 0}, {1, 1}, {2, 2}, {2, 3}, {3, 4}}));
  // Shallow with ties at 0.5 and 1.5: the upper row, whichever way the line runs.
  EXPECT_EQ(line_pixels(s, 0, 0, 4, 2), (Points{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
  EXPECT_EQ(line_pixels(s, 4, 2, 0, 0), (Points{{4, 2}, {3, 1}, {2, 1}, {1, 0}}));
  // Steep with ties: the left column.
  EXPECT_EQ(line_pixels(s, 0, 0, 2, 4), (Points{{0, 0}, {0, 1}, {1, 2}, {1, 3}}));
  EXPECT_EQ(line_pixels(s, 2, 4, 0, 0), (Points{{2, 4}, {1, 3}, {1, 2}, {0, 1}}));
  // A gentle slope: 7 columns, the row changing once past the middle.
  EXPECT_EQ(line_pixels(s, 2, 8, 9, 7),
            (Points{{2, 8}, {3, 8}, {4, 8}, {5, 8}, {6, 7}, {7, 7}, {8, 7}}));
}

TEST_F(HeadlessDraw, LineToMovesTheCurrentPositionToTheEndPoint) {
  Surface s(4, 4);
  POINT p{-1, -1};
  EXPECT_TRUE(MoveToEx(s.dc, 3, 2, &p));
  EXPECT_EQ(p.x, 0);  // a DC starts at (0, 0)
  EXPECT_EQ(p.y, 0);
  EXPECT_TRUE(LineTo(s.dc, -7, 9));
  EXPECT_TRUE(GetCurrentPositionEx(s.dc, &p));
  EXPECT_EQ(p.x, -7);
  EXPECT_EQ(p.y, 9);
  EXPECT_TRUE(MoveToEx(s.dc, 1, 1, &p));
  EXPECT_EQ(p.x, -7);
  EXPECT_FALSE(MoveToEx(nullptr, 1, 1, nullptr));
  EXPECT_FALSE(LineTo(nullptr, 1, 1));
}

TEST_F(HeadlessDraw, ASegmentPaintsTheSamePixelsInEitherDirection) {
  Surface s(20, 16);
  std::mt19937 random(11);
  std::uniform_int_distribution<int> coordinate(-6, 25);
  for (int n = 0; n < 150; ++n) {
    const int x0 = coordinate(random), y0 = coordinate(random);
    const int x1 = coordinate(random), y1 = coordinate(random);
    Points forward = line_pixels(s, x0, y0, x1, y1);
    Points backward = line_pixels(s, x1, y1, x0, y0);
    const bool inside0 = x0 >= 0 && y0 >= 0 && x0 < 20 && y0 < 16;
    const bool inside1 = x1 >= 0 && y1 >= 0 && x1 < 20 && y1 < 16;
    if (inside0 && inside1) {  // one pixel a step
      EXPECT_EQ(forward.size(), std::size_t(std::max(std::abs(x1 - x0), std::abs(y1 - y0))));
    }
    if (inside1) forward.insert({x1, y1});
    if (inside0) backward.insert({x0, y0});
    EXPECT_EQ(forward, backward) << "(" << x0 << ", " << y0 << ") to (" << x1 << ", " << y1 << ")";
  }
}

TEST_F(HeadlessDraw, APolylinePaintsEachCornerOnce) {
  Surface s(8, 7);
  s.fill(kBlack);
  SelectObject(s.dc, GetStockObject(WHITE_PEN));
  SetROP2(s.dc, R2_XORPEN);  // a corner painted twice would come back black
  MoveToEx(s.dc, 1, 1, nullptr);
  LineTo(s.dc, 6, 1);
  LineTo(s.dc, 6, 5);
  LineTo(s.dc, 1, 5);
  LineTo(s.dc, 1, 1);
  expect_picture(s, 0, 0,
                 {"........",  //
                  ".WWWWWW.",  //
                  ".W....W.",  //
                  ".W....W.",  //
                  ".W....W.",  //
                  ".WWWWWW.",  //
                  "........"},
                 {{'W', kWhite}, {'.', kBlack}});
}

// Draws a few lines, some of them running off the surface and crossing each other.
void draw_crossing_lines(HDC dc) {
  const int lines[][4] = {{0, 0, 39, 29}, {-10, 5, 50, 5},   {7, -3, 7, 40},  {39, 0, 0, 29},
                          {3, 25, 30, 2}, {-5, -20, 45, 33}, {20, 14, 21, 14}};
  for (const auto& l : lines) {
    MoveToEx(dc, l[0], l[1], nullptr);
    LineTo(dc, l[2], l[3]);
  }
}

TEST_F(HeadlessDraw, ANotXorLineDrawnTwiceRestoresEveryPixel) {
  Surface s(40, 30);
  const std::vector<COLORREF> original = s.fill_randomly(5);
  const COLORREF pen_colour = RGB(200, 50, 90);
  HPEN pen = CreatePen(PS_SOLID, 0, pen_colour);
  HGDIOBJ old = SelectObject(s.dc, pen);
  EXPECT_EQ(SetROP2(s.dc, R2_NOTXORPEN), R2_COPYPEN);
  draw_crossing_lines(s.dc);
  // No other line crosses row 5 at these columns.
  for (int x : {0, 10, 20, 39})
    EXPECT_EQ(s.at(x, 5), ~(pen_colour ^ original[std::size_t(5 * 40 + x)]) & kWhite);
  EXPECT_NE(s.pixels(), original);
  draw_crossing_lines(s.dc);
  EXPECT_EQ(s.pixels(), original);
  SelectObject(s.dc, old);
  DeleteObject(pen);
}

TEST_F(HeadlessDraw, XorAndNotLinesDrawnTwiceRestoreEveryPixel) {
  Surface s(40, 30);
  const std::vector<COLORREF> original = s.fill_randomly(9);
  for (int mode : {R2_XORPEN, R2_NOT}) {
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(17, 240, 3));
    HGDIOBJ old = SelectObject(s.dc, pen);
    SetROP2(s.dc, mode);
    draw_crossing_lines(s.dc);
    EXPECT_NE(s.pixels(), original);
    draw_crossing_lines(s.dc);
    EXPECT_EQ(s.pixels(), original);
    SelectObject(s.dc, old);
    DeleteObject(pen);
  }
}

// One pixel drawn with a pen and a binary raster operation onto one target colour.
COLORREF line_one(int mode, COLORREF pen_colour, COLORREF target) {
  Surface s(2, 1);
  s.fill(target);
  HPEN pen = CreatePen(PS_SOLID, 1, pen_colour);
  HGDIOBJ old = SelectObject(s.dc, pen);
  SetROP2(s.dc, mode);
  MoveToEx(s.dc, 0, 0, nullptr);
  LineTo(s.dc, 1, 0);
  EXPECT_EQ(s.at(1, 0), target);
  SelectObject(s.dc, old);
  DeleteObject(pen);
  return s.at(0, 0);
}

TEST_F(HeadlessDraw, BinaryRasterOperationsCombinePenAndTargetBitByBit) {
  const COLORREF pen = 0xCCCC0F, target = 0xAA55F0;
  EXPECT_EQ(line_one(R2_COPYPEN, pen, target), 0xCCCC0Fu);
  EXPECT_EQ(line_one(R2_NOTXORPEN, pen, target), 0x996600u);
  EXPECT_EQ(line_one(R2_XORPEN, pen, target), 0x6699FFu);
  EXPECT_EQ(line_one(R2_NOT, pen, target), 0x55AA0Fu);
  EXPECT_EQ(line_one(R2_MASKPEN, pen, target), 0x884400u);
  EXPECT_EQ(line_one(R2_MERGEPEN, pen, target), 0xEEDDFFu);
  EXPECT_EQ(line_one(R2_NOTCOPYPEN, pen, target), 0x3333F0u);
  EXPECT_EQ(line_one(R2_NOP, pen, target), 0xAA55F0u);
  EXPECT_EQ(line_one(R2_BLACK, pen, target), 0u);
  EXPECT_EQ(line_one(R2_WHITE, pen, target), 0xFFFFFFu);
}

TEST_F(HeadlessDraw, SetRop2ReturnsThePreviousModeAndRefusesUnknownOnes) {
  Surface s(1, 1);
  EXPECT_EQ(GetROP2(s.dc), R2_COPYPEN);
  EXPECT_EQ(SetROP2(s.dc, R2_NOTXORPEN), R2_COPYPEN);
  EXPECT_EQ(SetROP2(s.dc, R2_XORPEN), R2_NOTXORPEN);
  EXPECT_EQ(SetROP2(s.dc, 0), 0);
  EXPECT_EQ(SetROP2(s.dc, 17), 0);
  EXPECT_EQ(GetROP2(s.dc), R2_XORPEN);
  EXPECT_EQ(SetROP2(nullptr, R2_COPYPEN), 0);
  EXPECT_EQ(SetBkColor(nullptr, kBlack), CLR_INVALID);
  EXPECT_EQ(SetTextColor(nullptr, kBlack), CLR_INVALID);
}

TEST_F(HeadlessDraw, LinesClipAtEveryEdgeWithoutStrayWrites) {
  Surface s(10, 8);
  Points row3, column4, diagonal, row1, row7;
  for (int x = 0; x < 10; ++x) row3.insert({x, 3}), row1.insert({x, 1}), row7.insert({x, 7});
  for (int y = 0; y < 8; ++y) column4.insert({4, y}), diagonal.insert({y, y});
  EXPECT_EQ(line_pixels(s, -100000, 3, 100000, 3), row3);
  EXPECT_EQ(line_pixels(s, 100000, 3, -100000, 3), row3);
  EXPECT_EQ(line_pixels(s, 4, -50, 4, 50), column4);
  EXPECT_EQ(line_pixels(s, 4, 50, 4, -50), column4);
  EXPECT_EQ(line_pixels(s, -5, -5, 20, 20), diagonal);
  EXPECT_EQ(line_pixels(s, INT_MIN, INT_MIN, INT_MAX, INT_MAX), diagonal);
  EXPECT_EQ(line_pixels(s, INT_MAX, INT_MAX, INT_MIN, INT_MIN), diagonal);
  // Across the whole int range and one row down: the row changes at x = 0, half way along.
  EXPECT_EQ(line_pixels(s, INT_MIN, 0, INT_MAX, 1), row1);
  EXPECT_EQ(line_pixels(s, INT_MIN, 7, INT_MAX, 7), row7);
  EXPECT_EQ(line_pixels(s, 12, 9, 20, 30), Points{});
  EXPECT_EQ(line_pixels(s, -3, 8, 12, 8), Points{});
  EXPECT_EQ(line_pixels(s, -1, -30, -1, 30), Points{});
  EXPECT_EQ(line_pixels(s, 10, INT_MIN, 10, INT_MAX), Points{});
}

TEST_F(HeadlessDraw, PensDrawOnMonochromeBitmapsAsWhiteOrBlack) {
  MemoryDc mono(nullptr, CreateBitmap(16, 2, 1, 1, nullptr));
  HGDIOBJ old = SelectObject(mono.dc, GetStockObject(WHITE_PEN));
  MoveToEx(mono.dc, 2, 0, nullptr);
  LineTo(mono.dc, 14, 0);
  EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, 1, 0), kBlack);
  EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, 2, 0), kWhite);
  EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, 13, 0), kWhite);
  EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, 14, 0), kBlack);
  HPEN near_white = CreatePen(PS_SOLID, 1, RGB(250, 250, 250));
  SelectObject(mono.dc, near_white);
  LineTo(mono.dc, 4, 0);  // back over 14..5: not white, so black
  EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, 5, 0), kBlack);
  EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, 4, 0), kWhite);
  SetROP2(mono.dc, R2_NOT);
  MoveToEx(mono.dc, 0, 1, nullptr);
  LineTo(mono.dc, 16, 1);
  EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, 0, 1), kWhite);
  EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, 15, 1), kWhite);
  SelectObject(mono.dc, old);
  DeleteObject(near_white);
}

TEST_F(HeadlessDraw, ANullPenMovesWithoutDrawing) {
  Surface s(6, 2);
  HPEN null_style = CreatePen(PS_NULL, 3, kWhite);
  ASSERT_NE(null_style, nullptr);
  for (HGDIOBJ pen : {GetStockObject(NULL_PEN), null_style}) {
    s.fill(kBlack);
    HGDIOBJ old = SelectObject(s.dc, pen);
    MoveToEx(s.dc, 0, 0, nullptr);
    EXPECT_TRUE(LineTo(s.dc, 6, 0));
    EXPECT_EQ(s.painted().size(), 0u);
    SelectObject(s.dc, old);
    LineTo(s.dc, 6, 2);  // from (6, 0) with the black pen
    POINT p{};
    GetCurrentPositionEx(s.dc, &p);
    EXPECT_EQ(p.y, 2);
  }
  DeleteObject(null_style);
}

TEST_F(HeadlessDraw, FillRectFillsUpToButNotIncludingRightAndBottom) {
  Surface s(8, 5);
  s.fill(kBlack);
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
  RECT r{2, 1, 5, 3};
  EXPECT_NE(FillRect(s.dc, &r, red), 0);
  EXPECT_EQ(s.painted(), (Points{{2, 1}, {3, 1}, {4, 1}, {2, 2}, {3, 2}, {4, 2}}));
  EXPECT_EQ(s.at(4, 2), RGB(255, 0, 0));
  RECT backwards{5, 1, 2, 3}, empty{3, 3, 3, 4};
  EXPECT_NE(FillRect(s.dc, &backwards, GetStockObject(WHITE_BRUSH)), 0);
  EXPECT_NE(FillRect(s.dc, &empty, GetStockObject(WHITE_BRUSH)), 0);
  EXPECT_NE(FillRect(s.dc, &r, GetStockObject(NULL_BRUSH)), 0);
  EXPECT_EQ(s.painted().size(), 6u);
  EXPECT_EQ(FillRect(s.dc, &r, GetStockObject(WHITE_PEN)), 0);
  EXPECT_EQ(FillRect(s.dc, nullptr, red), 0);
  EXPECT_EQ(FillRect(nullptr, &r, red), 0);
  DeleteObject(red);
}

TEST_F(HeadlessDraw, FillRectClipsAndIgnoresTheBinaryRasterOperation) {
  Surface s(8, 5);
  s.fill(kBlack);
  SetROP2(s.dc, R2_XORPEN);
  RECT huge{INT_MIN, INT_MIN, INT_MAX, INT_MAX};
  EXPECT_NE(FillRect(s.dc, &huge, GetStockObject(GRAY_BRUSH)), 0);
  EXPECT_NE(FillRect(s.dc, &huge, GetStockObject(GRAY_BRUSH)), 0);
  EXPECT_EQ(s.painted(RGB(128, 128, 128)).size(), 0u);
  RECT outside{8, 0, 20, 5};
  FillRect(s.dc, &outside, GetStockObject(WHITE_BRUSH));
  EXPECT_EQ(s.painted(RGB(128, 128, 128)).size(), 0u);
  RECT corner{-3, -3, 1, 1};
  FillRect(s.dc, &corner, GetStockObject(BLACK_BRUSH));
  EXPECT_EQ(s.painted(RGB(128, 128, 128)), (Points{{0, 0}}));
}

TEST_F(HeadlessDraw, FillRectOnAMonochromeBitmapSetsOnlyWhiteToOne) {
  MemoryDc mono(nullptr, CreateBitmap(4, 1, 1, 1, nullptr));
  RECT left{0, 0, 2, 1}, right{2, 0, 4, 1}, second{1, 0, 2, 1};
  FillRect(mono.dc, &left, GetStockObject(WHITE_BRUSH));
  FillRect(mono.dc, &right, GetStockObject(LTGRAY_BRUSH));
  FillRect(mono.dc, &second, GetStockObject(DKGRAY_BRUSH));
  const COLORREF expected[] = {kWhite, kBlack, kBlack, kBlack};
  for (int x = 0; x < 4; ++x) EXPECT_EQ(headless::bitmap_pixel(mono.bitmap, x, 0), expected[x]);
}

TEST_F(HeadlessDraw, ADcStartsWithTheBlackPenAndTheWhiteBrush) {
  Surface s(3, 1);
  HPEN pen = CreatePen(PS_SOLID, 1, RGB(1, 1, 1));
  HBRUSH brush = CreateSolidBrush(RGB(2, 2, 2));
  EXPECT_EQ(SelectObject(s.dc, pen), GetStockObject(BLACK_PEN));
  EXPECT_EQ(SelectObject(s.dc, brush), GetStockObject(WHITE_BRUSH));
  EXPECT_EQ(SelectObject(s.dc, GetStockObject(WHITE_PEN)), pen);
  EXPECT_EQ(SelectObject(s.dc, GetStockObject(NULL_BRUSH)), brush);
  EXPECT_EQ(SelectObject(s.dc, GetStockObject(NULL_BRUSH)), GetStockObject(NULL_BRUSH));
  // A fresh DC draws black.
  s.fill(kWhite);
  HDC fresh = GetDC(s.window);
  MoveToEx(fresh, 0, 0, nullptr);
  LineTo(fresh, 3, 0);
  EXPECT_EQ(s.painted(kWhite).size(), 3u);
  EXPECT_EQ(s.at(2, 0), kBlack);
  ReleaseDC(s.window, fresh);
  DeleteObject(pen);
  DeleteObject(brush);
}

TEST_F(HeadlessDraw, StockObjectsAreNeitherCountedNorFreed) {
  for (int i = WHITE_BRUSH; i <= NULL_PEN; ++i) {
    HGDIOBJ stock = GetStockObject(i);
    ASSERT_NE(stock, nullptr) << i;
    EXPECT_TRUE(DeleteObject(stock));
    EXPECT_EQ(GetStockObject(i), stock);
  }
  EXPECT_NE(GetStockObject(WHITE_PEN), GetStockObject(BLACK_PEN));
  EXPECT_EQ(GetStockObject(-1), nullptr);
  EXPECT_EQ(GetStockObject(NULL_PEN + 1), nullptr);
  EXPECT_EQ(pens_added(), 0u);
  EXPECT_EQ(brushes_added(), 0u);
  Surface s(2, 1);  // a deleted stock pen still draws
  s.fill(kBlack);
  SelectObject(s.dc, GetStockObject(WHITE_PEN));
  LineTo(s.dc, 2, 0);
  EXPECT_EQ(s.at(1, 0), kWhite);
}

TEST_F(HeadlessDraw, PensAndBrushesAreCountedUntilDeleted) {
  HPEN a = CreatePen(PS_SOLID, 1, kWhite);
  HPEN b = CreatePen(PS_SOLID, 0, kWhite);
  HBRUSH c = CreateSolidBrush(kWhite);
  ASSERT_TRUE(a && b && c);
  EXPECT_NE(a, b);
  EXPECT_EQ(pens_added(), 2u);
  EXPECT_EQ(brushes_added(), 1u);
  EXPECT_TRUE(DeleteObject(a));
  EXPECT_FALSE(DeleteObject(a));
  EXPECT_TRUE(DeleteObject(c));
  EXPECT_EQ(pens_added(), 1u);
  EXPECT_EQ(brushes_added(), 0u);
  EXPECT_TRUE(DeleteObject(b));
  EXPECT_EQ(CreatePen(PS_SOLID, 3, kWhite), nullptr);  // only two-pixel wide pens are drawn
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(CreatePen(1, 1, kWhite), nullptr);  // PS_DASH
  EXPECT_EQ(CreatePen(PS_SOLID, -1, kWhite), nullptr);
  EXPECT_EQ(pens_added(), 0u);
}

TEST_F(HeadlessDraw, ASelectedPenOutlivesItsDeletionUntilItsLastDcLetsGo) {
  Surface s(4, 2);
  s.fill(kBlack);
  HDC second = GetDC(s.window);
  HPEN pen = CreatePen(PS_SOLID, 1, RGB(0, 99, 0));
  HGDIOBJ old = SelectObject(s.dc, pen);
  SelectObject(second, pen);
  EXPECT_TRUE(DeleteObject(pen));
  EXPECT_EQ(pens_added(), 1u);
  EXPECT_FALSE(DeleteObject(pen));              // the handle is dead
  EXPECT_EQ(SelectObject(s.dc, pen), nullptr);  // and cannot be selected again
  MoveToEx(s.dc, 0, 0, nullptr);
  LineTo(s.dc, 4, 0);  // but it still draws where it is selected
  EXPECT_EQ(s.at(3, 0), RGB(0, 99, 0));
  EXPECT_EQ(SelectObject(s.dc, old), pen);
  EXPECT_EQ(pens_added(), 1u);  // still in the second DC
  ReleaseDC(s.window, second);
  EXPECT_EQ(pens_added(), 0u);

  MemoryDc memory(s.dc, CreateBitmap(2, 2, 1, 24, nullptr));
  HBRUSH brush = CreateSolidBrush(kWhite);
  SelectObject(memory.dc, brush);
  EXPECT_TRUE(DeleteObject(brush));
  EXPECT_EQ(brushes_added(), 1u);  // goes with the memory DC at the end of the test
}

TEST_F(HeadlessDraw, FaultInjectionFailsPenAndBrushCreation) {
  headless::fail_gdi_creation(2);
  HPEN first = CreatePen(PS_SOLID, 1, kWhite);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(CreateSolidBrush(kWhite), nullptr);
  EXPECT_EQ(GetLastError(), 8u);
  HBRUSH after = CreateSolidBrush(kWhite);
  EXPECT_NE(after, nullptr);
  headless::fail_gdi_creation(1);
  EXPECT_EQ(CreatePen(PS_SOLID, 1, kWhite), nullptr);
  EXPECT_EQ(pens_added(), 1u);
  EXPECT_EQ(brushes_added(), 1u);
  DeleteObject(first);
  DeleteObject(after);
}

// Two-pixel pens against the pixels wine paints for the same lines on a 200 x 200 bitmap
// (tests/headless/data/wine_wide_lines.txt: "x0 y0 x1 y1:" then the runs "row:first-last"):
// every octant, zero and one pixel long, steep and flat, and lines running off every side.
TEST(WideLines, PaintThePixelsWindowsPaints) {
  std::ifstream file(ZORBEL_TEST_DATA "/wine_wide_lines.txt");
  ASSERT_TRUE(file.good());
  std::string line;
  int compared = 0;
  while (std::getline(file, line)) {
    std::istringstream in(line);
    int x0, y0, x1, y1;
    char colon;
    in >> x0 >> y0 >> x1 >> y1 >> colon;
    std::set<std::pair<int, int>> expected;
    for (std::string run; in >> run;) {
      int y, first, last;
      ASSERT_EQ(std::sscanf(run.c_str(), "%d:%d-%d", &y, &first, &last), 3) << run;
      for (int x = first; x <= last; ++x) expected.insert({x, y});
    }
    Surface s(200, 200);
    s.fill(kWhite);
    HPEN pen = CreatePen(PS_SOLID, 2, 0);
    HGDIOBJ old = SelectObject(s.dc, pen);
    MoveToEx(s.dc, x0, y0, nullptr);
    LineTo(s.dc, x1, y1);
    std::set<std::pair<int, int>> painted;
    for (int y = 0; y < 200; ++y)
      for (int x = 0; x < 200; ++x)
        if (s.at(x, y) == 0) painted.insert({x, y});
    EXPECT_EQ(painted, expected) << line.substr(0, line.find(':'));
    // Under NOTXOR every pixel of the line is inverted once: drawing it again restores all.
    SetROP2(s.dc, R2_NOTXORPEN);
    const std::vector<COLORREF> before = s.pixels();
    MoveToEx(s.dc, x0, y0, nullptr);
    LineTo(s.dc, x1, y1);
    int inverted = 0;
    for (int y = 0; y < 200; ++y)
      for (int x = 0; x < 200; ++x) inverted += s.at(x, y) != before[size_t(y) * 200 + x];
    EXPECT_EQ(inverted, int(expected.size()));
    MoveToEx(s.dc, x0, y0, nullptr);
    LineTo(s.dc, x1, y1);
    EXPECT_TRUE(s.pixels() == before);
    SelectObject(s.dc, old);
    DeleteObject(pen);
    ++compared;
  }
  EXPECT_EQ(compared, 60);
}

}  // namespace
