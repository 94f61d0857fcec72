// Selection mask sampling: host mask rows into the 1-bit preview mask, the one-row requests
// that follow each row, and the per-pixel test of the sampled mask.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/outline/outline.h"
#include "module/preview/preview.h"

namespace fa = filter_api;

namespace {

using Bytes = std::vector<uint8_t>;

class MaskSamplingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_state = ModuleState{};
    module_state.host.module_instance = GetModuleHandleA(nullptr);
    record = std::make_unique<fa::FilterRecord>();
    module_state.host.filter_record = record.get();
  }
  void TearDown() override {
    if (module_state.plan.mask_block != nullptr) GlobalFree(module_state.plan.mask_block);
  }

  // A preview of the given size over a filter area at (top, left), with an all-zero mask block
  // and the first request (the filter area's first row) made. maskData is one row of 0 and a
  // byte past the row, which the tests that fill the mask set to 255 too.
  void layout(int16_t preview_w, int16_t preview_h, int32_t image_step, int16_t filter_w,
              int16_t filter_h, int16_t top = 0, int16_t left = 0) {
    ModuleState& s = module_state;
    s.preview.preview_width = preview_w;
    s.preview.preview_height = preview_h;
    s.preview.image_step = image_step;
    s.host.filter_width = filter_w;
    s.host.filter_height = filter_h;
    s.selection.mask_row_words = int16_t((preview_w + 15) >> 4);
    s.selection.mask_row_bytes = int16_t(2 * s.selection.mask_row_words);
    s.selection.mask_size = int32_t(s.selection.mask_row_bytes) * preview_h;
    s.plan.mask_block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT,
                                    2 * s.selection.mask_row_bytes + s.selection.mask_size);
    s.selection.mask_rows_built = 0;
    record->filterRect = fa::Rect{top, left, int16_t(top + filter_h), int16_t(left + filter_w)};
    record->maskRect = fa::Rect{top, left, int16_t(top + 1), int16_t(left + filter_w)};
    mask.assign(size_t(filter_w) + 1, 0);
    record->maskData = mask.data();
  }

  // Preview row n of the mask block (-1 and preview_height are the guard rows).
  static Bytes row(int32_t n) {
    const ModuleState& s = module_state;
    const auto* block = static_cast<const uint8_t*>(GlobalLock(s.plan.mask_block));
    const uint8_t* start = block + (n + 1) * s.selection.mask_row_bytes;
    Bytes out(start, start + s.selection.mask_row_bytes);
    GlobalUnlock(s.plan.mask_block);
    return out;
  }
  // `full` bytes of 0xFF, then `last`, then zeros up to the row's length.
  static Bytes filled(size_t full, uint8_t last) {
    Bytes out(size_t(module_state.selection.mask_row_bytes), 0);
    for (size_t i = 0; i < full; ++i) out[i] = 0xFF;
    out[full] = last;
    return out;
  }
  static fa::Rect request() { return module_state.host.filter_record->maskRect; }

  std::unique_ptr<fa::FilterRecord> record;
  Bytes mask;
};

void expect_rect(const fa::Rect& r, int16_t top, int16_t left, int16_t bottom, int16_t right) {
  EXPECT_EQ(r.top, top);
  EXPECT_EQ(r.left, left);
  EXPECT_EQ(r.bottom, bottom);
  EXPECT_EQ(r.right, right);
}

TEST_F(MaskSamplingTest, OnlyMaskByte255SelectsAPixel) {
  layout(250, 10, 4 * 65536, 1000, 40);  // column j samples mask byte 4j
  for (size_t i = 0; i < mask.size(); ++i) mask[i] = (i % 8 == 4) ? 254 : 255;
  sample_mask_row();
  Bytes expected(32, 0xAA);
  expected[31] = 0x80;  // columns 248 and 249; byte 1000 lies outside the area
  EXPECT_EQ(row(0), expected);
  EXPECT_EQ(row(-1), Bytes(32, 0));
  EXPECT_EQ(row(1), Bytes(32, 0));
}

TEST_F(MaskSamplingTest, ColumnZeroSamplesMaskByteZero) {
  layout(4, 4, 5 * 65536, 20, 20);  // columns 0, 5, 10 and 15
  mask[0] = 255;
  sample_mask_row();
  EXPECT_EQ(row(0), (Bytes{0x80, 0x00}));
  mask.assign(mask.size(), 255);
  mask[0] = 0;
  sample_mask_row();
  EXPECT_EQ(row(1), (Bytes{0x70, 0x00}));
}

