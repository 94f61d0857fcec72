// The widened engine against the literal 16/32-bit model: bit-identical wherever the narrow
// widths hold, bands in proportion to the picture where they do not, and no read outside the
// image anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "module/engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/engine/literal_reference.h"

namespace {

using engine_test::attach;
using engine_test::coded_image;
using engine_test::composite_into;
using engine_test::derive;
using engine_test::engine;
using engine_test::EngineTest;
using engine_test::Image;
using engine_test::set_settings;

constexpr int64_t kInt32Min = INT32_MIN;
constexpr int64_t kInt32Max = INT32_MAX;

bool fits_int32(int64_t value) { return value >= kInt32Min && value <= kInt32Max; }

// Whether the literal model's band geometry stays exact: the engine's 64-bit values all fit
// the literal's 32 bits, products included.
bool geometry_fits_32_bits() {
  const EffectGeometry& s = engine.geometry;
  return fits_int32(s.band_step) && fits_int32(s.band_extent) &&
         fits_int32(int64_t{s.dir_cos} * (s.band_step >> 14)) &&
         fits_int32(int64_t{s.dir_sin} * (s.band_step >> 14));
}

// Whether the literal model computes the pixel at (pos_h, pos_v) without wrapping: offsets
// within 2048 pixels of the centre, a 32-bit projection, and sample positions whose integer
// part stays a 16-bit value (other than -32768, which the 16-bit mirror cannot negate) for
// every step the walk can take.
bool pixel_fits_16_bits(int32_t pos_h, int32_t pos_v) {
  const EffectGeometry& s = engine.geometry;
  const int64_t dx = (pos_h >> 12) - int64_t{engine.frame.origin_h} * 16;
  const int64_t dy = (pos_v >> 12) - int64_t{engine.frame.origin_v} * 16;
  if (dx < -32768 || dx > 32767 || dy < -32768 || dy > 32767) return false;
  if (!fits_int32(s.dir_sin * dy + s.dir_cos * dx - s.band_step)) return false;
  for (int64_t k : {int64_t{0}, int64_t{engine.settings.regions}}) {
    const int64_t sh = pos_h - k * s.shift_h, sv = pos_v - k * s.shift_v;
    if (!fits_int32(sh) || !fits_int32(sv) || (sh >> 16) == -32768 || (sv >> 16) == -32768) {
      return false;
    }
  }
  return true;
}

void expect_same_geometry(const literal::Geometry& g) {
  const EffectGeometry& s = engine.geometry;
  EXPECT_EQ(s.dir_cos, g.dir_cos);
  EXPECT_EQ(s.dir_sin, g.dir_sin);
  EXPECT_EQ(s.band_step, g.band_step);
  EXPECT_EQ(s.half_band, g.half_band);
  EXPECT_EQ(s.band_extent, g.band_extent);
  EXPECT_EQ(s.shift_h, g.shift_h);
  EXPECT_EQ(s.shift_v, g.shift_v);
  EXPECT_EQ(s.blend_weight, g.blend_weight);
}

using LiteralReferenceTest = EngineTest;

TEST_F(LiteralReferenceTest, RandomPixelsMatchTheLiteralModelBitForBit) {
  std::mt19937 random(20240611);
  auto uniform = [&](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(random);
  };
  const int16_t kBytesPerPixel[] = {1, 3, 4};
  int64_t compared = 0, walked = 0, differs_from_source = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    // Small images of every shape, 1 x N and N x 1 included, with padded rows.
    const int16_t width = static_cast<int16_t>(uniform(0, 7) == 0 ? 1 : uniform(1, 48));
    const int16_t height = static_cast<int16_t>(uniform(0, 7) == 0 ? 1 : uniform(1, 48));
    const int16_t bpp = kBytesPerPixel[uniform(0, 2)];
    const Image image = coded_image(width, height, bpp, uniform(0, 3));
    attach(image);

    literal::Settings settings;
    settings.angle = static_cast<int16_t>(uniform(0, 360));
    settings.spacing = static_cast<int16_t>(uniform(5, 100));
    settings.regions = static_cast<int16_t>(uniform(1, 20));
    settings.intensity = static_cast<int16_t>(uniform(0, 100));
    settings.mode = static_cast<int16_t>(uniform(-1, 1));
    settings.fade = static_cast<int16_t>(uniform(0, 1));
    settings.preview_extent = static_cast<int16_t>(uniform(1, 512));
    // Mostly bands from a twentieth of the image's longer side to twice that side, sometimes
    // any scale at all.
    const int32_t q = (settings.preview_extent * settings.spacing) >> 5;
    const double band_pixels =
        std::max(width, height) *
        std::pow(2.0, std::uniform_real_distribution<double>(-4.5, 1)(random));
    double scale = band_pixels * 16 * 32767 / std::max(q, 1);
    if (uniform(0, 4) == 0) {
      scale = std::pow(2.0, std::uniform_real_distribution<double>(0, 31)(random));
    }
    const int32_t scale32 = static_cast<int32_t>(std::min(scale, 2147483647.0));

    // A centre around the image; half of the time the direction points into the image, so
    // that most pixels lie in the bands.
    const int16_t origin_h = static_cast<int16_t>(uniform(-width / 2 - 4, width + 4));
    const int16_t origin_v = static_cast<int16_t>(uniform(-height / 2 - 4, height + 4));
    if (uniform(0, 1) == 0) {
      const double towards_image =
          std::atan2(height / 2.0 - origin_v, width / 2.0 - origin_h) * 180 / 3.14159265358979;
      settings.angle = static_cast<int16_t>(
          (static_cast<int32_t>(towards_image) + 360 + uniform(-40, 40)) % 360);
    }

    set_settings(settings);
    derive(scale32);
    engine.frame.origin_h = origin_h;
    engine.frame.origin_v = origin_v;
    if (!geometry_fits_32_bits()) continue;
    const literal::Geometry geometry = literal::derive_geometry(settings, scale32);
    expect_same_geometry(geometry);

    for (int n = 0; n < 100; ++n) {
      const int32_t x = uniform(0, width - 1), y = uniform(0, height - 1);
      const int32_t pos_h = x * 65536 + uniform(0, 65535), pos_v = y * 65536 + uniform(0, 65535);
      if (!pixel_fits_16_bits(pos_h, pos_v)) continue;

      engine.pos_h = pos_h;
      engine.pos_v = pos_v;
      engine.own_row = image.row(y);
      engine.sample_h = INT64_MIN;
      uint8_t engine_out[4] = {0, 0, 0, 0}, literal_out[4] = {0, 0, 0, 0};
      const int16_t engine_result = composite_into(engine_out);
      const int16_t literal_result =
          literal::composite_pixel(geometry, image.as_literal(), pos_h, pos_v,
                                   engine.frame.origin_h, engine.frame.origin_v, literal_out);
      ASSERT_EQ(engine_result, literal_result);
      ASSERT_TRUE(std::equal(engine_out, engine_out + bpp, literal_out))
          << "trial " << trial << " pixel " << n << " angle " << settings.angle << " mode "
          << settings.mode << " scale " << scale32 << " at " << pos_h << "," << pos_v;
      ++compared;
      walked += engine.sample_h != INT64_MIN;
      differs_from_source += !std::equal(engine_out, engine_out + bpp, image.pixel(x, y));
    }
  }
  // Enough of the comparisons exercised the bands for the test to mean something.
  EXPECT_GT(compared, 150000);
  EXPECT_GT(walked, compared / 10);
  EXPECT_GT(differs_from_source, compared / 20);
}

