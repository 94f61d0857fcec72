// Effect geometry: turns the six effect settings and a 16.16 scale into the fixed-point
// direction, band lengths, copy displacement and blend weight that the compositor reads.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "module/engine/engine.h"

namespace {

// cos or sin of the angle scaled to Q15 (32767 = 1.0), truncated toward zero.
int16_t to_q15(double unit) { return static_cast<int16_t>(static_cast<int32_t>(unit * 32767.0)); }

int16_t clamp16(int16_t value, int16_t low, int16_t high) {
  return std::min(std::max(value, low), high);
}

}  // namespace

EffectGeometry derive_geometry(const EffectSettings& settings, int16_t preview_extent,
                               int32_t scale) {
  const int16_t regions = clamp16(settings.regions, 1, kMaxBands);
  const int16_t intensity = clamp16(settings.intensity, 0, 100);
  const int16_t angle = clamp16(settings.angle, 0, 360);
  const int16_t spacing = clamp16(settings.spacing, 5, 100);

  EffectGeometry g{};
  const double radians = (angle * kPi) / 180.0;
  g.dir_cos = to_q15(std::cos(radians));
  g.dir_sin = to_q15(std::sin(radians));

  // Band lengths are in projection units (1/16 pixel times Q15). They are kept in 64 bits so
  // that they go on growing with the picture where 32 bits would wrap; the >> below are
  // arithmetic shifts, which round toward minus infinity.
  const int32_t q = (int32_t{preview_extent} * spacing) >> 5;
  g.band_step = int64_t{q} * scale;
  g.half_band = g.band_step >> 1;
  g.band_extent = int64_t{regions} * g.band_step;
  g.shift_h = (g.dir_cos * (g.band_step >> 14)) >> 4;
  g.shift_v = (g.dir_sin * (g.band_step >> 14)) >> 4;

  g.blend_weight = static_cast<int16_t>((int32_t{intensity} * 256) / 100);
  g.render_mode = static_cast<int16_t>(settings.mode > 0 ? 1 : settings.mode < 0 ? -1 : 0);
  g.render_fade = static_cast<int16_t>(settings.fade != 0 ? 1 : 0);
  return g;
}
