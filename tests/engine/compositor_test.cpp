// composite_pixel and its helpers: the mirror, the byte copy, where source rows are read, band
// membership, sampling, averaging, weighting and the reporting of missing rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "module/engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/engine/literal_reference.h"

namespace {

using engine_test::attach;
using engine_test::coded_image;
using engine_test::composite;
using engine_test::derive;
using engine_test::engine;
using engine_test::EngineTest;
using engine_test::Image;
using engine_test::place;
using engine_test::set_settings;
using Bytes = std::vector<uint8_t>;
using MirrorIndexTest = EngineTest;
using CopyBytesTest = EngineTest;

// ---------------------------------------------------------------------------------------------
// Mirror and byte copy

// The fold written the obvious way, one reflection at a time, on wide integers.
int64_t fold_by_reflections(int64_t index, int64_t bound) {
  for (;;) {
    if (index < 0) index = -index;
    if (index < bound) return index;
    index = 2 * bound - index - 1;
  }
}

TEST_F(MirrorIndexTest, FoldsBoundFourAsTabulated) {
  const int32_t expected[] = {1, 0, 1, 2, 3, 3, 2, 1, 0, 1, 2, 3, 3, 2, 1, 0, 1, 2, 3, 3, 2};
  for (int32_t index = -8; index <= 12; ++index) {
    EXPECT_EQ(mirror_index(index, 4), expected[index + 8]) << "index " << index;
  }
}

TEST_F(MirrorIndexTest, BoundOneFoldsEverythingToZero) {
  for (int64_t index : {int64_t{-70000}, int64_t{-2}, int64_t{-1}, int64_t{0}, int64_t{1},
                        int64_t{2}, int64_t{32767}, int64_t{1} << 40}) {
    EXPECT_EQ(mirror_index(index, 1), 0) << "index " << index;
  }
}

TEST_F(MirrorIndexTest, MatchesRepeatedReflections) {
  // Small bounds over indices a 16-bit sample can hold, also against the literal 16-bit loop.
  for (int16_t bound = 1; bound <= 40; ++bound) {
    for (int32_t index = -3000; index <= 3000; ++index) {
      ASSERT_EQ(mirror_index(index, bound), fold_by_reflections(index, bound))
          << "bound " << bound << " index " << index;
      ASSERT_EQ(mirror_index(index, bound), literal::mirror(static_cast<int16_t>(index), bound))
          << "bound " << bound << " index " << index;
    }
  }
  // Far outside the image, where only the widened positions can reach.
  for (int32_t bound : {2, 3, 7, 100, 4097}) {
    for (int64_t base : {int64_t{-1000000}, int64_t{1000000}}) {
      for (int64_t index = base; index < base + 5; ++index) {
        EXPECT_EQ(mirror_index(index, bound), fold_by_reflections(index, bound))
            << "bound " << bound << " index " << index;
      }
    }
  }
  for (int64_t index : {(int64_t{1} << 35) + 3, -(int64_t{1} << 35) - 11}) {
    EXPECT_EQ(mirror_index(index, 32767), fold_by_reflections(index, 32767)) << index;
  }
}

TEST_F(CopyBytesTest, CopiesExactlyCountBytesUpToTheFullUnsignedRange) {
  std::vector<uint8_t> source(65536);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 31 + 7);
  for (uint16_t count : {uint16_t{0}, uint16_t{1}, uint16_t{3}, uint16_t{4}, uint16_t{65535}}) {
    std::vector<uint8_t> destination(65536, 0xCC);
    copy_bytes(destination.data(), source.data(), count);
    EXPECT_TRUE(std::equal(source.begin(), source.begin() + count, destination.begin()))
        << "count " << count;
    EXPECT_EQ(destination[count], 0xCC) << "count " << count;
  }
}

// ---------------------------------------------------------------------------------------------
// Rows at hand the way the final pass keeps them: copies of some rows of the image, each in a
// buffer of its own, every other row missing. The compositor's row lookup while it lives.

