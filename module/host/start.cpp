// Start and Finish: register the preview window classes, make sure the parameter record
// exists, measure the big preview, plan memory against the host's maxSpace (the working
// image whole, or reduced by a decimation of 2 to 5), allocate every preview and selection
// buffer, and set the first requests; release_all gives all of it back.
#include <algorithm>

#include "module/engine/engine.h"
#include "module/host/host.h"
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
  s.work_width = int16_t(s.filter_width / s.decimation);
  s.work_height = int16_t(s.filter_height / s.decimation);
  s.work_row_bytes = int32_t(s.work_width) * s.bytes_per_pixel;
}

// The selection's blocks and bitmap, sized for the largest preview the view allows, since
// the final preview geometry is only known once the decimation is. Leaves mask_block null
// when anything fails.
void plan_selection(int32_t& budget) {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  s.mask_block = nullptr;
  compute_preview_geometry(s.view_width, s.view_height);
  host->maskRect = host->inRect;
  int32_t row_bytes = 2 * ((std::min<int32_t>(s.view_width, 512) + 15) >> 4);
  int32_t rows = std::min<int32_t>(s.view_height, 512);
  int32_t size = row_bytes * rows;
  budget -= s.filter_width + 2 * (row_bytes + size);
  s.mask_bitmap = create_bitmap(row_bytes * 8, rows, nullptr);
  if (s.mask_bitmap == nullptr) return;
  HDC window_dc = GetDC(host_window());
  s.mask_dc = create_compatible_dc(window_dc);
  ReleaseDC(host_window(), window_dc);
  if (s.mask_dc == nullptr) return;
  SelectObject(s.mask_dc, s.mask_bitmap);
  s.mask_saved_block = block_alloc(uint32_t(size));
  if (s.mask_saved_block == nullptr) return;
  s.outline_block = block_alloc(uint32_t(row_bytes + size));
  if (s.outline_block == nullptr) {
    block_free(s.mask_saved_block);
    s.mask_saved_block = nullptr;
    return;
  }
  s.mask_block = block_alloc(uint32_t(2 * row_bytes + size));
  if (s.mask_block == nullptr) {
    block_free(s.outline_block);
    block_free(s.mask_saved_block);
    s.outline_block = nullptr;
    s.mask_saved_block = nullptr;
  }
}

// Chooses the decimation and allocates image_copy; false when no decimation up to 5 fits.
bool plan_working_image(int32_t budget) {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  int32_t need = int32_t(s.work_height) * s.work_row_bytes;
  if (need < budget) {
    host->inRect.bottom = host->filterRect.bottom;  // the whole area in one delivery
    s.rows_collected = s.work_height;
    return true;
  }
  budget -= 2 * s.row_bytes;
  while (true) {
    if (++s.decimation > 5) return false;
    set_working_size();
    if (s.work_width == 0 || s.work_height == 0) return false;  // nothing left to preview
    need = int32_t(s.work_height) * s.work_row_bytes;
    if (need > budget) continue;
    s.rows_collected = 0;
    s.image_copy = block_alloc(uint32_t(need));
    if (s.image_copy != nullptr) return true;
  }
}

}  // namespace

HBITMAP create_bitmap(int32_t width, int32_t height, const void* bits) {
  ModuleState& s = module_state;
  if (++s.gdi_create_calls == s.gdi_create_fail_at) return nullptr;
  return CreateBitmap(width, height, 1, 1, bits);
}

HDC create_compatible_dc(HDC dc) {
  ModuleState& s = module_state;
  if (++s.gdi_create_calls == s.gdi_create_fail_at) return nullptr;
  return CreateCompatibleDC(dc);
}

void start_setup() {
  ModuleState& s = module_state;
  if (!s.classes_registered) {
    // Registered at every Start that finds them gone, so a host that runs the filter again
    // without reloading it can still open the dialog. A class left behind by a run that
    // ended without Finish is taken away first.
    UnregisterClassA("big_view", s.module_instance);
    UnregisterClassA("small_view", s.module_instance);
    if (register_view_class(false) == 0) {
      show_warning("Error while registering big class. Restart host.");
      s.result_code = 1;
      return;
    }
    if (register_view_class(true) == 0) {
      UnregisterClassA("big_view", s.module_instance);
      show_warning("Error while registering small class. Restart host.");
      s.result_code = 1;
      return;
    }
    s.classes_registered = true;
  }
  create_parameter_record();
}

