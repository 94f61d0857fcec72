// The effect engine: turns the settings into fixed-point geometry and computes output
// pixels for the previews and the final pass alike. No host or window calls here; rows
// other than the current one come from the rendered image or the row cache.
#pragma once

#include <cstdint>

// Derives dir_cos, dir_sin, band_step, half_band, band_extent, shift_h, shift_v,
// blend_weight, render_mode and render_fade from the settings and preview_extent.
// scale: 16.16 pixels of the rendered image per preview pixel.
void derive_geometry(int32_t scale);

// Computes the pixel at (pos_h, pos_v) into dst (bytes_per_pixel bytes).
// Needs derive_geometry, origin_h/v, bound_h/v, current_row and image_base set.
// Returns -1 when the pixel was written, else the 0-based row of the rendered image that is
// missing (dst untouched; the caller makes the row available and calls again).
int16_t composite_pixel(uint8_t* dst);

// Address of the source pixel at (pos_h, pos_v), or null when its row is not in memory.
const uint8_t* current_pixel();

// Address of the source pixel at (column, row), both already inside the image, or null
// when the row is neither the current one nor cached.
const uint8_t* sample_pixel(int32_t column, int32_t row);

// Folds any index into 0 .. bound-1, reflecting about pixel 0 without repeating it and
// about the outer side of the last pixel repeating it (period 2 * bound - 1).
int32_t mirror_index(int64_t index, int32_t bound);

// Forward byte copy of count bytes (0..65535); source and destination do not overlap.
void copy_bytes(const void* source, void* destination, uint16_t count);