struct Cache {
  std::vector<std::vector<uint8_t>> copies;  // empty: missing
  int32_t row_bytes;

  explicit Cache(const Image& image)
      : copies(image.height), row_bytes(image.width * image.bytes_per_pixel) {
    engine.lookup = &Cache::row;
    engine.lookup_context = this;
  }
  void store(const Image& image, int32_t y) {
    copies[y].assign(image.row(y), image.row(y) + row_bytes);
  }
  static const uint8_t* row(const void* context, int32_t y) {
    const std::vector<uint8_t>& copy = static_cast<const Cache*>(context)->copies.at(y);
    return copy.empty() ? nullptr : copy.data();
  }
};

// ---------------------------------------------------------------------------------------------
// Compositing

class CompositorTest : public EngineTest {
 protected:
  // An 800 x 600 working image previewed at 400 px with the default settings, centred at
  // (400, 300): bands of 156.25 pixels, copies moved by (100.43, 119.69) pixels.
  void use_default_example(int16_t mode = 0, int16_t fade = 0, int16_t bytes_per_pixel = 3,
                           int16_t intensity = 100) {
    if (image.width != 800 || image.bytes_per_pixel != bytes_per_pixel) {
      image = coded_image(800, 600, bytes_per_pixel, 5);
    }
    attach(image);
    literal::Settings settings;
    settings.mode = mode;
    settings.fade = fade;
    settings.intensity = intensity;
    set_settings(settings);
    derive(131072);
    engine.frame.origin_h = 400;
    engine.frame.origin_v = 300;
  }

  // Bands exactly 10 pixels long (band_step 5,242,720) and copies moved 9.968 pixels
  // (shift 653,292) along the direction.
  void use_ten_pixel_bands(int16_t angle, int16_t mode = 0, int16_t regions = 8, int16_t fade = 0,
                           int32_t scale = 5242720) {
    literal::Settings settings;
    settings.angle = angle;
    settings.mode = mode;
    settings.regions = regions;
    settings.fade = fade;
    settings.preview_extent = 7;
    settings.spacing = 5;  // 35 >> 5 = 1: band_step is the scale
    set_settings(settings);
    derive(scale);
  }

  Bytes own(int32_t x, int32_t y) const { return image.pixel_bytes(x, y); }

  Image image;
};

TEST_F(CompositorTest, ParallelPixelInBandOneShowsTheCopyOneBandBack) {
  use_default_example();
  place(image, 600, 450);
  const auto out = composite(3);
  EXPECT_EQ(out.result, -1);
  EXPECT_EQ(engine.sample_h, 32739725);
  EXPECT_EQ(engine.sample_v, 21647450);
  EXPECT_EQ(out.bytes, own(499, 330));
}

TEST_F(CompositorTest, MixedFadedPixelInBandTwoBlendsTheAverageOfTwoCopies) {
  use_default_example(-1, 1);
  place(image, 760, 580);
  const auto out = composite(3);
  EXPECT_EQ(out.result, -1);
  const Bytes src = own(760, 580), a = own(659, 460), b = own(559, 340);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out.bytes[i], ((256 - 170) * src[i] + 170 * ((a[i] + b[i]) / 2)) >> 8) << i;
  }
}

TEST_F(CompositorTest, BandEdgesLieOnWholeMultiplesOfTheBandStep) {
  image = coded_image(120, 40, 3);
  attach(image);
  use_ten_pixel_bands(0);
  engine.frame.origin_v = 20;

  place(image, 10, 20);  // projection exactly one band: d = 0, one step back to column 0
  EXPECT_EQ(composite(3).bytes, own(0, 20));
  place(image, 9, 20, 0xF000);  // 1/16 pixel short of it
  EXPECT_EQ(composite(3).bytes, own(9, 20));

  place(image, 20, 20);  // exactly two bands: the walk reaches d = 0 and samples only after it
  EXPECT_EQ(composite(3).bytes, own(0, 20));

  place(image, 90, 20);  // projection 9 bands: d = band_extent
  EXPECT_EQ(composite(3).bytes, own(90, 20));
  place(image, 89, 20, 0xF000);  // band 8: 89.94 - 8 * 9.968 = 10.19
  EXPECT_EQ(composite(3).bytes, own(10, 20));
}

