// Shared helpers of the engine tests: synthetic images whose pixels tell where they came from,
// and short ways to put settings, an image and a pixel position into the module state.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "module/engine/engine.h"
#include "module/module_state.h"
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

inline void set_settings(const literal::Settings& settings) {
  module_state.angle = settings.angle;
  module_state.spacing = settings.spacing;
  module_state.regions = settings.regions;
  module_state.intensity = settings.intensity;
  module_state.mode = settings.mode;
  module_state.fade = settings.fade;
  module_state.preview_extent = settings.preview_extent;
}

// Makes image the rendered image, fully in memory.
inline void attach(const Image& image) {
  module_state.bytes_per_pixel = image.bytes_per_pixel;
  module_state.bound_h = image.width;
  module_state.bound_v = image.height;
  module_state.work_width = image.width;
  module_state.work_height = image.height;
  module_state.work_row_bytes = image.stride;
  module_state.image_base = image.bytes.data();
}

// Points the compositor at pixel (x, y) with the given 16-bit fractions; current_row is that
// pixel's row of image.
inline void place(const Image& image, int32_t x, int32_t y, uint16_t fraction_h = 0,
                  uint16_t fraction_v = 0) {
  module_state.pos_h = static_cast<int32_t>(static_cast<uint32_t>(x) << 16) | fraction_h;
  module_state.pos_v = static_cast<int32_t>(static_cast<uint32_t>(y) << 16) | fraction_v;
  module_state.current_row = image.row(y);
}

// Runs the compositor into a 4-byte buffer prefilled with 0xA5 and returns the bytes it holds
// afterwards; the bytes past bytes_per_pixel must stay untouched.
struct Output {
  int16_t result;
  std::vector<uint8_t> bytes;
};
inline Output composite(int16_t bytes_per_pixel) {
  uint8_t buffer[4] = {0xA5, 0xA5, 0xA5, 0xA5};
  const int16_t result = composite_pixel(buffer);
  for (int32_t i = bytes_per_pixel; i < 4; ++i) EXPECT_EQ(buffer[i], 0xA5) << "byte " << i;
  return Output{result, std::vector<uint8_t>(buffer, buffer + bytes_per_pixel)};
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { module_state = ModuleState{}; }
};

}  // namespace engine_test