// A picture whose rows all share one buffer row (stride 0), pixel x holding x in its first two
// bytes: big pictures for the price of one row.
Image column_coded_strip(int16_t width, int16_t height) {
  Image image;
  image.width = width;
  image.height = height;
  image.bytes_per_pixel = 3;
  image.stride = 0;
  for (int32_t x = 0; x < width; ++x) {
    image.bytes.push_back(static_cast<uint8_t>(x));
    image.bytes.push_back(static_cast<uint8_t>(x >> 8));
    image.bytes.push_back(0);
  }
  return image;
}

// Columns along the row through the centre (at the left edge) where the displacement of the
// output, hence the band, changes: from the engine, or from the literal model.
std::vector<int32_t> band_boundaries(const Image& image, int32_t scale, bool literal_model) {
  literal::Settings settings;
  settings.angle = 30;
  settings.preview_extent = 400;  // the picture's long side is previewed at 400 pixels
  set_settings(settings);
  attach(image);
  derive(scale);
  const literal::Geometry geometry = literal::derive_geometry(settings, scale);
  const int16_t centre_row = static_cast<int16_t>(image.height / 2);
  engine.frame.origin_h = 0;
  engine.frame.origin_v = centre_row;
  engine.own_row = image.row(centre_row);

  std::vector<int32_t> boundaries;
  int32_t last_displacement = 0;
  for (int32_t x = 0; x < image.width; ++x) {
    const int32_t pos_h = x * 65536 + 0x8000, pos_v = centre_row * 65536 + 0x8000;
    uint8_t out[3];
    engine.pos_h = pos_h;
    engine.pos_v = pos_v;
    const int16_t result = literal_model
                               ? literal::composite_pixel(geometry, image.as_literal(), pos_h,
                                                          pos_v, 0, centre_row, out)
                               : composite_into(out);
    EXPECT_EQ(result, -1);
    const int32_t displacement = x - (out[0] | (out[1] << 8));
    if (displacement != last_displacement) boundaries.push_back(x);
    last_displacement = displacement;
  }
  return boundaries;
}