TEST_F(CompositorTest, RightAngleRegionsKeepAStripOneBandWide) {
  image = coded_image(40, 100, 3);
  attach(image);
  // At angle 0, e = 32767 * dy; dy = +-80 sixteenths (5 rows) makes |e| = 2,621,360.
  use_ten_pixel_bands(0, 1, 8, 0, 2 * 2621360);
  engine.frame.origin_v = 50;
  for (int32_t row : {45, 55}) {
    place(image, 15, row);  // band 1; |e| = half_band
    EXPECT_EQ(composite(3).bytes, own(15, row)) << "row " << row;
  }
  use_ten_pixel_bands(0, 1, 8, 0, 2 * 2621360 + 2);  // |e| = half_band - 1
  for (int32_t row : {45, 55}) {
    place(image, 15, row);
    EXPECT_EQ(composite(3).bytes, own(5, row)) << "row " << row;
  }
}

TEST_F(CompositorTest, ParallelBandNSamplesNBandWidthsBackAlongTheDirection) {
  image = coded_image(200, 200, 3);
  attach(image);
  engine.frame.origin_h = 100;
  engine.frame.origin_v = 100;
  struct Direction {
    int16_t angle, ux, uy;
  };
  for (const Direction dir :
       {Direction{0, 1, 0}, Direction{90, 0, 1}, Direction{180, -1, 0}, Direction{270, 0, -1}}) {
    use_ten_pixel_bands(dir.angle);
    for (int32_t n = 1; n <= 8; ++n) {
      // The middle of band n (10n + 5.5 pixels out); n copies of 9.968 pixels back lands on
      // the pixel 10n back, on the same row (angles 0, 180) or column (90, 270).
      const int32_t x = 100 + dir.ux * (10 * n + 5), y = 100 + dir.uy * (10 * n + 5);
      place(image, x, y, 0x8000, 0x8000);
      const auto out = composite(3);
      EXPECT_EQ(out.result, -1);
      EXPECT_EQ(out.bytes, own(x - dir.ux * 10 * n, y - dir.uy * 10 * n))
          << "angle " << dir.angle << " band " << n;
    }
  }
}

TEST_F(CompositorTest, SampleLeftOfColumnZeroIsMirrored) {
  image = coded_image(40, 20, 3);
  attach(image);
  use_ten_pixel_bands(0);
  ASSERT_EQ(engine.geometry.shift_h, 653292);
  engine.frame.origin_h = -1;
  engine.frame.origin_v = 10;
  place(image, 9, 10, 47084);  // 636,908 = shift_h - 0.25 px; band 1 seen from column -1
  const auto out = composite(3);
  EXPECT_EQ(engine.sample_h, -16384);
  EXPECT_EQ(out.bytes, own(1, 10));
}

TEST_F(CompositorTest, MixedParallelInBandOneEqualsParallelLines) {
  for (int16_t fade : {0, 1}) {
    use_default_example(0, fade, 3, 50);
    place(image, 600, 450);
    const auto parallel = composite(3);
    use_default_example(-1, fade, 3, 50);
    place(image, 600, 450);
    EXPECT_EQ(composite(3).bytes, parallel.bytes) << "fade " << fade;
    EXPECT_NE(parallel.bytes, own(600, 450));
  }
}

TEST_F(CompositorTest, FadeWeakensBandNToTwoOverNPlusOne) {
  // Only the pixel itself is dark, so the output shows the weight: (w * 255) >> 8.
  const uint8_t faded[] = {255, 169, 127, 101};  // weights 256, 170, 128, 102
  for (int16_t mode : {-1, 0}) {
    for (int32_t n = 1; n <= 4; ++n) {
      image = coded_image(100, 20, 1);
      std::fill(image.bytes.begin(), image.bytes.end(), 255);
      image.bytes[10 * image.stride + 10 * n + 5] = 0;
      attach(image);
      engine.frame.origin_v = 10;
      use_ten_pixel_bands(0, mode, 8, 1);
      place(image, 10 * n + 5, 10);
      EXPECT_EQ(composite(1).bytes, Bytes{faded[n - 1]}) << "mode " << mode << " band " << n;
      use_ten_pixel_bands(0, mode, 8, 0);
      EXPECT_EQ(composite(1).bytes, Bytes{255}) << "no fade, mode " << mode << " band " << n;
    }
  }
}

