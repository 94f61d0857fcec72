// Shared helpers of the engine tests: synthetic images whose pixels tell where they came from,
// and short ways to put settings, an image and a pixel position before the compositor.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "module/engine/engine.h"
#include "tests/engine/literal_reference.h"

namespace engine_test {

// An interleaved 8-bit image in a buffer of exactly height * stride bytes, so that the
// address sanitizer notices any read past it.
struct Image {
  int16_t width = 0;
  int16_t height = 0;
  int16_t bytes_per_pixel = 0;
  int32_t stride = 0;
  std::vector<uint8_t> bytes;

  const uint8_t* row(int32_t y) const { return bytes.data() + int64_t{y} * stride; }
  const uint8_t* pixel(int32_t x, int32_t y) const { return row(y) + x * bytes_per_pixel; }
  std::vector<uint8_t> pixel_bytes(int32_t x, int32_t y) const {
    return std::vector<uint8_t>(pixel(x, y), pixel(x, y) + bytes_per_pixel);
  }
  literal::Image as_literal() const {
    return literal::Image{width, height, bytes_per_pixel, stride, bytes.data()};
  }
};

// Pixel (x, y) holds x and y (below 4096) spread over its first three bytes, so every pixel of
// a 3- or 4-byte image is different; the fourth byte mixes both. Rows carry `padding` unused
// bytes (filled with 0xEE) past their pixels.
inline Image coded_image(int16_t width, int16_t height, int16_t bytes_per_pixel,
                         int32_t padding = 0) {
  Image image;
  image.width = width;
  image.height = height;
  image.bytes_per_pixel = bytes_per_pixel;
  image.stride = width * bytes_per_pixel + padding;
  image.bytes.assign(static_cast<size_t>(image.stride) * height, 0xEE);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t code[4] = {static_cast<uint8_t>(x), static_cast<uint8_t>(y),
                               static_cast<uint8_t>(((x >> 8) << 4) | (y >> 8)),
                               static_cast<uint8_t>(x * 7 + y * 13 + 5)};
      uint8_t* p = image.bytes.data() + int64_t{y} * image.stride + x * bytes_per_pixel;
      for (int32_t i = 0; i < bytes_per_pixel; ++i) p[i] = code[i];
    }
  }
  return image;
}

// Everything one call of the compositor takes, as the tests set it up: the settings and the
// geometry derived from them, the frame, where source rows come from, the pixel position, and
// the last sample position the compositor reports.
struct Context {
  literal::Settings settings;
  EffectGeometry geometry{};
  EffectFrame frame{};
  // The rendered image, fully in memory; rows are found through its stride.
  const uint8_t* image_base = nullptr;
  int32_t stride = 0;
  // Every row not taken from own_row: from the whole image unless a test gives its own lookup.
  const uint8_t* (*lookup)(const void* context, int32_t row) = nullptr;
  const void* lookup_context = nullptr;
  const uint8_t* own_row = nullptr;  // the pixel's own row as the caller has it, or null
  int32_t pos_h = 0;
  int32_t pos_v = 0;
  int64_t sample_h = 0;
  int64_t sample_v = 0;
};

// The context of the running test, reset by EngineTest.
inline Context engine;

inline const uint8_t* whole_image_row(const void* context, int32_t row) {
  const Context& c = *static_cast<const Context*>(context);
  return c.image_base + int64_t{row} * c.stride;
}

inline EffectSettings effect_settings(const literal::Settings& s) {
  return EffectSettings{s.regions, s.intensity, s.angle, s.spacing, s.mode, s.fade};
}

inline void set_settings(const literal::Settings& settings) { engine.settings = settings; }

// Derives the geometry of the settings last set at the given 16.16 scale.
inline void derive(int32_t scale) {
  engine.geometry =
      derive_geometry(effect_settings(engine.settings), engine.settings.preview_extent, scale);
}

// Makes image the rendered image, fully in memory.
inline void attach(const Image& image) {
  engine.frame.bytes_per_pixel = image.bytes_per_pixel;
  engine.frame.bound_h = image.width;
  engine.frame.bound_v = image.height;
  engine.image_base = image.bytes.data();
  engine.stride = image.stride;
  engine.lookup = &whole_image_row;
  engine.lookup_context = &engine;
}

// Points the compositor at pixel (x, y) with the given 16-bit fractions; the own row is that
// pixel's row of image.
inline void place(const Image& image, int32_t x, int32_t y, uint16_t fraction_h = 0,
                  uint16_t fraction_v = 0) {
  engine.pos_h = static_cast<int32_t>(static_cast<uint32_t>(x) << 16) | fraction_h;
  engine.pos_v = static_cast<int32_t>(static_cast<uint32_t>(y) << 16) | fraction_v;
  engine.own_row = image.row(y);
}

// Runs the compositor on the context into dst, keeping the sample position it reports.
inline int16_t composite_into(uint8_t* dst) {
  const RowSource source{engine.own_row, engine.lookup, engine.lookup_context};
  return composite_pixel(engine.geometry, engine.frame, source, engine.pos_h, engine.pos_v, dst,
                         &engine.sample_h, &engine.sample_v);
}

// Runs the compositor into a 4-byte buffer prefilled with 0xA5 and returns the bytes it holds
// afterwards; the bytes past bytes_per_pixel must stay untouched.
struct Output {
  int16_t result;
  std::vector<uint8_t> bytes;
};
inline Output composite(int16_t bytes_per_pixel) {
  uint8_t buffer[4] = {0xA5, 0xA5, 0xA5, 0xA5};
  const int16_t result = composite_into(buffer);
  for (int32_t i = bytes_per_pixel; i < 4; ++i) EXPECT_EQ(buffer[i], 0xA5) << "byte " << i;
  return Output{result, std::vector<uint8_t>(buffer, buffer + bytes_per_pixel)};
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { engine = Context{}; }
};

}  // namespace engine_test
