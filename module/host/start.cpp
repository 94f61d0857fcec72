// Start and Finish: register the preview window classes, make sure the parameter record
// exists, measure the big preview, plan memory against the host's maxSpace (the working
// image whole, or reduced by a decimation of 2 to 5), allocate every preview and selection
// buffer, and set the first requests; release_all gives all of it back.
#include <algorithm>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"
#include "module/ui/ui.h"

namespace {

// The centre marker: 8 rows of 2 bytes, a paint mask on the left and an invert mask on the
// right (most significant bit leftmost).
const uint8_t kMarkerBits[16] = {0xE7, 0x00, 0xFF, 0x42, 0xFF, 0x24, 0x7E, 0x18,
                                 0x7E, 0x18, 0xFF, 0x24, 0xFF, 0x42, 0xE7, 0x00};

const filter_api::Rect kEmpty{0, 0, 0, 0};

void free_block(HGLOBAL& handle) {
  if (handle != nullptr && handle != kNotNeeded) {
    block_unlock(handle);
    block_free(handle);
  }
}

// Sets the working image for a decimation: every decimation-th pixel of every
// decimation-th row of the filter area.
void set_working_size() {
  ModuleState& s = module_state;
  s.plan.work_width = int16_t(s.host.filter_width / s.plan.decimation);
  s.plan.work_height = int16_t(s.host.filter_height / s.plan.decimation);
  s.plan.work_row_bytes = int32_t(s.plan.work_width) * s.host.bytes_per_pixel;
}

// The selection's blocks and bitmap, sized for the largest preview the view allows, since
// the final preview geometry is only known once the decimation is. Leaves mask_block null
// when anything fails.
void plan_selection(int32_t& budget) {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  s.plan.mask_block = nullptr;
  compute_preview_geometry(s.plan.view_width, s.plan.view_height);
  host->maskRect = host->inRect;
  int32_t row_bytes = 2 * ((std::min<int32_t>(s.plan.view_width, 512) + 15) >> 4);
  int32_t rows = std::min<int32_t>(s.plan.view_height, 512);
  int32_t size = row_bytes * rows;
  budget -= s.host.filter_width + 2 * (row_bytes + size);
  s.plan.mask_bitmap = create_bitmap(row_bytes * 8, rows, nullptr);
  if (s.plan.mask_bitmap == nullptr) return;
  HDC window_dc = GetDC(host_window());
  s.plan.mask_dc = create_compatible_dc(window_dc);
  ReleaseDC(host_window(), window_dc);
  if (s.plan.mask_dc == nullptr) return;
  SelectObject(s.plan.mask_dc, s.plan.mask_bitmap);
  s.plan.mask_saved_block = block_alloc(uint32_t(size));
  if (s.plan.mask_saved_block == nullptr) return;
  s.plan.outline_block = block_alloc(uint32_t(row_bytes + size));
  if (s.plan.outline_block == nullptr) {
    block_free(s.plan.mask_saved_block);
    s.plan.mask_saved_block = nullptr;
    return;
  }
  s.plan.mask_block = block_alloc(uint32_t(2 * row_bytes + size));
  if (s.plan.mask_block == nullptr) {
    block_free(s.plan.outline_block);
    block_free(s.plan.mask_saved_block);
    s.plan.outline_block = nullptr;
    s.plan.mask_saved_block = nullptr;
  }
}

// Chooses the decimation and allocates image_copy; false when no decimation up to 5 fits.
bool plan_working_image(int32_t budget) {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  int32_t need = int32_t(s.plan.work_height) * s.plan.work_row_bytes;
  if (need < budget) {
    host->inRect.bottom = host->filterRect.bottom;  // the whole area in one delivery
    s.plan.rows_collected = s.plan.work_height;
    return true;
  }
  budget -= 2 * s.host.row_bytes;
  while (true) {
    if (++s.plan.decimation > 5) return false;
    set_working_size();
    if (s.plan.work_width == 0 || s.plan.work_height == 0) return false;  // nothing left to preview
    need = int32_t(s.plan.work_height) * s.plan.work_row_bytes;
    if (need > budget) continue;
    s.plan.rows_collected = 0;
    s.plan.image_copy = block_alloc(uint32_t(need));
    if (s.plan.image_copy != nullptr) return true;
  }
}

}  // namespace

HBITMAP create_bitmap(int32_t width, int32_t height, const void* bits) {
  ModuleState& s = module_state;
  if (++s.host.gdi_create_calls == s.host.gdi_create_fail_at) return nullptr;
  return CreateBitmap(width, height, 1, 1, bits);
}

HDC create_compatible_dc(HDC dc) {
  ModuleState& s = module_state;
  if (++s.host.gdi_create_calls == s.host.gdi_create_fail_at) return nullptr;
  return CreateCompatibleDC(dc);
}

void start_setup() {
  ModuleState& s = module_state;
  if (!s.plan.classes_registered) {
    // Registered at every Start that finds them gone, so a host that runs the filter again
    // without reloading it can still open the dialog. A class left behind by a run that
    // ended without Finish is taken away first.
    UnregisterClassA("big_view", s.host.module_instance);
    UnregisterClassA("small_view", s.host.module_instance);
    if (register_view_class(false) == 0) {
      show_warning("Error while registering big class. Restart host.");
      s.host.result_code = 1;
      return;
    }
    if (register_view_class(true) == 0) {
      UnregisterClassA("big_view", s.host.module_instance);
      show_warning("Error while registering small class. Restart host.");
      s.host.result_code = 1;
      return;
    }
    s.plan.classes_registered = true;
  }
  create_parameter_record();
}