TEST_F(CompositorTest, WeightZeroKeepsTheSourceAndFullWeightShowsTheSample) {
  const int32_t pixels[][2] = {{600, 450}, {760, 580}, {799, 599}, {450, 100}, {790, 20}};
  for (int16_t mode : {-1, 0, 1}) {
    for (const auto& p : pixels) {
      use_default_example(mode, 1, 3, 0);
      place(image, p[0], p[1]);
      EXPECT_EQ(composite(3).bytes, own(p[0], p[1])) << "mode " << mode << " at " << p[0];
    }
  }
  int walked = 0;
  for (int16_t mode : {0, 1}) {
    for (const auto& p : pixels) {
      use_default_example(mode, 0, 3, 100);
      place(image, p[0], p[1]);
      engine.sample_h = engine.sample_v = int64_t{1} << 40;
      const auto out = composite(3);
      if (engine.sample_h == int64_t{1} << 40) continue;  // outside the bands
      const int32_t sx = mirror_index(engine.sample_h >> 16, 800);
      const int32_t sy = mirror_index(engine.sample_v >> 16, 600);
      EXPECT_EQ(out.bytes, own(sx, sy)) << "mode " << mode << " at " << p[0];
      ++walked;
    }
  }
  EXPECT_EQ(walked, 4);  // three pixels in bands, one of them inside the right-angle strip
}

TEST_F(CompositorTest, FourBytePixelsBlendEveryByte) {
  use_default_example(0, 0, 4, 50);
  place(image, 600, 450);
  const auto out = composite(4);
  const Bytes src = own(600, 450), sample = own(499, 330);
  ASSERT_NE(src[3], sample[3]);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out.bytes[i], (128 * src[i] + 128 * sample[i]) >> 8) << i;
}

TEST_F(CompositorTest, NoBandsWhenExtentTimesSpacingIsBelow32) {
  image = coded_image(40, 30, 3);
  attach(image);
  engine.frame.origin_h = 20;
  engine.frame.origin_v = 15;
  literal::Settings settings;
  settings.preview_extent = 6;
  settings.spacing = 5;
  settings.intensity = 50;
  for (int16_t mode : {-1, 0, 1}) {
    settings.mode = mode;
    set_settings(settings);
    derive(0x7FFFFFFF);
    for (int32_t y = 0; y < 30; ++y) {
      for (int32_t x = 0; x < 40; ++x) {
        place(image, x, y, 0x8000, 0x8000);
        ASSERT_EQ(composite(3).bytes, own(x, y)) << x << "," << y;
      }
    }
  }
}

TEST_F(CompositorTest, BandsTooShortToShiftReproduceTheSource) {
  image = coded_image(20, 20, 3);
  attach(image);
  engine.frame.origin_h = 10;
  engine.frame.origin_v = 10;
  literal::Settings settings;
  settings.preview_extent = 7;
  settings.spacing = 5;  // q = 1: band_step is the scale
  settings.regions = 20;
  settings.intensity = 50;
  settings.fade = 1;
  int walked = 0;
  for (int16_t mode : {-1, 0, 1}) {
    for (int16_t angle : {0, 45, 300}) {
      settings.mode = mode;
      settings.angle = angle;
      set_settings(settings);
      derive(16383);
      for (uint16_t fraction = 0; fraction < 0x4000; fraction += 0x400) {
        place(image, 10, 10, fraction, fraction);
        engine.sample_h = -1;
        ASSERT_EQ(composite(3).bytes, own(10, 10));
        walked += engine.sample_h != -1;
      }
    }
  }
  EXPECT_GT(walked, 0);  // some positions did lie in the (tiny) bands
}

