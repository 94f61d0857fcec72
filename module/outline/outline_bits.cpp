// The selection's outline on 1-bit rows: a 3 x 3 erosion done with 16-bit word operations
// (a vertical AND of three rows, then a horizontal AND with rotations), subtracted from the
// selection. No window calls here.
#include <cstring>

#include "module/module_state.h"
#include "module/outline/outline.h"

namespace {

uint16_t load(const uint8_t* at) { return uint16_t(at[0] | (at[1] << 8)); }
void store(uint8_t* at, uint16_t word) {
  at[0] = uint8_t(word);
  at[1] = uint8_t(word >> 8);
}
uint16_t rotate_right(uint16_t w) { return uint16_t((w >> 1) | (w << 15)); }
uint16_t rotate_left(uint16_t w) { return uint16_t((w << 1) | (w >> 15)); }

// Pixel positions inside a word as loaded: pixel 0 is bit 7, pixel 1 bit 6, pixel 14 bit 9,
// pixel 15 bit 8.
constexpr uint16_t kPixel0 = 0x0080, kPixel1 = 0x0040, kPixel14 = 0x0200, kPixel15 = 0x0100;

}  // namespace

void erode_rows(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint8_t* out) {
  for (int32_t i = 0; i < module_state.selection.mask_row_words; ++i)
    store(out + 2 * i, uint16_t(load(above + 2 * i) & load(row + 2 * i) & load(below + 2 * i)));
}

void erode_row_across(uint8_t* row) {
  const int32_t words = module_state.selection.mask_row_words;
  bool left_set = true;  // the neighbour left of column 0 counts as selected
  uint16_t w = words > 0 ? load(row) : 0;
  for (int32_t i = 0; i < words; ++i) {
    uint16_t next = i + 1 < words ? load(row + 2 * (i + 1)) : 0;  // clear past the row
    // Rotating brings each pixel's left and right neighbours into its bit, except where the
    // rotation wraps inside the word: pixels 0 and 15, set from the neighbouring words.
    uint16_t a = uint16_t(rotate_right(w) & rotate_left(w) & 0xFE7F);
    if (left_set && (w & kPixel1)) a |= kPixel0;
    if ((w & kPixel14) && (next & kPixel0)) a |= kPixel15;
    left_set = (w & kPixel15) != 0;
    store(row + 2 * i, uint16_t(w & a));
    w = next;
  }
}

void subtract_row(uint8_t* row, const uint8_t* taken) {
  for (int32_t i = 0; i < module_state.selection.mask_row_words; ++i)
    store(row + 2 * i, uint16_t(load(row + 2 * i) & ~load(taken + 2 * i)));
}

void pattern_row(const uint8_t* in, uint8_t* out, uint8_t pattern) {
  const uint16_t both = uint16_t(pattern * 0x0101);
  for (int32_t i = 0; i < module_state.selection.mask_row_words; ++i)
    store(out + 2 * i, uint16_t(load(in + 2 * i) & both));
}

bool block_has_ants(int16_t x0, int16_t y0, int16_t rows) {
  const ModuleState& s = module_state;
  const int32_t row_bits = int32_t(s.selection.mask_row_words) * 16;
  for (int32_t y = y0; y < y0 + rows; ++y) {
    const uint8_t* row = s.selection.outline_bits + int32_t(y) * s.selection.mask_row_bytes;
    for (int32_t x = x0; x < x0 + 32 && x < row_bits; x += 8)  // rows are whole words
      if (row[x >> 3] != 0) return true;
  }
  return false;
}

void outline_from_mask() {
  ModuleState& s = module_state;
  const int32_t stride = s.selection.mask_row_bytes;
  std::memcpy(s.selection.mask_saved, s.selection.mask_bits, size_t(s.selection.mask_size));
  std::memset(s.selection.mask_guard, 0, size_t(stride));
  std::memset(s.selection.mask_bits + s.selection.mask_size, 0, size_t(stride));
  for (int32_t y = 0; y < s.preview.preview_height; ++y) {
    const uint8_t* row = s.selection.mask_bits + y * stride;
    erode_rows(row - stride, row, row + stride, s.selection.outline_bits + y * stride);
    erode_row_across(s.selection.outline_bits + y * stride);
  }
  for (int32_t y = 0; y < s.preview.preview_height; ++y)
    subtract_row(s.selection.mask_bits + y * stride, s.selection.outline_bits + y * stride);
}
