// The preview subsystem: the preview's size and scales, conversions of the centre between
// preview, working-image and filter-area pixels, and putting preview pixels on a window.
#pragma once

#include <windows.h>

#include <cstdint>

#include "filter_api/filter_api.h"
#include "module/engine/engine.h"
#include "module/ui/ui.h"

// The preview's size and scales, the centre in preview pixels, the filtered preview's effect
// and the state of its views (preview/).
struct PreviewState {
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
  int16_t dialog_ready;  // 1 once the first paint sized the preview windows
  RECT small_view_rect;  // the small view's client rectangle, taken at every full render
};

// Screen output (preview/screen_output): the host's pixel map (version 0: the host reads up
// to baseAddr), the header of the module's own 24-bit bitmap, its locked buffer, and the
// dither switch.
struct ScreenState {
  filter_api::PSPixelMap pixel_map;  // bounds 0,0..lines,count; rowBytes count * 1..4 bytes
  BITMAPINFOHEADER dib_header;       // 24-bit bottom-up DIB of count x lines pixels, 1..512
  uint8_t* dib_buffer;               // locked dib_block, or null until first used
  int16_t dither_display;            // 1: display of 8 or fewer bits per pixel, dither; else 0
};

// Buffer sizes: four rows of the widest preview (512 pixels) at 4 bytes, which also holds the
// 8 x 8 block under the centre marker; and four 24-bit screen rows of 512 pixels.
constexpr uint32_t kPreviewPixelsSize = 4 * 512 * 4;
constexpr uint32_t kDibBufferSize = 4 * 512 * 3;

// How a working image fits a view: the preview's size and its 16.16 scales.
struct PreviewFit {
  int16_t width;       // preview columns, 1..512
  int16_t height;      // preview rows, 1..512
  int32_t step;        // 16.16 working-image pixels per preview pixel
  int32_t image_step;  // 16.16 filter-area pixels per preview pixel
};

// The fit of a work_width x work_height working image, reduced by decimation, in a view of
// width x height. Needs a view and a working image of at least one pixel each way; each
// preview side comes out between 1 and 512. Pure: Start plans with it before it commits.
PreviewFit fit_preview(int16_t width, int16_t height, int16_t work_width, int16_t work_height,
                       int16_t decimation);

// Sets preview_width, preview_height, preview_step, image_step and preview_extent from a
// view size and the working image (work_width, work_height, decimation), as fit_preview
// gives them; returns preview_extent.
int16_t compute_preview_geometry(int16_t width, int16_t height);

// Preview coordinate to working-image coordinate (to nearest, halves up).
int16_t preview_to_work(int16_t p);
// Preview coordinate to filter-area coordinate (to nearest, halves up).
int16_t preview_to_image(int16_t p);
// Filter-area coordinate to preview coordinate (to nearest for v >= 0).
int16_t image_to_preview(int16_t v);

// center_x, center_y from the stored centre of the parameter record.
void load_center();
// Moves the centre (a drag), within the preview as the caller keeps it.
void set_center(int16_t x, int16_t y);
// The dialog opens or closes: its views are to be sized again on the next first paint.
void reset_preview_views();

// Prepares the output path for the dialog's first paint. With the host's displayPixels: the
// fixed fields of pixel_map (version 0, bounds from 0,0, imageMode, colBytes, planeBytes,
// baseAddr = preview_pixels), nothing else. Without it: locks dib_block into dib_buffer
// once per run (while dib_buffer is null), measuring dither_display from a device context
// of dialog_window then, and fills the fixed fields of dib_header. Needs filter_record and
// bytes_per_pixel, and preview_pixels locked.
void setup_display();

// Forgets the screen output's locked bitmap buffer once its block is freed.
void release_screen_output();

// Puts the count x lines pixels packed at the start of preview_pixels (top row first, count
// * bytes_per_pixel bytes a row) into dc with their top-left corner at (x, y): through the
// host's displayPixels when it offers one, else converted into dib_buffer (24-bit rows,
// bottom row first, dithered when dither_display is 1) and drawn with SetDIBitsToDevice.
// Needs setup_display first. Puts nothing when count or lines is below 1, when the pixels
// would reach past kPreviewPixelsSize, or (module drawing) when the converted rows would
// reach past kDibBufferSize or dib_buffer is null. Failures of the drawing are ignored.
void put_preview_rows(HDC dc, int16_t x, int16_t y, int16_t count, int16_t lines);

// Fixes the filtered preview's effect: the geometry of the settings at preview_step, centred
// on (origin_h, origin_v) in working-image pixels.
void set_preview_effect(const EffectSettings& settings, int16_t origin_h, int16_t origin_v);

// One preview pixel into dst (bytes_per_pixel bytes), the slow reference of the rendering
// below: filtered while show_result is set, except unselected pixels, which stay plain (all
// bytes 255 when the host filters a floating selection); plain otherwise. (pos_h, pos_v) is
// its 16.16 position in the working image; col and row are preview coordinates, used for the
// selection test.
void preview_pixel(int16_t col, int16_t row, int32_t pos_h, int32_t pos_v, uint8_t* dst);

// Preview row `row` (its working row at the 16.16 position pos_v) into dst, preview_width
// pixels, as preview_pixel gives them. A working column that several preview columns fall on
// (an enlarged preview) is computed once, at the first of them, and repeated; columns past the
// working image repeat the last one rendered.
void render_preview_row(int16_t row, int32_t pos_v, uint8_t* dst);

// Paints the big preview: on the dialog's first paint only sizes both views to the preview
// (and prepares the screen output); afterwards the whole preview in bands of four rows, then
// the guide lines and the marker again. Rows and columns past the working image repeat the
// last ones rendered.
void render_big_preview();

// The erasing half of the overlay redraw: clears the small view unless only the big view is
// covered; otherwise takes the big view's guide lines away, and then either draws the marker
// again, whole (guides only), or re-renders the 8 x 8 block under it (and has the outline
// painted afresh on the next tick).
void restore_marker_area(Overlays covered);