TEST_F(MaskSamplingTest, SamplingStopsAtTheEndOfTheRowsWords) {
  layout(16, 2, 65536, 1000, 2);
  mask.assign(mask.size(), 255);
  sample_mask_row();
  EXPECT_EQ(row(0), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(row(1), (Bytes{0x00, 0x00}));
  EXPECT_EQ(row(2), (Bytes{0x00, 0x00}));
}

TEST_F(MaskSamplingTest, EachRowRequestsTheImageRowOfTheNextPreviewRow) {
  layout(268, 134, 244537, 1000, 500, 10, 20);  // a 1000 x 500 area
  mask.assign(mask.size(), 255);
  for (int16_t n = 0; n < 134; ++n) {
    SCOPED_TRACE(n);
    ASSERT_EQ(module_state.selection.mask_rows_built, n);
    sample_mask_row();
    EXPECT_EQ(module_state.selection.mask_rows_built, n + 1);
    EXPECT_EQ(row(n), filled(33, 0xF0));  // columns 0..267 read bytes 0..996
    if (n == 0) expect_rect(request(), 14, 20, 15, 1020);
    if (n == 1) expect_rect(request(), 17, 20, 18, 1020);
    if (n < 133) {
      int16_t top = int16_t(preview_to_image(int16_t(n + 1)) + 10);
      expect_rect(request(), top, 20, int16_t(top + 1), 1020);
    }
  }
  expect_rect(request(), 0, 0, 0, 0);
  EXPECT_EQ(row(134), Bytes(34, 0));
}

TEST_F(MaskSamplingTest, EnlargedPreviewEndsWhenTheNextRowLeavesTheArea) {
  layout(268, 268, 24453, 100, 100, 5, 7);  // 100 x 100, 2.68 preview pixels per pixel
  mask.assign(mask.size(), 255);
  int calls = 0;
  while (module_state.selection.mask_rows_built < module_state.preview.preview_height &&
         calls < 300) {
    if (calls == 266) expect_rect(request(), 104, 7, 105, 107);  // the area's last row
    sample_mask_row();
    ++calls;
  }
  EXPECT_EQ(calls, 267);
  EXPECT_EQ(module_state.selection.mask_rows_built, 268);
  expect_rect(request(), 0, 0, 0, 0);
  EXPECT_EQ(row(266), filled(33, 0xE0));  // column 267 would read byte 100
  EXPECT_EQ(row(267), Bytes(34, 0));
}

class MaskLookupTest : public MaskSamplingTest {
 protected:
  void SetUp() override {
    MaskSamplingTest::SetUp();
    module_state.preview.preview_width = 268;
    module_state.preview.preview_height = 134;
    module_state.selection.mask_row_bytes = 34;
    module_state.selection.mask_size = 34 * 134;
    saved.assign(34 * 134, 0);
    module_state.selection.mask_saved = saved.data();
  }
  void set(int x, int y) { saved[size_t(y * 34 + x / 8)] |= uint8_t(0x80 >> (x % 8)); }

  Bytes saved;
};

TEST_F(MaskLookupTest, ReadsTheBitOfItsPixelLeftmostInTheTopBit) {
  const int points[][2] = {{0, 0}, {7, 0}, {8, 0}, {100, 50}, {266, 133}};
  for (const auto& p : points) {
    saved.assign(saved.size(), 0);
    set(p[0], p[1]);
    for (int y = p[1] - 1; y <= p[1] + 1; ++y) {
      for (int x = p[0] - 1; x <= p[0] + 1; ++x) {
        if (x < 0 || y < 0 || y >= 134) continue;
        EXPECT_EQ(mask_test(int16_t(x), int16_t(y)) != 0, x == p[0] && y == p[1])
            << "bit " << p[0] << "," << p[1] << " tested at " << x << "," << y;
      }
    }
  }
}

TEST_F(MaskLookupTest, CoordinatesPastThePreviewReadTheLastColumnAndRow) {
  set(267, 5);
  set(10, 133);
  EXPECT_NE(mask_test(300, 5), 0);
  EXPECT_NE(mask_test(268, 5), 0);
  EXPECT_NE(mask_test(10, 134), 0);
  EXPECT_NE(mask_test(10, 400), 0);
  EXPECT_EQ(mask_test(10, 132), 0);
  // Bits past the preview's width never count.
  saved.assign(saved.size(), 0);
  saved[5 * 34 + 33] = 0x0F;
  EXPECT_EQ(mask_test(300, 5), 0);
  EXPECT_EQ(mask_test(271, 5), 0);
}

}  // namespace
