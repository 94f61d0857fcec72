// The effect engine: turns the settings into fixed-point geometry and computes output pixels
// for the previews and the final pass alike. Pure functions over explicit inputs: the caller
// hands in the derived geometry, the frame of the rendered image and the source rows; the
// engine keeps no state and knows nothing of hosts, windows or caches.
#pragma once

#include <cstdint>

// The six effect settings, each inside its range (regions 1..20, intensity 0..100, angle
// 0..360, spacing 5..100, mode -1/0/1, fade 0/1).
struct EffectSettings {
  int16_t regions;
  int16_t intensity;
  int16_t angle;
  int16_t spacing;
  int16_t mode;  // 0 parallel lines, 1 right-angle regions, -1 mixed parallel
  int16_t fade;
};

// The fixed-point geometry derived from the settings for one scale. Projection units are
// 1/16 pixel times Q15 (one pixel along the direction is 16 * 32767).
struct EffectGeometry {
  int16_t dir_cos;       // Q15 cosine of the angle, 32767 = 1.0
  int16_t dir_sin;       // Q15 sine of the angle
  int64_t band_step;     // one band along the direction, projection units
  int64_t half_band;     // band_step / 2: lateral half-width of right-angle regions
  int64_t band_extent;   // regions * band_step
  int64_t shift_h;       // column displacement of one copy, 16.16 pixels
  int64_t shift_v;       // row displacement of one copy, 16.16 pixels
  int16_t blend_weight;  // 0..256, weight of the displaced copy
  int16_t render_mode;   // copy of mode
  int16_t render_fade;   // copy of fade
};

// The rendered image as the engine sees it.
struct EffectFrame {
  int16_t origin_h;         // effect centre column, whole pixels of the rendered image
  int16_t origin_v;         // effect centre row
  int16_t bound_h;          // mirror bound: the rendered image's width, >= 1
  int16_t bound_v;          // mirror bound: the rendered image's height, >= 1
  int16_t bytes_per_pixel;  // 1..4 interleaved bytes, all processed alike
};

// The most bands an output pixel can walk back, and so the most source rows an output row
// needs: its own and one per band.
// The modes as the settings store them. A stored record may hold any value: the effect goes
// by its sign (positive right-angle, negative mixed).
constexpr int16_t kModeParallel = 0, kModeRightAngle = 1, kModeMixed = -1;

// The value of pi the effect and its guide lines have always used; part of the output, so not
// a library constant.
constexpr double kPi = 3.14159265359;

constexpr int32_t kMaxBands = 20;
constexpr int32_t kMaxSourceRows = kMaxBands + 1;

// scale: 16.16 pixels of the rendered image per preview pixel; preview_extent: the larger
// preview side. Settings outside their ranges are brought into them first.
EffectGeometry derive_geometry(const EffectSettings& settings, int16_t preview_extent,
                               int32_t scale);

// --- the one-pixel reference ---

// Where the one-pixel function finds source rows: the pixel's own row when the caller has it,
// and any row through lookup, which answers null for a row that is not at hand.
struct RowSource {
  const uint8_t* own_row;
  const uint8_t* (*lookup)(const void* context, int32_t row);
  const void* context;
};

// Computes the pixel at the 16.16 position (pos_h, pos_v) into dst. Returns -1 when the pixel
// was written, else the 0-based row of the rendered image that is missing (dst untouched).
// The last sample position taken is left in *sample_h, *sample_v when they are given.
int16_t composite_pixel(const EffectGeometry& geometry, const EffectFrame& frame,
                        const RowSource& source, int32_t pos_h, int32_t pos_v, uint8_t* dst,
                        int64_t* sample_h = nullptr, int64_t* sample_v = nullptr);

// --- row kernels ---

// A run of output columns in which every pixel walks back the same number of bands (0: the
// pixel is left as it is) with the same blend weight.
struct RowSpan {
  int32_t first;   // first output column of the run
  int32_t count;   // columns in the run
  int16_t steps;   // bands walked back, 0..kMaxBands
  int16_t weight;  // blend weight after the fade, 0..256
};

// One output row split into spans, with the source rows it reads. Output column c is the
// pixel at 16.16 position (start_h + c * step_h, pos_v).
struct RowPlan {
  int32_t pos_v;
  int64_t start_h;
  int32_t step_h;
  int32_t width;
  int32_t span_count;
  RowSpan spans[2 * kMaxBands + 8];
  // Distinct source rows, the pixel's own row first, then in the order in which the one-pixel
  // walk along the row first reads them.
  int32_t row_count;
  int32_t rows[kMaxSourceRows];
  // For j = 1..kMaxBands: the index in rows of the row sampled j bands back (-1 when unused).
  int8_t band_row[kMaxBands + 1];
};

// Plans the output row at pos_v: `width` columns from start_h, step_h (> 0) apart.
void plan_row(const EffectGeometry& geometry, const EffectFrame& frame, int32_t pos_v,
              int64_t start_h, int32_t step_h, int32_t width, RowPlan* plan);

// Renders a planned row into dst (plan.width * bytes_per_pixel bytes). rows[i] is the first
// byte of source row plan.rows[i]; every one must be given.
void render_row(const EffectGeometry& geometry, const EffectFrame& frame, const RowPlan& plan,
                const uint8_t* const* rows, uint8_t* dst);

// The plain pixels of a source row at 16.16 columns start_h + c * step_h (c = 0..count-1, all
// inside the row) into dst: the preview's unfiltered picture.
void sample_row(const uint8_t* row, int64_t start_h, int32_t step_h, int32_t count,
                int16_t bytes_per_pixel, uint8_t* dst);

// --- shared helpers ---

// Folds any index into 0 .. bound-1, reflecting about pixel 0 without repeating it and
// about the outer side of the last pixel repeating it (period 2 * bound - 1).
int32_t mirror_index(int64_t index, int32_t bound);

// Exact unsigned division of a sum of up to kMaxBands bytes by k (1..kMaxBands), as a
// multiplication by a reciprocal and a shift.
uint32_t divide_by_steps(uint32_t sum, int32_t k);

// Forward byte copy of count bytes (0..65535), in memcpy's order; the two do not overlap.
void copy_bytes(void* destination, const void* source, uint16_t count);