TEST_F(LiteralReferenceTest, BandsKeepTheirShareOfAPictureTenTimesLarger) {
  // 600 x 400 previewed at 400 px: 1.5 pixels per preview pixel. 6000 x 4000: 15.
  const Image small = column_coded_strip(600, 400);
  const Image large = column_coded_strip(6000, 4000);
  const std::vector<int32_t> small_bands = band_boundaries(small, 98304, false);
  const std::vector<int32_t> large_bands = band_boundaries(large, 983040, false);

  ASSERT_EQ(small_bands.size(), 4u);  // bands of 135 columns along a 30 degree direction
  EXPECT_EQ(band_boundaries(small, 98304, true), small_bands);
  ASSERT_EQ(large_bands.size(), small_bands.size());
  for (size_t i = 0; i < small_bands.size(); ++i) {
    // Each boundary is found to within one column of the small picture.
    EXPECT_NEAR(large_bands[i], 10 * small_bands[i], 10) << "boundary " << i;
  }
  // The literal widths wrap on the large picture (band_extent past 2^31, offsets past 2048
  // pixels) and put the bands elsewhere.
  EXPECT_NE(band_boundaries(large, 983040, true), large_bands);
}

TEST_F(LiteralReferenceTest, SamplePositionsPast32BitsFoldFromTheirTrueValue) {
  // Bands of 12,800 pixels (a 32767-pixel picture at spacing 100) and a centre far up and
  // left: pixel (0.5, 0.5) projects 3.5 bands out, and three copies of 726,428,143 back put the
  // sample at column -33253 (-2,179,251,661 in 16.16), past what 32 bits hold. It folds with
  // period 3999 to column 1261; wrapped to 32 bits it would read column 291.
  const Image image = column_coded_strip(2000, 2000);
  attach(image);
  literal::Settings settings;
  settings.angle = 30;
  settings.spacing = 100;
  settings.regions = 20;
  settings.preview_extent = 512;
  set_settings(settings);
  derive(4194176);
  ASSERT_EQ(engine.geometry.shift_h, 726428143);
  engine.frame.origin_h = -32768;
  engine.frame.origin_v = -32768;
  engine.pos_h = 0x8000;
  engine.pos_v = 0x8000;
  engine.own_row = image.row(0);
  uint8_t out[3];
  ASSERT_EQ(composite_into(out), -1);
  EXPECT_EQ(engine.sample_h, 32768 - 3 * int64_t{726428143});
  EXPECT_EQ(out[0] | (out[1] << 8), 1261);
}

