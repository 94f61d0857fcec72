// The GEGL operation's computation, free of GEGL types: the effect laid out over an area as
// the zorbel command lays it out on Linux, and output rows rendered from whole source rows at
// 8 bits (the engine's own kernels) or at floating-point precision.
#pragma once

#include <cstdint>

#include "module/engine/engine.h"

namespace gegl_op {

// What the operation's properties say, each held to its range by GEGL.
struct Settings {
  int angle = 50;
  int regions = 8;
  int spacing = 50;
  int intensity = 100;
  int mode = kModeParallel;  // kModeParallel, kModeRightAngle or kModeMixed
  bool fade = false;
  double center_x = 0.5;  // fraction of the area's width
  double center_y = 0.5;  // fraction of the area's height
};

// What the zorbel command hands the module on Linux: the measured big view of the dialog and
// the host's memory allowance, which together fix the final pass's scale.
constexpr int16_t kCommandView = 268;
constexpr int64_t kCommandMaxSpace = int64_t{256} * 1024 * 1024;

// The largest side the effect handles: its coordinates are 16-bit.
constexpr int32_t kMaxSide = 32767;

struct Layout {
  EffectGeometry geometry;
  EffectFrame frame;  // bytes_per_pixel: the colour planes the command's filter sees
};

// The centre pixel along a side of `side` pixels: what the command makes of --center X% with
// X = 100 * fraction; a fraction of exactly one half is the command's default centre, side / 2.
int16_t center_pixel(double fraction, int32_t side);

// The reduction of the working image that the module's memory plan chooses for an area of
// width x height pixels of colour_planes bytes under max_space (1 when the whole area fits).
int16_t command_decimation(int32_t width, int32_t height, int16_t colour_planes, int64_t max_space);

// The final pass's geometry and frame for an area of width x height (1..kMaxSide each).
Layout command_layout(const Settings& settings, int32_t width, int32_t height,
                      int16_t colour_planes, int64_t max_space = kCommandMaxSpace);

// Plans output row `row` of the area, columns first .. first + count - 1.
void plan_area_row(const Layout& layout, int32_t row, int32_t first, int32_t count, RowPlan* plan);

// Renders a planned row of 8-bit pixels of `channels` interleaved bytes (colour planes, then
// alpha when has_alpha) into dst; rows[i] is source row plan.rows[i] of the area. Alpha comes
// from the output pixel's own source pixel, untouched, as the command passes it through.
void render_row_u8(const Layout& layout, const RowPlan& plan, const uint8_t* const* rows,
                   int32_t channels, bool has_alpha, uint8_t* dst);

// The same at floating-point precision: the same spans and source pixels, the blend and the
// mixed average computed in T; pixels the effect leaves alone are copied as they are.
template <typename T>
void render_row_samples(const Layout& layout, const RowPlan& plan, const T* const* rows,
                        int32_t channels, bool has_alpha, T* dst);

// The slow reference: output pixel (column, row) of the area at precision T, one pixel at a
// time through the engine's one-pixel walk; the tests hold render_row_samples against it.
template <typename T>
void reference_pixel_samples(const Layout& layout, const T* area, int32_t width, int32_t channels,
                             bool has_alpha, int32_t column, int32_t row, T* dst);

}  // namespace gegl_op
