// The module's one static state record: every value that the selector calls share, grouped
// by the subsystem that owns it. Module code is plain procedures over this record.
// Widths: 16-bit where a value is 16-bit by nature (settings, coordinates); 32 or 64 bits
// wherever a product can overflow, keeping every formula's result where it does not.
#pragma once

#include <windows.h>

#include <cstdint>

#include "filter_api/filter_api.h"
#include "module/engine/engine.h"

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
  uint32_t block_alloc_fail_at;  // 0, or the block_alloc call number that fails (test seam)
  uint32_t gdi_create_calls;     // bitmap and memory DC creations since load (test seam)
  uint32_t gdi_create_fail_at;   // 0, or the creation number that fails (test seam)

  // --- Start's plan and the Continue driver (host/start, host/continue) ---
  int16_t decimation;          // 1..5: the working image keeps every decimation-th pixel and row
  int16_t rows_collected;      // working-image rows gathered so far
  int16_t continue_state;      // 1 collect, 0 process, -1 awaiting a requested row
  int16_t out_row;             // output row of this call, filter-area rows
  int16_t delivered_row;       // filter-area row whose data the host delivered in this call
  int16_t pixel_skip;          // (decimation - 1) * bytes_per_pixel: bytes skipped per copied pixel
  int16_t view_width;          // client width of the big preview control; 0 selects measuring
  int16_t view_height;         // client height of the big preview control
  bool classes_registered;     // the two preview window classes are registered
  bool run_active;             // a planned run is under way (Start succeeded, not yet ended)
  HGLOBAL image_copy;          // reduced working image; kNotNeeded with the whole area in memory
  HGLOBAL preview_block;       // preview_pixels' block
  HGLOBAL dib_block;           // dib_buffer's block; null when the host draws (displayPixels)
  HGLOBAL mask_block;          // guard row, mask rows, guard row; kNotNeeded without a selection
  HGLOBAL outline_block;       // outline_bits' block (selection only)
  HGLOBAL mask_saved_block;    // mask_saved's block (selection only)
  HGLOBAL cache_block;         // the row cache's block, locked through the final pass
  HBITMAP marker_bitmap;       // 16 x 8 monochrome centre marker
  HBITMAP mask_bitmap;         // monochrome outline bitmap (selection only)
  HDC mask_dc;                 // memory DC holding mask_bitmap
  uint8_t* preview_pixels;     // locked preview_block: four preview rows, or the marker block
  uint8_t* dib_buffer;         // locked dib_block, or null until first used
  const uint8_t* current_row;  // the delivered row of this call, or null once it is filed
  const uint8_t* image_base;   // the working image: the host's inData or image_copy
  filter_api::Rect first_input;  // the first input request, held back while the mask is sampled
  // The final pass: its geometry and frame, fixed once per run from the stored record, and
  // the output rows written per call (bands when the whole area is delivered).
  EffectGeometry final_effect;
  EffectFrame final_frame;
  int16_t band_rows;

  // --- settings (loaded from the record, edited by the dialog) ---
  int16_t regions;    // 1..20
  int16_t intensity;  // 0..100
  int16_t angle;      // 0..360 degrees
  int16_t spacing;    // 5..100
  int16_t mode;       // 0 parallel, 1 right-angle, -1 mixed
  int16_t fade;       // 0 or 1

  // --- preview geometry (preview/) ---
  int16_t preview_width;   // preview columns, 1..512
  int16_t preview_height;  // preview rows, 1..512
  int32_t preview_step;    // 16.16 working-image pixels per preview pixel
  int32_t image_step;      // 16.16 filter-area pixels per preview pixel (decimation * preview_step)
  int16_t preview_extent;  // larger preview side, at most 512
  int16_t center_x;        // effect centre, preview column
  int16_t center_y;        // effect centre, preview row
  // The filtered preview's geometry and frame, fixed when Preview was last pressed.
  EffectGeometry preview_effect;
  EffectFrame preview_frame;
  // Screen output (preview/screen_output): the host's pixel map (version 0: the host reads up
  // to baseAddr), the header of the module's own 24-bit bitmap, and the dither switch.
  filter_api::PSPixelMap pixel_map;  // bounds 0,0..lines,count; rowBytes count * 1..4 bytes
  BITMAPINFOHEADER dib_header;       // 24-bit bottom-up DIB of count x lines pixels, 1..512
  int16_t dither_display;            // 1: display of 8 or fewer bits per pixel, dither; else 0

  // --- selection mask (outline/) ---
  int16_t mask_row_words;       // 16-bit words per 1-bit mask row
  int16_t mask_row_bytes;       // 2 * mask_row_words
  int32_t mask_size;            // mask_row_bytes * preview_height
  int16_t mask_rows_built;      // preview mask rows sampled; 9999 without a selection
  uint8_t* mask_guard;          // locked mask_block: the guard row above mask_bits
  uint8_t* mask_bits;           // 1-bit preview mask, preview_height rows of mask_row_bytes
  uint8_t* outline_bits;        // locked outline_block
  uint8_t* mask_saved;          // locked mask_saved_block: the mask as sampled
  int16_t ants_drawn;           // 1 while the outline is on screen (painted white once)
  const uint8_t* ants_pattern;  // 8 pattern bytes of the next tick, one per row mod 8
  int16_t ants_phase;           // 0..7: offset into the toggle pattern for the tick after next

  // --- dialog (ui/) ---
  HWND dialog_window;     // the dialog while it runs
  int16_t show_result;    // 1 while the big preview shows the filtered image
  int16_t dialog_ready;   // 1 once the first paint sized the preview windows
  int16_t guides_drawn;   // 1 while the big view's inverted guide lines are on screen
  int32_t big_capture;    // the big view holds the mouse for a centre drag
  int32_t small_capture;  // the small view holds the mouse for a centre drag
  RECT small_view_rect;   // the small view's client rectangle, taken at every full render

  // --- row cache (host/row_cache) ---
  int16_t cache_active;      // 1: rows other than the current one come from the cache
  int16_t cache_slots;       // slots in the cache, 35..255
  uint8_t stamp_clock;       // fill counter, wraps
  uint8_t* slot_of_row;      // filter_height bytes: slot of each row, 255 = not cached
  uint8_t* slot_stamp;       // cache_slots bytes: stamp_clock when each slot was filled
  uint8_t* cache_data;       // cache_slots rows of row_bytes bytes
  int16_t row_of_slot[255];  // the row each slot was last filled with (it may have moved since)
};

// A block handle that stands for "not needed" (the working image is the host's buffer, or
// there is no selection), as opposed to null for "allocation failed".
inline HGLOBAL const kNotNeeded = reinterpret_cast<HGLOBAL>(intptr_t{-1});

extern ModuleState module_state;
