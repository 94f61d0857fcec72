// derive_geometry: Q15 direction, blend weights, band lengths and shifts.
#include <gtest/gtest.h>

#include <cstdint>

#include "module/engine/engine.h"
#include "module/module_state.h"
#include "tests/engine/engine_test_support.h"

namespace {

using engine_test::EngineTest;
using engine_test::set_settings;

class EffectGeometryTest : public EngineTest {
 protected:
  // Default settings with the given angle, previewed at 400 px with 2.0 pixels per preview
  // pixel (an 800 x 600 image).
  void derive(literal::Settings settings, int32_t scale = 131072) {
    set_settings(settings);
    derive_geometry(scale);
  }
};

TEST_F(EffectGeometryTest, DirectionIsTruncatedQ15CosineAndSine) {
  struct Row {
    int16_t angle, cos, sin;
  };
  const Row rows[] = {{0, 32767, 0},      {1, 32762, 571},      {30, 28377, 16383},
                      {45, 23169, 23169}, {50, 21062, 25100},   {60, 16383, 28377},
                      {90, 0, 32767},     {135, -23169, 23169}, {180, -32767, 0},
                      {270, 0, -32767},   {359, 32762, -571},   {360, 32767, 0}};
  for (const Row& row : rows) {
    literal::Settings settings;
    settings.angle = row.angle;
    derive(settings);
    EXPECT_EQ(module_state.dir_cos, row.cos) << "angle " << row.angle;
    EXPECT_EQ(module_state.dir_sin, row.sin) << "angle " << row.angle;
  }
}

TEST_F(EffectGeometryTest, BlendWeightScalesIntensityTo256) {
  const int16_t table[][2] = {{0, 0}, {1, 2}, {33, 84}, {50, 128}, {99, 253}, {100, 256}};
  for (const auto& row : table) {
    literal::Settings settings;
    settings.intensity = row[0];
    derive(settings);
    EXPECT_EQ(module_state.blend_weight, row[1]) << "intensity " << row[0];
  }
}

TEST_F(EffectGeometryTest, DefaultSettingsOnAnEightHundredPixelPreview) {
  literal::Settings settings;
  settings.mode = -1;
  settings.fade = 1;
  derive(settings);
  EXPECT_EQ(module_state.band_step, 81920000);
  EXPECT_EQ(module_state.half_band, 40960000);
  EXPECT_EQ(module_state.band_extent, 655360000);
  EXPECT_EQ(module_state.shift_h, 6581875);
  EXPECT_EQ(module_state.shift_v, 7843750);
  EXPECT_EQ(module_state.blend_weight, 256);
  EXPECT_EQ(module_state.render_mode, -1);
  EXPECT_EQ(module_state.render_fade, 1);

  // The same picture at full resolution, reduced by 2 for the preview: bands twice as long.
  derive(settings, 262144);
  EXPECT_EQ(module_state.band_step, 163840000);
}

TEST_F(EffectGeometryTest, BandLengthStepsWithTruncatedQ) {
  literal::Settings settings;
  settings.preview_extent = 300;
  settings.spacing = 5;  // 1500 / 32 = 46.875, used as 46
  derive(settings, 65536);
  EXPECT_EQ(module_state.band_step, 46 * 65536);
}

TEST_F(EffectGeometryTest, ShiftDropsFourteenBitsBeforeMultiplyingAndRoundsDown) {
  literal::Settings settings;
  settings.preview_extent = 300;
  settings.spacing = 5;
  settings.angle = 0;
  derive(settings, 100000);
  ASSERT_EQ(module_state.band_step, 4600000);  // >> 14 gives 280 (280.76)
  EXPECT_EQ(module_state.shift_h, 573422);     // 32767 * 280 / 16 = 573422.5
  EXPECT_EQ(module_state.shift_v, 0);
  settings.angle = 180;
  derive(settings, 100000);
  EXPECT_EQ(module_state.shift_h, -573423);  // arithmetic shift: toward minus infinity
  settings.angle = 270;
  derive(settings, 100000);
  EXPECT_EQ(module_state.shift_h, 0);
  EXPECT_EQ(module_state.shift_v, -573423);
  EXPECT_EQ(module_state.half_band, 2300000);
}

TEST_F(EffectGeometryTest, SmallProductOfExtentAndSpacingGivesNoBands) {
  literal::Settings settings;
  settings.preview_extent = 6;
  settings.spacing = 5;  // 30 >> 5 = 0
  derive(settings, 0x7FFFFFFF);
  EXPECT_EQ(module_state.band_step, 0);
  EXPECT_EQ(module_state.half_band, 0);
  EXPECT_EQ(module_state.band_extent, 0);
  EXPECT_EQ(module_state.shift_h, 0);
  EXPECT_EQ(module_state.shift_v, 0);
}

TEST_F(EffectGeometryTest, BandsShorterThan16384UnitsDoNotShift) {
  literal::Settings settings;
  settings.preview_extent = 32;
  settings.spacing = 1;  // q = 1, so band_step is the scale
  settings.angle = 45;
  derive(settings, 16383);
  EXPECT_EQ(module_state.band_step, 16383);
  EXPECT_EQ(module_state.shift_h, 0);
  EXPECT_EQ(module_state.shift_v, 0);
  derive(settings, 16384);
  EXPECT_EQ(module_state.shift_h, 1448);  // 23169 / 16
}

TEST_F(EffectGeometryTest, FullTurnEqualsNoTurn) {
  literal::Settings settings;
  settings.angle = 0;
  derive(settings);
  const ModuleState at_zero = module_state;
  settings.angle = 360;
  derive(settings);
  EXPECT_EQ(module_state.dir_cos, at_zero.dir_cos);
  EXPECT_EQ(module_state.dir_sin, at_zero.dir_sin);
  EXPECT_EQ(module_state.shift_h, at_zero.shift_h);
  EXPECT_EQ(module_state.shift_v, at_zero.shift_v);
  EXPECT_EQ(module_state.band_step, at_zero.band_step);
}

TEST_F(EffectGeometryTest, LargePicturesKeepExactBandLengthsPast32Bits) {
  // 20 bands of spacing 100 over a 32767-pixel side: the band extent needs 41 bits.
  literal::Settings settings;
  settings.preview_extent = 512;
  settings.spacing = 100;
  settings.regions = 20;
  settings.angle = 0;
  const int32_t scale = 4194176;  // 32767 / 512 pixels per preview pixel, in 16.16
  derive(settings, scale);
  EXPECT_EQ(module_state.band_step, int64_t{1600} * scale);
  EXPECT_EQ(module_state.half_band, int64_t{800} * scale);
  EXPECT_EQ(module_state.band_extent, int64_t{32000} * scale);
  // One band is 12800 pixels wide, and a copy moves that far, to within the truncations.
  EXPECT_NEAR(double(module_state.band_step) / (16 * 32767), 12800.0, 1.0);
  EXPECT_NEAR(double(module_state.shift_h) / 65536, 12800.0, 1.0);
}

}  // namespace
