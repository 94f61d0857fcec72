// Screen output: puts a rectangle of preview pixels (1, 3 or 4 interleaved bytes a pixel) on
// a window. The host draws it when it offers displayPixels; otherwise the pixels become a
// 24-bit bottom-up bitmap in dib_buffer (fixed CMYK-to-RGB rule, ordered dither on displays
// of 8 bits or fewer) drawn with SetDIBitsToDevice. Owns pixel_map, dib_header and
// dither_display; allocates nothing and never frees the blocks it locks (release_all does).
#include <cstdint>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"

namespace {

// The host's displayPixels, or null when there is no record or the host offers none.
filter_api::NativePointers::DisplayPixelsProc host_display() {
  const filter_api::FilterRecord* record = module_state.host.filter_record;
  return record != nullptr ? record->displayPixels : nullptr;
}

// One output byte through the two-level ordered dither: raised on parity 1, lowered on
// parity 0, by v below 64, 64 from 64 to 191, 255 - v from 192; never leaves 0..255.
uint8_t dither(uint8_t v, int16_t parity) {
  int16_t amount = v < 64 ? int16_t(v) : v <= 191 ? int16_t(64) : int16_t(255 - v);
  return uint8_t(parity != 0 ? v + amount : v - amount);
}

// The fixed CMYK rule: each ink times black, green over red damped or blue pulled towards
// the larger of red and green, then bits 8 to 15 of each product.
void cmyk_to_rgb(const uint8_t* cmyk, uint8_t* red, uint8_t* green, uint8_t* blue) {
  uint32_t r = uint32_t(cmyk[0]) * cmyk[3];  // at most 65025
  uint32_t g = uint32_t(cmyk[1]) * cmyk[3];
  uint32_t b = uint32_t(cmyk[2]) * cmyk[3];
  if (g > r) {
    if (g < b)
      b = b / 2 + g / 2;
    else
      g = g - g / 8;
  } else if (r < b) {
    b = b / 2 + r / 2;
  }
  *red = uint8_t(r / 256);
  *green = uint8_t(g / 256);
  *blue = uint8_t(b / 256);
}

// Converts the rectangle into dib_buffer: dib row i (0 the bottom) from source row
// lines - 1 - i, stored blue, green, red. The parity starts at (x XOR y) AND 1 and flips
// after every pixel and after every row.
void convert_rows(int16_t x, int16_t y, int16_t count, int16_t lines, int32_t stride) {
  ModuleState& s = module_state;
  const int16_t bytes = s.host.bytes_per_pixel;
  const int32_t source_row_bytes = int32_t(count) * bytes;
  const bool dithering = s.screen.dither_display == 1;
  int16_t row_parity = int16_t((x ^ y) & 1);
  for (int16_t i = 0; i < lines; ++i) {
    const uint8_t* source = s.plan.preview_pixels + int32_t(lines - 1 - i) * source_row_bytes;
    uint8_t* target = s.screen.dib_buffer + int32_t(i) * stride;
    int16_t parity = row_parity;
    for (int16_t j = 0; j < count; ++j) {
      uint8_t red, green, blue;
      if (bytes == 1) {
        red = green = blue = dithering ? dither(source[0], parity) : source[0];
      } else {
        if (bytes == 4) {
          cmyk_to_rgb(source, &red, &green, &blue);
        } else {
          red = source[0];
          green = source[1];
          blue = source[2];
        }
        if (dithering) {
          red = dither(red, parity);
          green = dither(green, parity);
          blue = dither(blue, parity);
        }
      }
      target[0] = blue;
      target[1] = green;
      target[2] = red;
      target += 3;
      source += bytes;
      parity ^= 1;
    }
    row_parity ^= 1;
  }
}

}  // namespace

void setup_display() {
  ModuleState& s = module_state;
  if (host_display() != nullptr) {
    filter_api::PSPixelMap& map = s.screen.pixel_map;
    map.version = 0;
    map.bounds.top = 0;
    map.bounds.left = 0;
    map.imageMode = int32_t(s.host.filter_record->imageMode);  // sign-extended
    map.colBytes = s.host.bytes_per_pixel;
    map.planeBytes = 1;
    map.baseAddr = s.plan.preview_pixels;
    return;
  }
  // dib_buffer is null from Start on, so the depth is measured once per run. Without a
  // device context there is nothing to measure and the display counts as a deep one.
  if (s.screen.dib_buffer == nullptr && s.plan.dib_block != nullptr) {
    s.screen.dib_buffer = static_cast<uint8_t*>(block_lock(s.plan.dib_block));
    HDC dc = GetDC(s.dialog.dialog_window);
    s.screen.dither_display = 0;
    if (dc != nullptr) {
      int16_t depth = int16_t(GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES));
      s.screen.dither_display = depth <= 8 ? 1 : 0;
      ReleaseDC(s.dialog.dialog_window, dc);
    }
  }
  BITMAPINFOHEADER& header = s.screen.dib_header;
  header.biSize = 40;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biClrUsed = 0;
  header.biClrImportant = 0;
}

void put_preview_rows(HDC dc, int16_t x, int16_t y, int16_t count, int16_t lines) {
  ModuleState& s = module_state;
  const int16_t bytes = s.host.bytes_per_pixel;
  if (count < 1 || lines < 1 || s.plan.preview_pixels == nullptr ||
      (bytes != 1 && bytes != 3 && bytes != 4) ||
      int32_t(count) * bytes * lines > int32_t(kPreviewPixelsSize))
    return;
  filter_api::NativePointers::DisplayPixelsProc display = host_display();
  if (display != nullptr) {
    s.screen.pixel_map.rowBytes = int32_t(count) * bytes;
    s.screen.pixel_map.bounds.bottom = lines;
    s.screen.pixel_map.bounds.right = count;
    display(&s.screen.pixel_map, &s.screen.pixel_map.bounds, y, x, dc);
    return;
  }
  const int32_t stride = (int32_t(count) * 3 + 3) & ~int32_t(3);
  if (s.screen.dib_buffer == nullptr || int32_t(lines) * stride > int32_t(kDibBufferSize)) return;
  convert_rows(x, y, count, lines, stride);
  s.screen.dib_header.biWidth = count;
  s.screen.dib_header.biHeight = lines;  // positive: the rows run bottom-up
  s.screen.dib_header.biSizeImage = DWORD(int32_t(lines) * stride);
  // A 24-bit BI_RGB header has no colour table after it; Windows reads only the header.
  SetDIBitsToDevice(dc, x, y, DWORD(count), DWORD(lines), 0, 0, 0, UINT(lines), s.screen.dib_buffer,
                    reinterpret_cast<const BITMAPINFO*>(&s.screen.dib_header), DIB_RGB_COLORS);
}

void release_screen_output() { module_state.screen.dib_buffer = nullptr; }
