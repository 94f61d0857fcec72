// Effect geometry: turns the six effect settings and a 16.16 scale into the fixed-point
// direction, band lengths, copy displacement and blend weight that the compositor reads.
#include <cmath>
#include <cstdint>

#include "module/engine/engine.h"
#include "module/module_state.h"

namespace {

// The value of pi the effect has always used; part of its output, so not a library constant.
constexpr double kPi = 3.14159265359;

// cos or sin of the angle scaled to Q15 (32767 = 1.0), truncated toward zero.
int16_t to_q15(double unit) { return static_cast<int16_t>(static_cast<int32_t>(unit * 32767.0)); }

}  // namespace

void derive_geometry(int32_t scale) {
  ModuleState& s = module_state;

  const double radians = (s.angle * kPi) / 180.0;
  s.dir_cos = to_q15(std::cos(radians));
  s.dir_sin = to_q15(std::sin(radians));

  // Band lengths are in projection units (1/16 pixel times Q15). They are kept in 64 bits so
  // that they go on growing with the picture where 32 bits would wrap; the >> below are
  // arithmetic shifts, which round toward minus infinity.
  const int32_t q = (int32_t{s.preview_extent} * s.spacing) >> 5;
  s.band_step = int64_t{q} * scale;
  s.half_band = s.band_step >> 1;
  s.band_extent = int64_t{s.regions} * s.band_step;
  s.shift_h = (s.dir_cos * (s.band_step >> 14)) >> 4;
  s.shift_v = (s.dir_sin * (s.band_step >> 14)) >> 4;

  s.blend_weight = static_cast<int16_t>((int32_t{s.intensity} * 256) / 100);
  s.render_mode = s.mode;
  s.render_fade = s.fade;
}
