// derive_geometry: Q15 direction, blend weights, band lengths and shifts, and settings brought
// into their ranges.
#include <gtest/gtest.h>

#include <cstdint>

#include "module/engine/engine.h"
#include "tests/engine/engine_test_support.h"

namespace {

class EffectGeometryTest : public ::testing::Test {
 protected:
  // Default settings with the given angle, previewed at 400 px with 2.0 pixels per preview
  // pixel (an 800 x 600 image).
  static EffectGeometry derive(const literal::Settings& settings, int32_t scale = 131072) {
    return derive_geometry(engine_test::effect_settings(settings), settings.preview_extent, scale);
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
    const EffectGeometry g = derive(settings);
    EXPECT_EQ(g.dir_cos, row.cos) << "angle " << row.angle;
    EXPECT_EQ(g.dir_sin, row.sin) << "angle " << row.angle;
  }
}

TEST_F(EffectGeometryTest, BlendWeightScalesIntensityTo256) {
  const int16_t table[][2] = {{0, 0}, {1, 2}, {33, 84}, {50, 128}, {99, 253}, {100, 256}};
  for (const auto& row : table) {
    literal::Settings settings;
    settings.intensity = row[0];
    const EffectGeometry g = derive(settings);
    EXPECT_EQ(g.blend_weight, row[1]) << "intensity " << row[0];
  }
}

TEST_F(EffectGeometryTest, DefaultSettingsOnAnEightHundredPixelPreview) {
  literal::Settings settings;
  settings.mode = -1;
  settings.fade = 1;
  EffectGeometry g = derive(settings);
  EXPECT_EQ(g.band_step, 81920000);
  EXPECT_EQ(g.half_band, 40960000);
  EXPECT_EQ(g.band_extent, 655360000);
  EXPECT_EQ(g.shift_h, 6581875);
  EXPECT_EQ(g.shift_v, 7843750);
  EXPECT_EQ(g.blend_weight, 256);
  EXPECT_EQ(g.render_mode, -1);
  EXPECT_EQ(g.render_fade, 1);

  // The same picture at full resolution, reduced by 2 for the preview: bands twice as long.
  g = derive(settings, 262144);
  EXPECT_EQ(g.band_step, 163840000);
}

TEST_F(EffectGeometryTest, BandLengthStepsWithTruncatedQ) {
  literal::Settings settings;
  settings.preview_extent = 300;
  settings.spacing = 5;  // 1500 / 32 = 46.875, used as 46
  const EffectGeometry g = derive(settings, 65536);
  EXPECT_EQ(g.band_step, 46 * 65536);
}

TEST_F(EffectGeometryTest, ShiftDropsFourteenBitsBeforeMultiplyingAndRoundsDown) {
  literal::Settings settings;
  settings.preview_extent = 300;
  settings.spacing = 5;
  settings.angle = 0;
  EffectGeometry g = derive(settings, 100000);
  ASSERT_EQ(g.band_step, 4600000);  // >> 14 gives 280 (280.76)
  EXPECT_EQ(g.shift_h, 573422);     // 32767 * 280 / 16 = 573422.5
  EXPECT_EQ(g.shift_v, 0);
  settings.angle = 180;
  g = derive(settings, 100000);
  EXPECT_EQ(g.shift_h, -573423);  // arithmetic shift: toward minus infinity
  settings.angle = 270;
  g = derive(settings, 100000);
  EXPECT_EQ(g.shift_h, 0);
  EXPECT_EQ(g.shift_v, -573423);
  EXPECT_EQ(g.half_band, 2300000);
}

TEST_F(EffectGeometryTest, SmallProductOfExtentAndSpacingGivesNoBands) {
  literal::Settings settings;
  settings.preview_extent = 6;
  settings.spacing = 5;  // 30 >> 5 = 0
  const EffectGeometry g = derive(settings, 0x7FFFFFFF);
  EXPECT_EQ(g.band_step, 0);
  EXPECT_EQ(g.half_band, 0);
  EXPECT_EQ(g.band_extent, 0);
  EXPECT_EQ(g.shift_h, 0);
  EXPECT_EQ(g.shift_v, 0);
}

TEST_F(EffectGeometryTest, BandsShorterThan16384UnitsDoNotShift) {
  literal::Settings settings;
  settings.preview_extent = 7;
  settings.spacing = 5;  // 35 >> 5 = 1: q = 1, so band_step is the scale
  settings.angle = 45;
  EffectGeometry g = derive(settings, 16383);
  EXPECT_EQ(g.band_step, 16383);
  EXPECT_EQ(g.shift_h, 0);
  EXPECT_EQ(g.shift_v, 0);
  g = derive(settings, 16384);
  EXPECT_EQ(g.shift_h, 1448);  // 23169 / 16
}

TEST_F(EffectGeometryTest, FullTurnEqualsNoTurn) {
  literal::Settings settings;
  settings.angle = 0;
  const EffectGeometry at_zero = derive(settings);
  settings.angle = 360;
  const EffectGeometry g = derive(settings);
  EXPECT_EQ(g.dir_cos, at_zero.dir_cos);
  EXPECT_EQ(g.dir_sin, at_zero.dir_sin);
  EXPECT_EQ(g.shift_h, at_zero.shift_h);
  EXPECT_EQ(g.shift_v, at_zero.shift_v);
  EXPECT_EQ(g.band_step, at_zero.band_step);
}

TEST_F(EffectGeometryTest, LargePicturesKeepExactBandLengthsPast32Bits) {
  // 20 bands of spacing 100 over a 32767-pixel side: the band extent needs 41 bits.
  literal::Settings settings;
  settings.preview_extent = 512;
  settings.spacing = 100;
  settings.regions = 20;
  settings.angle = 0;
  const int32_t scale = 4194176;  // 32767 / 512 pixels per preview pixel, in 16.16
  const EffectGeometry g = derive(settings, scale);
  EXPECT_EQ(g.band_step, int64_t{1600} * scale);
  EXPECT_EQ(g.half_band, int64_t{800} * scale);
  EXPECT_EQ(g.band_extent, int64_t{32000} * scale);
  // One band is 12800 pixels wide, and a copy moves that far, to within the truncations.
  EXPECT_NEAR(double(g.band_step) / (16 * 32767), 12800.0, 1.0);
  EXPECT_NEAR(double(g.shift_h) / 65536, 12800.0, 1.0);
}

TEST_F(EffectGeometryTest, SettingsOutsideTheirRangesAreBroughtIntoThem) {
  using S = literal::Settings;
  struct Case {
    int16_t S::*field;
    int16_t outside, inside;
  };
  const Case cases[] = {{&S::regions, 0, 1},       {&S::regions, 25, 20},   {&S::intensity, -5, 0},
                        {&S::intensity, 150, 100}, {&S::angle, -10, 0},     {&S::angle, 400, 360},
                        {&S::spacing, 1, 5},       {&S::spacing, 250, 100}, {&S::mode, 5, 1},
                        {&S::mode, -3, -1},        {&S::fade, 2, 1}};
  for (const Case& c : cases) {
    S outside, inside;
    outside.*c.field = c.outside;
    inside.*c.field = c.inside;
    const EffectGeometry a = derive(outside), b = derive(inside);
    EXPECT_EQ(a.dir_cos, b.dir_cos) << c.outside;
    EXPECT_EQ(a.dir_sin, b.dir_sin) << c.outside;
    EXPECT_EQ(a.band_step, b.band_step) << c.outside;
    EXPECT_EQ(a.band_extent, b.band_extent) << c.outside;
    EXPECT_EQ(a.shift_h, b.shift_h) << c.outside;
    EXPECT_EQ(a.shift_v, b.shift_v) << c.outside;
    EXPECT_EQ(a.blend_weight, b.blend_weight) << c.outside;
    EXPECT_EQ(a.render_mode, b.render_mode) << c.outside;
    EXPECT_EQ(a.render_fade, b.render_fade) << c.outside;
  }
}

}  // namespace
