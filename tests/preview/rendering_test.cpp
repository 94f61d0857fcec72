// Preview pixels: plain or filtered, and what unselected pixels show.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/preview/preview.h"

namespace {

class PreviewPixel : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleState& s = module_state;
    s = ModuleState{};
    host = std::make_unique<filter_api::FilterRecord>();
    s.filter_record = host.get();
    s.bytes_per_pixel = 3;
    s.work_width = s.bound_h = 64;
    s.work_height = s.bound_v = 8;
    s.work_row_bytes = 64 * 3;
    image.resize(64 * 8 * 3);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
    s.image_base = image.data();
    s.current_row = image.data() + 4 * s.work_row_bytes;
    s.pos_v = (4 << 16) | 0x8000;
    s.preview_step = 65536;
    // Bands across the columns from column 0: pixels past the first band take echoes.
    s.regions = 8;
    s.intensity = 100;
    s.angle = 0;
    s.spacing = 20;
    s.preview_extent = 64;
    s.origin_h = 0;
    s.origin_v = 4;
    derive_geometry(65536);
    s.preview_width = 64;
    s.preview_height = 8;
    s.mask_row_words = 4;
    s.mask_row_bytes = 8;
    saved.assign(64, 0);
    saved[4 * 8 + 5] = 0x80;  // only pixel (40, 4) is selected
  }
  void TearDown() override {
    module_state = ModuleState{};  // the stand-in mask block must not reach release_all
    module_state.module_instance = GetModuleHandleA(nullptr);
  }
  void select() {
    module_state.mask_block = reinterpret_cast<HGLOBAL>(intptr_t{0x1234});  // any live block
    module_state.mask_saved = saved.data();
  }
  std::vector<uint8_t> at(int16_t col) {
    module_state.pos_h = (col << 16) | 0x8000;
    std::vector<uint8_t> out(3);
    preview_pixel(col, 4, out.data());
    EXPECT_EQ(module_state.pos_h, ((col + 1) << 16) | 0x8000);
    return out;
  }
  std::vector<uint8_t> plain(int16_t col) {
    const uint8_t* p = image.data() + 4 * 64 * 3 + col * 3;
    return {p[0], p[1], p[2]};
  }
  std::vector<uint8_t> filtered(int16_t col) {
    module_state.pos_h = (col << 16) | 0x8000;
    std::vector<uint8_t> out(3);
    composite_pixel(out.data());
    return out;
  }

  std::unique_ptr<filter_api::FilterRecord> host;
  std::vector<uint8_t> image, saved;
};

TEST_F(PreviewPixel, PlainUntilTheResultIsShownThenFiltered) {
  ASSERT_NE(filtered(40), plain(40));  // column 40 lies in an echo band
  EXPECT_EQ(at(40), plain(40));
  module_state.show_result = 1;
  EXPECT_EQ(at(40), filtered(40));
  EXPECT_EQ(at(2), plain(2));  // the strip beside the centre line stays as it is
}

TEST_F(PreviewPixel, UnselectedPixelsStayPlainOrWhiteForAFloatingSelection) {
  select();
  module_state.show_result = 1;
  EXPECT_EQ(at(40), filtered(40));  // selected
  EXPECT_EQ(at(41), plain(41));     // not selected
  host->isFloating = 1;
  EXPECT_EQ(at(41), std::vector<uint8_t>(3, 255));
  module_state.show_result = 0;
  EXPECT_EQ(at(41), std::vector<uint8_t>(3, 255));
  EXPECT_EQ(at(40), plain(40));
}

}  // namespace
