// The pixel rasters behind bitmaps and windows: resizing, reading and writing one pixel.
#include "headless_win32/raster.h"

#include <algorithm>
#include <cstring>

namespace headless_detail {

void Raster::resize(int new_width, int new_height) {
  std::size_t new_stride = stride_for(new_width, bits_per_pixel);
  std::vector<uint8_t> fresh(new_stride * std::size_t(new_height), 0);
  std::size_t row_bytes =
      (std::size_t(std::min(width, new_width)) * std::size_t(bits_per_pixel) + 7) / 8;
  for (int y = 0; y < std::min(height, new_height); ++y)
    std::memcpy(fresh.data() + std::size_t(y) * new_stride, bytes.data() + std::size_t(y) * stride,
                row_bytes);
  width = new_width;
  height = new_height;
  stride = new_stride;
  bytes = std::move(fresh);
}

COLORREF Raster::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return CLR_INVALID;
  const uint8_t* row = bytes.data() + std::size_t(y) * stride;
  if (bits_per_pixel == 1) return (row[x / 8] & (0x80 >> (x % 8))) ? 0xFFFFFF : 0;
  const uint8_t* p = row + std::size_t(x) * std::size_t(bits_per_pixel / 8);
  return COLORREF(p[2]) | (COLORREF(p[1]) << 8) | (COLORREF(p[0]) << 16);
}

void Raster::set_pixel(int x, int y, COLORREF colour) {
  if (x < 0 || y < 0 || x >= width || y >= height) return;
  uint8_t* row = bytes.data() + std::size_t(y) * stride;
  if (bits_per_pixel == 1) {
    uint8_t bit = uint8_t(0x80 >> (x % 8));
    row[x / 8] = uint8_t((colour & 0xFFFFFF) == 0xFFFFFF ? row[x / 8] | bit : row[x / 8] & ~bit);
    return;
  }
  uint8_t* p = row + std::size_t(x) * std::size_t(bits_per_pixel / 8);
  p[0] = uint8_t(colour >> 16);
  p[1] = uint8_t(colour >> 8);
  p[2] = uint8_t(colour);
}

}  // namespace headless_detail
