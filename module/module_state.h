// The module's one static state record: every value that the selector calls share, grouped
// by the subsystem that owns it. Module code is plain procedures over this record.
// Widths: 16-bit where a value is 16-bit by nature (settings, coordinates); 32 or 64 bits
// wherever a product can overflow, keeping every formula's result where it does not.
#pragma once

#include <windows.h>

#include <cstdint>

#include "filter_api/filter_api.h"

// The 20-byte record the host keeps for us between runs (little-endian, no gaps):
//   0 center_h   2 center_v   4 regions   6 intensity   8 angle   10 spacing
//  12 mode      14 fade      16 show_dialog (32-bit)
struct ParameterRecord {
  int16_t center_h;     // effect centre column, filter-area pixels
  int16_t center_v;     // effect centre row, filter-area pixels
  int16_t regions;      // copies, 1..20
  int16_t intensity;    // blend strength, 0..100
  int16_t angle;        // direction in degrees, 0..360
  int16_t spacing;      // distance between copies, 5..100
  int16_t mode;         // 0 parallel lines, 1 right-angle regions, -1 mixed parallel
  int16_t fade;         // 0 off, 1 on
  int32_t show_dialog;  // nonzero: the next run shows the dialog
};
static_assert(sizeof(ParameterRecord) == 20, "the stored record is 20 bytes");
static_assert(offsetof(ParameterRecord, spacing) == 10 && offsetof(ParameterRecord, fade) == 14 &&
                  offsetof(ParameterRecord, show_dialog) == 16,
              "stored record layout");

struct ModuleState {
  // --- host protocol (host/) ---
  filter_api::FilterRecord* filter_record;  // host record of the current call (selectors 1..5)
  filter_api::AboutRecord* about_record;    // host record of the current About call
  int16_t result_code;                      // status of the current call, written to *result
  HINSTANCE module_instance;                // our library's instance handle
  int16_t bytes_per_pixel;                  // 1, 3 or 4 interleaved bytes per pixel
  int16_t filter_width;                     // filterRect width, pixels
  int16_t filter_height;                    // filterRect height, pixels
  int32_t row_bytes;                        // filter_width * bytes_per_pixel
  int16_t work_width;                       // working image width, pixels
  int16_t work_height;                      // working image height, pixels
  int32_t work_row_bytes;                   // working image stride, bytes
  uint32_t block_alloc_calls;               // block_alloc calls since load (test seam)
  uint32_t block_alloc_fail_at;             // 0, or the block_alloc call number that fails (test seam)

  // --- settings (loaded from the record, edited by the dialog) ---
  int16_t regions;    // 1..20
  int16_t intensity;  // 0..100
  int16_t angle;      // 0..360 degrees
  int16_t spacing;    // 5..100
  int16_t mode;       // 0 parallel, 1 right-angle, -1 mixed
  int16_t fade;       // 0 or 1

  // --- preview geometry (preview/) ---
  int16_t preview_extent;  // larger preview side, at most 512

  // --- row cache (host/row_cache) ---
  int16_t cache_active;     // 1: rows other than the current one come from the cache
  int16_t cache_slots;      // slots in the cache, 35..255
  uint8_t* slot_of_row;     // filter_height bytes: slot of each row, 255 = not cached
  uint8_t* cache_data;      // cache_slots rows of row_bytes bytes

  // --- engine: derived geometry (engine/geometry) ---
  int16_t dir_cos;       // Q15 cosine of the angle, 32767 = 1.0
  int16_t dir_sin;       // Q15 sine of the angle
  int64_t band_step;     // one band along the direction, projection units (16 * 32767 / px)
  int64_t half_band;     // band_step / 2: lateral half-width of right-angle regions
  int64_t band_extent;   // regions * band_step
  int64_t shift_h;       // column displacement of one copy, 16.16 pixels
  int64_t shift_v;       // row displacement of one copy, 16.16 pixels
  int16_t blend_weight;  // 0..256, weight of the displaced copy
  int16_t render_mode;   // copy of mode
  int16_t render_fade;   // copy of fade

  // --- engine: per-pixel inputs and scratch (engine/compositor) ---
  int32_t pos_h;                // 16.16 column of the pixel being produced
  int32_t pos_v;                // 16.16 row of the pixel being produced
  int16_t origin_h;             // effect centre column, whole pixels of the rendered image
  int16_t origin_v;             // effect centre row
  int16_t bound_h;              // mirror bound: rendered image width, >= 1
  int16_t bound_v;              // mirror bound: rendered image height, >= 1
  const uint8_t* current_row;   // source row of pos_v, or null
  const uint8_t* image_base;    // top-left source pixel of the rendered image
  int64_t sample_h;             // 16.16 sample column, scratch
  int64_t sample_v;             // 16.16 sample row, scratch
};

extern ModuleState module_state;