// Every row of a picture cached in one of three slots; slot_of_row has exactly one byte per row
// and the slots exactly three rows' bytes.
struct ThreeSlots {
  std::vector<uint8_t> slot_of_row;
  std::vector<uint8_t> data;
  int32_t row_bytes;

  static const uint8_t* row(const void* context, int32_t y) {
    const ThreeSlots& slots = *static_cast<const ThreeSlots*>(context);
    return slots.data.data() + slots.slot_of_row[y] * slots.row_bytes;
  }
};

TEST_F(LiteralReferenceTest, ExtremeSettingsAndPositionsNeverReadOutsideTheImage) {
  struct Shape {
    int16_t width, height, bpp;
  };
  const Shape shapes[] = {{1, 1, 3}, {1, 300, 3},   {300, 1, 4},
                          {7, 5, 1}, {32767, 1, 1}, {1, 32767, 1}};
  struct Extremes {
    int16_t spacing, regions, preview_extent;
  };
  // The second is past the ranges of spacing and regions, and brought into them.
  const Extremes extremes[] = {{100, 20, 512}, {1000, 100, 512}, {5, 1, 1}, {100, 20, 32}};
  const int32_t scales[] = {65536, 4194176, 0x7FFFFFFF};
  const int16_t origins[][2] = {{-32768, -32768}, {32767, 32767}, {0, 0}, {-32768, 32767}, {3, 2}};
  std::mt19937 random(7);
  for (const Shape& shape : shapes) {
    const Image image = coded_image(shape.width, shape.height, shape.bpp);
    const int32_t row_bytes = shape.width * shape.bpp;
    ThreeSlots slots{std::vector<uint8_t>(shape.height),
                     std::vector<uint8_t>(static_cast<size_t>(row_bytes) * 3, 0x5A), row_bytes};
    for (int32_t y = 0; y < shape.height; ++y) slots.slot_of_row[y] = static_cast<uint8_t>(y % 3);
    const int32_t positions[][2] = {{0, 0},
                                    {shape.width - 1, shape.height - 1},
                                    {shape.width / 2, shape.height / 2},
                                    {shape.width - 1, 0},
                                    {0, shape.height - 1}};
    for (int16_t angle = 0; angle <= 360; ++angle) {
      literal::Settings settings;
      settings.angle = angle;
      settings.intensity = 100;
      settings.mode = static_cast<int16_t>(angle % 3 - 1);
      settings.fade = static_cast<int16_t>((angle / 3) % 2);
      const Extremes& extreme = extremes[(angle / 6) % 4];
      settings.spacing = extreme.spacing;
      settings.regions = extreme.regions;
      settings.preview_extent = extreme.preview_extent;
      set_settings(settings);
      attach(image);
      derive(scales[(angle / 24) % 3]);
      const bool cached = angle % 2 == 1;
      if (cached) {
        engine.lookup = &ThreeSlots::row;
        engine.lookup_context = &slots;
      }
      for (const auto& origin : origins) {
        engine.frame.origin_h = origin[0];
        engine.frame.origin_v = origin[1];
        for (const auto& p : positions) {
          engine.pos_h = p[0] * 65536 + static_cast<int32_t>(random() & 0xFFFF);
          engine.pos_v = p[1] * 65536 + static_cast<int32_t>(random() & 0xFFFF);
          engine.own_row = cached && (p[0] & 1) ? nullptr : image.row(p[1]);
          uint8_t out[4];
          ASSERT_EQ(composite_into(out), -1)
              << shape.width << "x" << shape.height << " angle " << angle;
        }
      }
    }
  }
}

}  // namespace
