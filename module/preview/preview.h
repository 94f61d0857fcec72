// The preview subsystem: the preview's size and scales, and conversions of the centre
// between preview, working-image and filter-area pixels.
#pragma once

#include <cstdint>

// Buffer sizes: four rows of the widest preview (512 pixels) at 4 bytes, which also holds the
// 8 x 8 block under the centre marker; and four 24-bit screen rows of 512 pixels.
constexpr uint32_t kPreviewPixelsSize = 4 * 512 * 4;
constexpr uint32_t kDibBufferSize = 4 * 512 * 3;

// Sets preview_width, preview_height, preview_step, image_step and preview_extent from a
// view size and the working image (work_width, work_height, decimation); returns
// preview_extent. Needs a view and a working image of at least one pixel each way; each
// preview side comes out between 1 and 512.
int16_t compute_preview_geometry(int16_t width, int16_t height);

// Preview coordinate to working-image coordinate (to nearest, halves up).
int16_t preview_to_work(int16_t p);
// Preview coordinate to filter-area coordinate (to nearest, halves up).
int16_t preview_to_image(int16_t p);
// Filter-area coordinate to preview coordinate (to nearest for v >= 0).
int16_t image_to_preview(int16_t v);

// center_x, center_y from the stored centre of the parameter record.
void load_center();