void start_filter() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  s.run_active = false;
  s.image_copy = kNotNeeded;
  s.mask_block = kNotNeeded;

  // A filter area without pixels: nothing to preview or filter; the run ends at once.
  if (s.filter_width <= 0 || s.filter_height <= 0) {
    release_all();
    host->inRect = host->outRect = host->maskRect = kEmpty;
    return;
  }

  s.view_width = 0;
  s.view_height = 0;
  DialogBoxParamA(s.module_instance, "FILTERDLG", host_window(), FilterDlg, 0);
  if (s.view_width <= 0 || s.view_height <= 0) {
    release_all();
    show_warning("The Zorbel dialog could not be opened. Restart host.");
    s.result_code = 1;
    return;
  }

  s.marker_bitmap = create_bitmap(16, 8, kMarkerBits);
  s.dib_block = nullptr;
  s.dib_buffer = nullptr;
  s.mask_bitmap = nullptr;
  s.mask_dc = nullptr;
  host->inRect = host->filterRect;
  host->inRect.bottom = int16_t(host->inRect.top + 1);
  host->inLoPlane = 0;
  host->inHiPlane = int16_t(s.bytes_per_pixel - 1);
  host->outRect = host->inRect;
  host->outLoPlane = 0;
  host->outHiPlane = int16_t(s.bytes_per_pixel - 1);
  s.decimation = 1;
  set_working_size();
  s.cache_block = nullptr;
  s.preview_block = nullptr;

  bool planned = false;
  int32_t reserve_size = (s.row_bytes + 1) * 32 + s.filter_height + 2000;
  HGLOBAL reserve = block_alloc(uint32_t(reserve_size));
  if (reserve != nullptr) {
    // The host's allowance, less what Start keeps back for the row cache, the fixed
    // allowance, and the preview buffers themselves, so the run stays within maxSpace.
    bool host_draws = host->displayPixels != nullptr;
    int32_t budget = host->maxSpace - reserve_size - (s.bytes_per_pixel == 1 ? 512 : 4352) -
                     kPreviewPixelsSize - (host_draws ? 0 : kDibBufferSize);
    if (host->haveMask != 0) plan_selection(budget);
    s.preview_block = block_alloc(kPreviewPixelsSize);
    if (!host_draws) s.dib_block = block_alloc(kDibBufferSize);
    planned = s.marker_bitmap != nullptr && s.preview_block != nullptr &&
              (host_draws || s.dib_block != nullptr) && s.mask_block != nullptr &&
              plan_working_image(budget);
  }
  if (!planned) {
    release_all();
    s.result_code = filter_api::memFullErr;
  } else {
    s.run_active = true;
  }
  if (reserve != nullptr) block_free(reserve);
  s.continue_state = 1;
  s.pixel_skip = int16_t(s.decimation * s.bytes_per_pixel - s.bytes_per_pixel);
  s.cache_active = 0;
  s.mask_rows_built = s.mask_block != kNotNeeded && s.mask_block != nullptr ? 0 : 9999;
  if (s.work_width > 0 && s.work_height > 0) {
    compute_preview_geometry(s.view_width, s.view_height);
    s.mask_row_words = int16_t((s.preview_width + 15) >> 4);
    s.mask_row_bytes = int16_t(2 * s.mask_row_words);
    s.mask_size = int32_t(s.mask_row_bytes) * s.preview_height;
  }
  // While the mask is sampled the input is not needed: it is asked for by the last mask call.
  s.first_input = host->inRect;
  if (s.run_active && s.mask_rows_built < s.preview_height) host->inRect = kEmpty;
}

void release_all() {
  ModuleState& s = module_state;
  free_block(s.preview_block);
  free_block(s.image_copy);
  if (s.mask_block != nullptr && s.mask_block != kNotNeeded) {
    free_block(s.mask_block);
    free_block(s.outline_block);
    free_block(s.mask_saved_block);
  }
  s.outline_block = nullptr;
  s.mask_saved_block = nullptr;
  free_block(s.cache_block);
  free_block(s.dib_block);
  if (s.marker_bitmap != nullptr) DeleteObject(s.marker_bitmap);
  if (s.mask_dc != nullptr) DeleteDC(s.mask_dc);
  if (s.mask_bitmap != nullptr) DeleteObject(s.mask_bitmap);
  s.dib_block = nullptr;
  s.mask_bitmap = nullptr;
  s.mask_dc = nullptr;
  s.marker_bitmap = nullptr;
  if (s.classes_registered) {
    UnregisterClassA("big_view", s.module_instance);
    UnregisterClassA("small_view", s.module_instance);
    s.classes_registered = false;
  }
  s.cache_active = 0;
  s.cache_block = nullptr;
  s.mask_block = nullptr;
  s.image_copy = nullptr;
  s.preview_block = nullptr;
  s.preview_pixels = nullptr;
  s.dib_buffer = nullptr;
  s.mask_guard = s.mask_bits = s.outline_bits = s.mask_saved = nullptr;
  s.slot_of_row = s.slot_stamp = s.cache_data = nullptr;
}
