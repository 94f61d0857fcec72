// Preview pixels: plain or filtered, and what unselected pixels show.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"

namespace {

class PreviewPixel : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleState& s = module_state;
    s = ModuleState{};
    host = std::make_unique<filter_api::FilterRecord>();
    s.host.filter_record = host.get();
    s.host.bytes_per_pixel = 3;
    s.plan.work_width = 64;
    s.plan.work_height = 8;
    s.plan.work_row_bytes = 64 * 3;
    image.resize(64 * 8 * 3);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
    s.plan.image_base = image.data();
    s.preview.preview_step = 65536;
    // Bands across the columns from column 0: pixels past the first band take echoes.
    s.preview.preview_extent = 64;
    set_preview_effect(EffectSettings{8, 100, 0, 20, 0, 0}, 0, 4);
    s.preview.preview_width = 64;
    s.preview.preview_height = 8;
    s.selection.mask_row_words = 4;
    s.selection.mask_row_bytes = 8;
    saved.assign(64, 0);
    saved[4 * 8 + 5] = 0x80;  // only pixel (40, 4) is selected
  }
  void TearDown() override {
    module_state = ModuleState{};  // the stand-in mask block must not reach release_all
    module_state.host.module_instance = GetModuleHandleA(nullptr);
  }
  void select() {
    module_state.plan.mask_block = reinterpret_cast<HGLOBAL>(intptr_t{0x1234});  // any live block
    module_state.selection.mask_saved = saved.data();
  }
  std::vector<uint8_t> at(int16_t col) {
    std::vector<uint8_t> out(3);
    preview_pixel(col, 4, (col << 16) | 0x8000, kRow, out.data());
    return out;
  }
  std::vector<uint8_t> plain(int16_t col) {
    const uint8_t* p = image.data() + 4 * 64 * 3 + col * 3;
    return {p[0], p[1], p[2]};
  }
  std::vector<uint8_t> filtered(int16_t col) {
    const ModuleState& s = module_state;
    std::vector<uint8_t> out(3);
    const RowSource rows{image.data() + 4 * s.plan.work_row_bytes, nullptr, nullptr};
    composite_pixel(s.preview.preview_effect, s.preview.preview_frame, rows, (col << 16) | 0x8000,
                    kRow, out.data());
    return out;
  }
  static constexpr int32_t kRow = (4 << 16) | 0x8000;

  std::unique_ptr<filter_api::FilterRecord> host;
  std::vector<uint8_t> image, saved;
};

TEST_F(PreviewPixel, PlainUntilTheResultIsShownThenFiltered) {
  ASSERT_NE(filtered(40), plain(40));  // column 40 lies in an echo band
  EXPECT_EQ(at(40), plain(40));
  module_state.dialog.show_result = 1;
  EXPECT_EQ(at(40), filtered(40));
  EXPECT_EQ(at(2), plain(2));  // the strip beside the centre line stays as it is
}

TEST_F(PreviewPixel, UnselectedPixelsStayPlainOrWhiteForAFloatingSelection) {
  select();
  module_state.dialog.show_result = 1;
  EXPECT_EQ(at(40), filtered(40));  // selected
  EXPECT_EQ(at(41), plain(41));     // not selected
  host->isFloating = 1;
  EXPECT_EQ(at(41), std::vector<uint8_t>(3, 255));
  module_state.dialog.show_result = 0;
  EXPECT_EQ(at(41), std::vector<uint8_t>(3, 255));
  EXPECT_EQ(at(40), plain(40));
}

// Whole preview rows against the pixel-by-pixel reference: random working images, preview steps
// above and below one working pixel, every mode, centres inside and far outside, with and
// without a (floating) selection.
TEST(PreviewRows, RowsMatchThePixelByPixelReference) {
  std::mt19937 random(20261208);
  auto uniform = [&](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(random);
  };
  filter_api::FilterRecord host{};
  int32_t compared = 0;
  for (int trial = 0; trial < 400; ++trial) {
    ModuleState& s = module_state;
    s = ModuleState{};
    s.host.filter_record = &host;
    host.isFloating = uniform(0, 3) == 0;
    const int16_t bytes = int16_t(std::vector<int16_t>{1, 3, 4}[size_t(uniform(0, 2))]);
    s.host.bytes_per_pixel = bytes;
    s.plan.work_width = int16_t(uniform(1, 150));
    s.plan.work_height = int16_t(uniform(1, 60));
    s.plan.work_row_bytes = s.plan.work_width * bytes + uniform(0, 3);
    std::vector<uint8_t> image(size_t(s.plan.work_row_bytes) * s.plan.work_height);
    for (uint8_t& b : image) b = uint8_t(uniform(0, 255));
    s.plan.image_base = image.data();
    s.preview.preview_width = int16_t(uniform(1, 200));
    s.preview.preview_height = int16_t(uniform(1, 40));
    s.preview.preview_step = uniform(0, 1) ? uniform(9000, 65536) : uniform(65536, 6 * 65536);
    s.preview.preview_extent = std::max(s.preview.preview_width, s.preview.preview_height);
    const bool distant = uniform(0, 4) == 0;
    const auto origin_h =
        int16_t(distant ? uniform(-3000, 3000) : uniform(0, s.plan.work_width - 1));
    const auto origin_v =
        int16_t(distant ? uniform(-3000, 3000) : uniform(0, s.plan.work_height - 1));
    const EffectSettings settings{int16_t(uniform(1, 20)),  int16_t(uniform(0, 100)),
                                  int16_t(uniform(0, 360)), int16_t(uniform(5, 100)),
                                  int16_t(uniform(-1, 1)),  int16_t(uniform(0, 1))};
    set_preview_effect(settings, origin_h, origin_v);
    s.dialog.show_result = int16_t(uniform(0, 3) != 0);
    std::vector<uint8_t> saved;
    if (uniform(0, 2) == 0) {
      s.selection.mask_row_words = int16_t((s.preview.preview_width + 15) >> 4);
      s.selection.mask_row_bytes = int16_t(2 * s.selection.mask_row_words);
      saved.resize(size_t(s.selection.mask_row_bytes) * s.preview.preview_height);
      for (uint8_t& b : saved) b = uint8_t(uniform(0, 255));
      s.plan.mask_block = reinterpret_cast<HGLOBAL>(intptr_t{0x1234});  // any live block
      s.selection.mask_saved = saved.data();
    }
    const auto row = int16_t(uniform(0, s.preview.preview_height - 1));
    const int32_t pos_v = row * s.preview.preview_step + 32768;
    if ((pos_v >> 16) >= s.plan.work_height) continue;

    std::vector<uint8_t> expected(size_t(s.preview.preview_width) * bytes),
        actual(expected.size(), 0x5A);
    int32_t last_column = -1;
    for (int32_t col = 0; col < s.preview.preview_width; ++col) {
      const int32_t pos_h = col * s.preview.preview_step + 32768;
      uint8_t* to = expected.data() + col * bytes;
      if ((pos_h >> 16) >= s.plan.work_width || (pos_h >> 16) == last_column)
        std::memcpy(to, to - bytes, size_t(bytes));  // repeats the pixel before it
      else
        preview_pixel(int16_t(col), row, pos_h, pos_v, to);
      last_column = pos_h >> 16;
    }
    render_preview_row(row, pos_v, actual.data());
    ASSERT_EQ(actual, expected) << "trial " << trial;
    ++compared;
  }
  EXPECT_GT(compared, 250);
  module_state = ModuleState{};
  module_state.host.module_instance = GetModuleHandleA(nullptr);
}

}  // namespace
