// The literal model: every quantity at its 16- or 32-bit width. Arithmetic that may wrap is done
// on unsigned 32-bit values and converted back, which wraps two's-complement style without
// undefined behaviour.
#include "tests/engine/literal_reference.h"

#include <cmath>

namespace literal {
namespace {

int32_t wrap_mul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t wrap_sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

}  // namespace

Geometry derive_geometry(const Settings& settings, int32_t scale) {
  Geometry g;
  const double radians = (settings.angle * 3.14159265359) / 180.0;
  g.dir_cos = static_cast<int16_t>(static_cast<int32_t>(std::cos(radians) * 32767.0));
  g.dir_sin = static_cast<int16_t>(static_cast<int32_t>(std::sin(radians) * 32767.0));
  const int32_t q = wrap_mul(settings.preview_extent, settings.spacing) >> 5;
  g.band_step = wrap_mul(q, scale);
  g.half_band = g.band_step >> 1;
  g.band_extent = wrap_mul(settings.regions, g.band_step);
  g.shift_h = wrap_mul(g.dir_cos, g.band_step >> 14) >> 4;
  g.shift_v = wrap_mul(g.dir_sin, g.band_step >> 14) >> 4;
  g.blend_weight = static_cast<int16_t>((settings.intensity * 256) / 100);
  g.render_mode = settings.mode;
  g.render_fade = settings.fade;
  return g;
}

int16_t mirror(int16_t index, int16_t bound) {
  for (;;) {
    if (index < 0) index = static_cast<int16_t>(-index);
    if (index < bound) return index;
    index = static_cast<int16_t>(2 * bound - index - 1);
  }
}

int16_t composite_pixel(const Geometry& g, const Image& image, int32_t pos_h, int32_t pos_v,
                        int16_t origin_h, int16_t origin_v, uint8_t* dst) {
  const int bpp = image.bytes_per_pixel;
  const uint8_t* src =
      image.bytes + (pos_v >> 16) * image.stride + (pos_h >> 16) * image.bytes_per_pixel;

  const int16_t dx = static_cast<int16_t>(static_cast<int16_t>(pos_h >> 12) - origin_h * 16);
  const int16_t dy = static_cast<int16_t>(static_cast<int16_t>(pos_v >> 12) - origin_v * 16);
  int32_t d = wrap_sub(wrap_add(wrap_mul(g.dir_sin, dy), wrap_mul(g.dir_cos, dx)), g.band_step);
  if (d < 0 || d >= g.band_extent) {
    for (int i = 0; i < bpp; ++i) dst[i] = src[i];
    return -1;
  }
  if (g.render_mode > 0) {
    const int32_t e = wrap_sub(wrap_mul(g.dir_cos, dy), wrap_mul(g.dir_sin, dx));
    const int32_t magnitude = e < 0 ? wrap_sub(0, e) : e;
    if (magnitude >= g.half_band) {
      for (int i = 0; i < bpp; ++i) dst[i] = src[i];
      return -1;
    }
  }

  int32_t sample_h = pos_h;
  int32_t sample_v = pos_v;
  uint16_t accumulator[4] = {0, 0, 0, 0};
  int16_t k = 0;
  while (d >= 0) {
    sample_h = wrap_sub(sample_h, g.shift_h);
    sample_v = wrap_sub(sample_v, g.shift_v);
    d = wrap_sub(d, g.band_step);
    if (g.render_mode < 0 || d < 0) {
      const int16_t ph = mirror(static_cast<int16_t>(sample_h >> 16), image.width);
      const int16_t pv = mirror(static_cast<int16_t>(sample_v >> 16), image.height);
      const uint8_t* p = image.bytes + pv * image.stride + ph * image.bytes_per_pixel;
      for (int i = 0; i < bpp; ++i) accumulator[i] = static_cast<uint16_t>(accumulator[i] + p[i]);
    }
    k = static_cast<int16_t>(k + 1);
  }
  if (g.render_mode < 0) {
    for (int i = 0; i < bpp; ++i) accumulator[i] = static_cast<uint16_t>(accumulator[i] / k);
  }
  int32_t w = g.blend_weight;
  if (g.render_fade != 0 && k > 1) w = (2 * w) / (k + 1);
  for (int i = 0; i < bpp; ++i) {
    dst[i] = static_cast<uint8_t>(((256 - w) * src[i] + w * accumulator[i]) >> 8);
  }
  return -1;
}

}  // namespace literal