// ---------------------------------------------------------------------------------------------
// Source rows from the caller, and missing rows (final pass of a reduced image)

TEST_F(CompositorTest, GivenOwnRowServesThePixelAndSamplesOnItsRow) {
  image = coded_image(120, 40, 3, 5);
  attach(image);
  use_ten_pixel_bands(0);  // samples stay on the pixel's own row
  engine.frame.origin_v = 20;
  Cache cache(image);
  for (int32_t y = 0; y < 40; ++y) {
    if (y != 20) cache.store(image, y);
  }
  // Row 20 as the caller has it, with bytes of its own; the lookup lacks it.
  Image given = coded_image(120, 40, 3, 5);
  for (uint8_t& byte : given.bytes) byte = static_cast<uint8_t>(~byte);
  for (int32_t x : {5, 15}) {  // before the first band: the pixel itself; band 1: column 5
    place(image, x, 20);
    engine.own_row = given.row(20);
    const auto out = composite(3);
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.bytes, given.pixel_bytes(5, 20)) << "column " << x;
  }
  engine.own_row = nullptr;  // without it the own row is looked up, and is missing
  EXPECT_EQ(composite(3).result, 20);
}

TEST_F(CompositorTest, MissingSampleRowIsReportedMirroredAndLeavesDestinationAlone) {
  image = coded_image(20, 40, 3);
  attach(image);
  use_ten_pixel_bands(90);
  engine.frame.origin_h = 5;
  engine.frame.origin_v = -20;
  Cache cache(image);
  cache.store(image, 14);
  cache.store(image, 16);
  // Row 5 is 2.5 bands from the centre: two steps up to row -14.94, that is -15, mirrored 15.
  place(image, 5, 5);
  const auto missing = composite(3);
  EXPECT_EQ(missing.result, 15);
  EXPECT_EQ(missing.bytes, Bytes(3, 0xA5));

  cache.store(image, 15);
  const auto found = composite(3);
  EXPECT_EQ(found.result, -1);
  EXPECT_EQ(found.bytes, own(5, 15));
}

TEST_F(CompositorTest, MixedParallelReportsTheNearestMissingSampleFirst) {
  image = coded_image(20, 100, 3);
  attach(image);
  use_ten_pixel_bands(90, -1);
  engine.frame.origin_h = 5;
  engine.frame.origin_v = 0;
  Cache cache(image);
  place(image, 5, 45, 0x8000, 0x8000);  // band 4: samples on rows 35, 25, 15, 5
  for (int32_t row : {35, 25, 15, 5}) {
    const auto out = composite(3);
    EXPECT_EQ(out.result, row);
    EXPECT_EQ(out.bytes, Bytes(3, 0xA5));
    cache.store(image, row);
  }
  const auto out = composite(3);
  EXPECT_EQ(out.result, -1);
  const Bytes a = own(5, 35), b = own(5, 25), c = own(5, 15), d = own(5, 5);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(out.bytes[i], (a[i] + b[i] + c[i] + d[i]) / 4) << i;
}

TEST_F(CompositorTest, MissingOwnRowIsReportedBeforeAnythingElse) {
  use_default_example();
  Cache cache(image);
  // One pixel behind the centre line, one in band 1 whose sample row is missing as well.
  for (const auto& p : {std::pair<int32_t, int32_t>{100, 100}, {600, 450}}) {
    place(image, p.first, p.second);
    engine.own_row = nullptr;
    const auto out = composite(3);
    EXPECT_EQ(out.result, p.second);
    EXPECT_EQ(out.bytes, Bytes(3, 0xA5));
  }
  cache.store(image, 100);
  place(image, 100, 100);
  engine.own_row = nullptr;
  const auto out = composite(3);
  EXPECT_EQ(out.result, -1);
  EXPECT_EQ(out.bytes, own(100, 100));
}

}  // namespace
