// Pixel compositor: computes one output pixel of the effect from the derived geometry, with
// the two source-pixel lookups it uses, the index mirror and the shared byte copy.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"

namespace {

// Copies the pixel's own bytes unchanged and reports it written.
int16_t keep_source(const uint8_t* src, uint8_t* dst) {
  copy_bytes(src, dst, static_cast<uint16_t>(module_state.bytes_per_pixel));
  return -1;
}

}  // namespace

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

void copy_bytes(const void* source, void* destination, uint16_t count) {
  // Most calls move one pixel of 1 to 4 bytes: a plain loop beats a library call there.
  if (count > 16) {
    std::memcpy(destination, source, count);
    return;
  }
  const auto* from = static_cast<const uint8_t*>(source);
  auto* to = static_cast<uint8_t*>(destination);
  for (uint16_t i = 0; i < count; ++i) to[i] = from[i];
}

const uint8_t* current_pixel() {
  const ModuleState& s = module_state;
  const int32_t column = s.pos_h >> 16;
  const int32_t row = s.pos_v >> 16;
  assert(column >= 0 && column < s.bound_h && row >= 0 && row < s.bound_v);
  const int32_t offset = column * s.bytes_per_pixel;
  if (s.current_row != nullptr) return s.current_row + offset;
  return row_cache_lookup(offset, row);
}

const uint8_t* sample_pixel(int32_t column, int32_t row) {
  const ModuleState& s = module_state;
  assert(column >= 0 && column < s.bound_h && row >= 0 && row < s.bound_v);
  const int32_t offset = column * s.bytes_per_pixel;
  if (row == (s.pos_v >> 16) && s.current_row != nullptr) return s.current_row + offset;
  if (s.cache_active) return row_cache_lookup(offset, row);
  return s.image_base + static_cast<ptrdiff_t>(row) * s.work_row_bytes + offset;
}

int16_t composite_pixel(uint8_t* dst) {
  ModuleState& s = module_state;
  const int32_t bytes = s.bytes_per_pixel;
  assert(bytes >= 1 && bytes <= 4);

  // The pixel's own row is looked up first, so that a missing own row is reported before
  // anything else, even for a pixel outside every band.
  const uint8_t* src = current_pixel();
  if (src == nullptr) return static_cast<int16_t>(s.pos_v >> 16);

  // Offsets from the centre in 1/16 pixel, projected onto the direction (d, less one band)
  // and across it (e). Projection units: 1/16 pixel times Q15.
  const int32_t dx = (s.pos_h >> 12) - int32_t{s.origin_h} * 16;
  const int32_t dy = (s.pos_v >> 12) - int32_t{s.origin_v} * 16;
  int64_t d = int64_t{s.dir_sin} * dy + int64_t{s.dir_cos} * dx - s.band_step;

  // Behind the centre line, in the first band, or past the last band: unchanged. A band_step
  // that is not positive means there are no bands at all (and keeps the walk below finite).
  if (s.band_step <= 0 || d < 0 || d >= s.band_extent) return keep_source(src, dst);

  if (s.render_mode > 0) {
    const int64_t e = int64_t{s.dir_cos} * dy - int64_t{s.dir_sin} * dx;
    if ((e < 0 ? -e : e) >= s.half_band) return keep_source(src, dst);
  }

  // Walk back towards the centre line one band at a time. Parallel and right-angle modes sample
  // only where the walk ends; mixed parallel samples at every step.
  // The sample position is kept in locals and left in sample_h, sample_v at the end.
  uint32_t accumulator[4] = {0, 0, 0, 0};
  int32_t steps = 0;
  int64_t sample_h = s.pos_h;
  int64_t sample_v = s.pos_v;
  const bool mixed = s.render_mode < 0;
  while (d >= 0) {
    sample_h -= s.shift_h;
    sample_v -= s.shift_v;
    d -= s.band_step;
    if (mixed || d < 0) {
      const int32_t column = mirror_index(sample_h >> 16, s.bound_h);
      const int32_t row = mirror_index(sample_v >> 16, s.bound_v);
      const uint8_t* sample = sample_pixel(column, row);
      if (sample == nullptr) {
        s.sample_h = sample_h;
        s.sample_v = sample_v;
        return static_cast<int16_t>(row);
      }
      for (int32_t i = 0; i < bytes; ++i) accumulator[i] += sample[i];
    }
    ++steps;
  }
  s.sample_h = sample_h;
  s.sample_v = sample_v;

  if (s.render_mode < 0) {
    for (int32_t i = 0; i < bytes; ++i) accumulator[i] /= static_cast<uint32_t>(steps);
  }

  int32_t weight = s.blend_weight;
  if (s.render_fade != 0 && steps > 1) weight = (2 * weight) / (steps + 1);

  for (int32_t i = 0; i < bytes; ++i) {
    const int32_t blended =
        ((256 - weight) * int32_t{src[i]} + weight * static_cast<int32_t>(accumulator[i])) >> 8;
    dst[i] = static_cast<uint8_t>(blended);
  }
  return -1;
}