void start_filter() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  s.plan.run_active = false;
  s.plan.image_copy = kNotNeeded;
  s.plan.mask_block = kNotNeeded;

  // A filter area without pixels: nothing to preview or filter; the run ends at once.
  if (s.host.filter_width <= 0 || s.host.filter_height <= 0) {
    release_all();
    host->inRect = host->outRect = host->maskRect = kEmpty;
    return;
  }

  if (!measure_big_view(&s.plan.view_width, &s.plan.view_height)) {
    release_all();
    show_warning("The Zorbel dialog could not be opened. Restart host.");
    s.host.result_code = 1;
    return;
  }

  s.plan.marker_bitmap = create_bitmap(16, 8, kMarkerBits);
  s.plan.dib_block = nullptr;
  release_screen_output();
  s.plan.mask_bitmap = nullptr;
  s.plan.mask_dc = nullptr;
  host->inRect = host->filterRect;
  host->inRect.bottom = int16_t(host->inRect.top + 1);
  host->inLoPlane = 0;
  host->inHiPlane = int16_t(s.host.bytes_per_pixel - 1);
  host->outRect = host->inRect;
  host->outLoPlane = 0;
  host->outHiPlane = int16_t(s.host.bytes_per_pixel - 1);
  s.plan.decimation = 1;
  set_working_size();
  s.plan.cache_block = nullptr;
  s.plan.preview_block = nullptr;

  bool planned = false;
  int32_t reserve_size = (s.host.row_bytes + 1) * 32 + s.host.filter_height + 2000;
  HGLOBAL reserve = block_alloc(uint32_t(reserve_size));
  if (reserve != nullptr) {
    // The host's allowance, less what Start keeps back for the row cache, the fixed
    // allowance, and the preview buffers themselves, so the run stays within maxSpace. A
    // negative maxSpace is no room at all (subtracting from it could wrap round to plenty).
    bool host_draws = host->displayPixels != nullptr;
    int32_t budget = std::max<int32_t>(host->maxSpace, 0) - reserve_size -
                     (s.host.bytes_per_pixel == 1 ? 512 : 4352) - kPreviewPixelsSize -
                     (host_draws ? 0 : kDibBufferSize);
    if (host->haveMask != 0) plan_selection(budget);
    s.plan.preview_block = block_alloc(kPreviewPixelsSize);
    if (!host_draws) s.plan.dib_block = block_alloc(kDibBufferSize);
    planned = s.plan.marker_bitmap != nullptr && s.plan.preview_block != nullptr &&
              (host_draws || s.plan.dib_block != nullptr) && s.plan.mask_block != nullptr &&
              plan_working_image(budget);
  }
  if (!planned) {
    release_all();
    s.host.result_code = filter_api::memFullErr;
  } else {
    s.plan.run_active = true;
  }
  if (reserve != nullptr) block_free(reserve);
  s.plan.continue_state = 1;
  s.plan.pixel_skip = int16_t(s.plan.decimation * s.host.bytes_per_pixel - s.host.bytes_per_pixel);
  row_cache_release();
  if (s.plan.work_width > 0 && s.plan.work_height > 0)
    compute_preview_geometry(s.plan.view_width, s.plan.view_height);
  plan_selection_rows(s.plan.mask_block != kNotNeeded && s.plan.mask_block != nullptr);
  // While the mask is sampled the input is not needed: it is asked for by the last mask call.
  s.plan.first_input = host->inRect;
  if (s.plan.run_active && s.selection.mask_rows_built < s.preview.preview_height)
    host->inRect = kEmpty;
}

void release_all() {
  ModuleState& s = module_state;
  free_block(s.plan.preview_block);
  free_block(s.plan.image_copy);
  if (s.plan.mask_block != nullptr && s.plan.mask_block != kNotNeeded) {
    free_block(s.plan.mask_block);
    free_block(s.plan.outline_block);
    free_block(s.plan.mask_saved_block);
  }
  s.plan.outline_block = nullptr;
  s.plan.mask_saved_block = nullptr;
  row_cache_release();
  free_block(s.plan.dib_block);
  if (s.plan.marker_bitmap != nullptr) DeleteObject(s.plan.marker_bitmap);
  if (s.plan.mask_dc != nullptr) DeleteDC(s.plan.mask_dc);
  if (s.plan.mask_bitmap != nullptr) DeleteObject(s.plan.mask_bitmap);
  s.plan.dib_block = nullptr;
  s.plan.mask_bitmap = nullptr;
  s.plan.mask_dc = nullptr;
  s.plan.marker_bitmap = nullptr;
  if (s.plan.classes_registered) {
    UnregisterClassA("big_view", s.host.module_instance);
    UnregisterClassA("small_view", s.host.module_instance);
    s.plan.classes_registered = false;
  }
  s.plan.mask_block = nullptr;
  s.plan.image_copy = nullptr;
  s.plan.preview_block = nullptr;
  s.plan.preview_pixels = nullptr;
  release_screen_output();
  forget_selection();
}
