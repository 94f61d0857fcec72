// The selection's outline: the word-wise erosion against the per-pixel rule, at word
// boundaries, image edges and on random selections.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "module/module_state.h"
#include "module/outline/outline.h"

namespace {

// A selection of width x height preview pixels in the mask layout, with its guard rows.
class Outline : public ::testing::Test {
 protected:
  void make(int16_t width, int16_t height) {
    ModuleState& s = module_state;
    s.preview.preview_width = width;
    s.preview.preview_height = height;
    s.selection.mask_row_words = int16_t((width + 15) >> 4);
    s.selection.mask_row_bytes = int16_t(2 * s.selection.mask_row_words);
    s.selection.mask_size = s.selection.mask_row_bytes * height;
    mask.assign(size_t(s.selection.mask_size + 2 * s.selection.mask_row_bytes),
                0xEE);  // guard rows not yet clear
    saved.assign(size_t(s.selection.mask_size), 0);
    outline.assign(size_t(s.selection.mask_size + s.selection.mask_row_bytes), 0);
    s.selection.mask_guard = mask.data();
    s.selection.mask_bits = mask.data() + s.selection.mask_row_bytes;
    std::fill(s.selection.mask_bits, s.selection.mask_bits + s.selection.mask_size, 0);
    s.selection.mask_saved = saved.data();
    s.selection.outline_bits = outline.data();
  }
  static void set(int x, int y) {
    module_state.selection.mask_bits[y * module_state.selection.mask_row_bytes + x / 8] |=
        uint8_t(0x80 >> (x % 8));
  }
  static bool bit(const uint8_t* rows, int x, int y) {
    return (rows[y * module_state.selection.mask_row_bytes + x / 8] & (0x80 >> (x % 8))) != 0;
  }
  // The outline by its definition, pixel by pixel, over every stored bit of the rows.
  std::vector<bool> expected() const {
    const ModuleState& s = module_state;
    int bits = s.selection.mask_row_words * 16;
    std::vector<bool> out(size_t(bits) * s.preview.preview_height);
    for (int y = 0; y < s.preview.preview_height; ++y)
      for (int x = 0; x < bits; ++x) {
        if (!bit(saved.data(), x, y)) continue;
        bool edge = false;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            int nx = x + dx, ny = y + dy;
            bool selected = nx < 0 ? true
                            : (ny < 0 || ny >= s.preview.preview_height || nx >= bits)
                                ? false
                                : bit(saved.data(), nx, ny);
            edge |= !selected;
          }
        out[size_t(y) * bits + x] = edge;
      }
    return out;
  }
  std::vector<bool> actual() const {
    const ModuleState& s = module_state;
    int bits = s.selection.mask_row_words * 16;
    std::vector<bool> out(size_t(bits) * s.preview.preview_height);
    for (int y = 0; y < s.preview.preview_height; ++y)
      for (int x = 0; x < bits; ++x) out[size_t(y) * bits + x] = bit(s.selection.mask_bits, x, y);
    return out;
  }

  std::vector<uint8_t> mask, saved, outline;
};

TEST_F(Outline, ARectangleKeepsOnlyItsBorder) {
  make(40, 30);
  for (int y = 10; y <= 20; ++y)
    for (int x = 10; x <= 20; ++x) set(x, y);
  outline_from_mask();
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      bool inside = x >= 10 && x <= 20 && y >= 10 && y <= 20;
      bool border = inside && (x == 10 || x == 20 || y == 10 || y == 20);
      EXPECT_EQ(bit(module_state.selection.mask_bits, x, y), border) << x << "," << y;
      EXPECT_EQ(bit(module_state.selection.mask_saved, x, y), inside) << x << "," << y;
    }
  EXPECT_EQ(mask[0], 0);  // the guard rows were cleared
  EXPECT_EQ(mask.back(), 0);
}

TEST_F(Outline, ThinShapesAreAllOutline) {
  make(33, 9);
  set(5, 4);
  for (int x = 12; x < 30; ++x) set(x, 2);
  outline_from_mask();
  EXPECT_EQ(actual(), expected());
  EXPECT_TRUE(bit(module_state.selection.mask_bits, 5, 4));
  for (int x = 12; x < 30; ++x) EXPECT_TRUE(bit(module_state.selection.mask_bits, x, 2)) << x;
}

TEST_F(Outline, AWholeSelectionIsOutlinedAtTopBottomAndRightButNotLeft) {
  make(32, 10);  // two whole words: no bits beyond the preview
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 32; ++x) set(x, y);
  outline_from_mask();
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 32; ++x) {
      bool edge = y == 0 || y == 9 || x == 31;
      EXPECT_EQ(bit(module_state.selection.mask_bits, x, y), edge) << x << "," << y;
    }
}

TEST_F(Outline, LeftEdgesAtWordBoundariesAreOnePixelWide) {
  for (int first : {15, 16, 31, 47}) {
    make(80, 6);
    for (int y = 1; y < 5; ++y)
      for (int x = first; x < 70; ++x) set(x, y);
    outline_from_mask();
    for (int y = 2; y < 4; ++y) {
      EXPECT_TRUE(bit(module_state.selection.mask_bits, first, y)) << first;
      EXPECT_FALSE(bit(module_state.selection.mask_bits, first + 1, y)) << first;
      EXPECT_FALSE(bit(module_state.selection.mask_bits, first - 1, y)) << first;
    }
  }
}

TEST_F(Outline, RandomSelectionsOfEveryWidthFollowTheNeighbourhoodRule) {
  // Every width from 1 to 512 (the wrap bits between words, the row ends and the spare bits
  // past the last column are where a word-wise erosion breaks), a few heights and densities.
  std::mt19937 random(5);
  for (int width = 1; width <= 512; ++width) {
    make(int16_t(width), int16_t(1 + random() % 9));
    int density = int(random() % 4);
    for (int y = 0; y < module_state.preview.preview_height; ++y)
      for (int x = 0; x < module_state.selection.mask_row_words * 16; ++x)
        if (int(random() % 4) <= density) set(x, y);
    outline_from_mask();
    ASSERT_EQ(actual(), expected()) << width;
  }
}

TEST_F(Outline, PatternRowsAndAntBlocks) {
  make(160, 40);
  std::vector<uint8_t> in(size_t(module_state.selection.mask_row_bytes), 0xFF), out(in.size());
  pattern_row(in.data(), out.data(), 0x09);
  for (uint8_t b : out) EXPECT_EQ(b, 0x09);
  // Outline pixels in blocks 0, 1 and 3 of the first band only.
  for (int x : {0, 40, 100})
    module_state.selection.outline_bits[3 * module_state.selection.mask_row_bytes + x / 8] = 1;
  EXPECT_TRUE(block_has_ants(0, 0, 32));
  EXPECT_TRUE(block_has_ants(32, 0, 32));
  EXPECT_FALSE(block_has_ants(64, 0, 32));
  EXPECT_TRUE(block_has_ants(96, 0, 32));
  EXPECT_FALSE(block_has_ants(128, 0, 32));
  EXPECT_FALSE(block_has_ants(0, 32, 8));
  EXPECT_FALSE(block_has_ants(0, 4, 28));  // row 3 lies above this band
}

}  // namespace
