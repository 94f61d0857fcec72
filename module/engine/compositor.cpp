// The one-pixel compositor: computes one output pixel of the effect from the derived
// geometry, reading source rows through the caller's lookup. The row kernels are held to it;
// it also owns the index mirror and the shared byte copy.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "module/engine/engine.h"

int32_t mirror_index(int64_t index, int32_t bound) {
  assert(bound >= 1);
  if (index >= 0 && index < bound) return static_cast<int32_t>(index);  // inside: most samples
  if (bound <= 1) return 0;
  // Reflecting about pixel 0 and about the far side of the last pixel makes the fold periodic:
  // one period is 0 .. bound-1 going out and bound-2 .. 1 coming back.
  const int64_t period = 2 * int64_t{bound} - 1;
  int64_t folded = index % period;
  if (folded < 0) folded += period;
  if (folded >= bound) folded = period - folded;
  assert(folded >= 0 && folded < bound);
  return static_cast<int32_t>(folded);
}

void copy_bytes(void* destination, const void* source, uint16_t count) {
  // Most calls move one pixel of 1 to 4 bytes: a plain loop beats a library call there.
  if (count > 16) {
    std::memcpy(destination, source, count);
    return;
  }
  const auto* from = static_cast<const uint8_t*>(source);
  auto* to = static_cast<uint8_t*>(destination);
  for (uint16_t i = 0; i < count; ++i) to[i] = from[i];
}

int16_t composite_pixel(const EffectGeometry& g, const EffectFrame& frame, const RowSource& source,
                        int32_t pos_h, int32_t pos_v, uint8_t* dst, int64_t* sample_h_out,
                        int64_t* sample_v_out) {
  const int32_t bytes = frame.bytes_per_pixel;
  assert(bytes >= 1 && bytes <= 4);
  const int32_t own_column = pos_h >> 16;
  const int32_t own_row = pos_v >> 16;
  assert(own_column >= 0 && own_column < frame.bound_h && own_row >= 0 && own_row < frame.bound_v);
  auto row_address = [&](int32_t row) -> const uint8_t* {
    if (row == own_row && source.own_row != nullptr) return source.own_row;
    return source.lookup(source.context, row);
  };

  // The pixel's own row is looked up first, so that a missing own row is reported before
  // anything else, even for a pixel outside every band.
  const uint8_t* own = row_address(own_row);
  if (own == nullptr) return static_cast<int16_t>(own_row);
  const uint8_t* src = own + own_column * bytes;
  auto keep_source = [&] {
    copy_bytes(dst, src, static_cast<uint16_t>(bytes));
    return int16_t{-1};
  };

  // Offsets from the centre in 1/16 pixel, projected onto the direction (d, less one band)
  // and across it (e). Projection units: 1/16 pixel times Q15.
  const int32_t dx = (pos_h >> 12) - int32_t{frame.origin_h} * 16;
  const int32_t dy = (pos_v >> 12) - int32_t{frame.origin_v} * 16;
  int64_t d = int64_t{g.dir_sin} * dy + int64_t{g.dir_cos} * dx - g.band_step;

  // Behind the centre line, in the first band, or past the last band: unchanged. A band_step
  // that is not positive means there are no bands at all (and keeps the walk below finite).
  if (g.band_step <= 0 || d < 0 || d >= g.band_extent) return keep_source();

  if (g.render_mode > 0) {
    const int64_t e = int64_t{g.dir_cos} * dy - int64_t{g.dir_sin} * dx;
    if ((e < 0 ? -e : e) >= g.half_band) return keep_source();
  }

  // Walk back towards the centre line one band at a time. Parallel and right-angle modes sample
  // only where the walk ends; mixed parallel samples at every step.
  uint32_t accumulator[4] = {0, 0, 0, 0};
  int32_t steps = 0;
  int64_t sample_h = pos_h;
  int64_t sample_v = pos_v;
  const bool mixed = g.render_mode < 0;
  int16_t missing = -1;
  while (d >= 0) {
    sample_h -= g.shift_h;
    sample_v -= g.shift_v;
    d -= g.band_step;
    if (mixed || d < 0) {
      const int32_t column = mirror_index(sample_h >> 16, frame.bound_h);
      const int32_t row = mirror_index(sample_v >> 16, frame.bound_v);
      const uint8_t* sample = row_address(row);
      if (sample == nullptr) {
        missing = static_cast<int16_t>(row);
        break;
      }
      sample += column * bytes;
      for (int32_t i = 0; i < bytes; ++i) accumulator[i] += sample[i];
    }
    ++steps;
  }
  if (sample_h_out != nullptr) *sample_h_out = sample_h;
  if (sample_v_out != nullptr) *sample_v_out = sample_v;
  if (missing >= 0) return missing;

  if (mixed) {
    for (int32_t i = 0; i < bytes; ++i) accumulator[i] /= static_cast<uint32_t>(steps);
  }

  int32_t weight = g.blend_weight;
  if (g.render_fade != 0 && steps > 1) weight = (2 * weight) / (steps + 1);

  for (int32_t i = 0; i < bytes; ++i) {
    const int32_t blended =
        ((256 - weight) * int32_t{src[i]} + weight * static_cast<int32_t>(accumulator[i])) >> 8;
    dst[i] = static_cast<uint8_t>(blended);
  }
  return -1;
}
