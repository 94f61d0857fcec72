// Pixels of a bitmap or of a window's client area, as GDI keeps them. Plain storage with no
// window calls: raster.cpp owns nothing beyond the bytes of each raster.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace headless_detail {

// Rows top-down, each a whole number of 16-bit words as Windows stores bitmap rows. 1 bit per
// pixel: the leftmost pixel is the most significant bit of its byte, 1 white, 0 black. 24 and
// 32 bits: blue, green, red (and an unused byte).
struct Raster {
  int width = 0;
  int height = 0;
  int bits_per_pixel = 24;
  std::size_t stride = 0;
  std::vector<uint8_t> bytes;

  static std::size_t stride_for(int width, int bits_per_pixel) {
    return ((std::size_t(width) * std::size_t(bits_per_pixel) + 15) / 16) * 2;
  }
  // Sets the size, keeping the pixels the old and new sizes share; new pixels are black.
  void resize(int new_width, int new_height);
  // The colour at (x, y) as 0x00BBGGRR, or CLR_INVALID outside the raster.
  COLORREF pixel(int x, int y) const;
  // Sets (x, y) when inside; a 1-bit raster takes white as 1 and any other colour as 0.
  void set_pixel(int x, int y, COLORREF colour);
};

}  // namespace headless_detail
