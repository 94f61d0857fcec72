// A slow, deliberately literal model of the effect with narrow 16/32-bit widths: 32-bit
// band geometry that wraps, offsets cut to 16 bits, 16.16 sample positions in 32 bits and the
// mirror as a repeat loop on 16-bit values. It shares nothing with the module, so the tests can
// hold the widened engine to it wherever the narrow widths do not overflow, and show where
// they do.
#pragma once

#include <cstdint>

namespace literal {

struct Settings {
  int16_t angle = 50;
  int16_t spacing = 50;
  int16_t regions = 8;
  int16_t intensity = 100;
  int16_t mode = 0;
  int16_t fade = 0;
  int16_t preview_extent = 400;
};

struct Geometry {
  int16_t dir_cos;
  int16_t dir_sin;
  int32_t band_step;
  int32_t half_band;
  int32_t band_extent;
  int32_t shift_h;
  int32_t shift_v;
  int16_t blend_weight;
  int16_t render_mode;
  int16_t render_fade;
};

// An interleaved 8-bit image held entirely in memory.
struct Image {
  int16_t width;
  int16_t height;
  int16_t bytes_per_pixel;
  int32_t stride;
  const uint8_t* bytes;
};

Geometry derive_geometry(const Settings& settings, int32_t scale);

// Folds index into 0 .. bound-1 one reflection at a time, all in 16 bits.
int16_t mirror(int16_t index, int16_t bound);

// Writes the pixel at the 16.16 position (pos_h, pos_v) of image into dst and returns -1
// (every row of the image is at hand, so no row is ever reported missing).
int16_t composite_pixel(const Geometry& geometry, const Image& image, int32_t pos_h, int32_t pos_v,
                        int16_t origin_h, int16_t origin_v, uint8_t* dst);

}  // namespace literal
