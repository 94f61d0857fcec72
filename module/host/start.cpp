// Start and Finish: register the preview window classes, make sure the parameter record
// exists, measure the big preview, plan memory against the host's maxSpace (the working
// image whole, or reduced by a decimation of 2 to 5), allocate every preview and selection
// buffer, and set the first requests; release_all gives all of it back.
#include <algorithm>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"
#include "module/scripting/scripting.h"
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

// What Start weighs each decimation against.
struct Allowance {
  int64_t max_space;  // the host's maxSpace
  // maxSpace less the reserve, the fixed allowance, the preview buffers and the selection's
  // share: the working image's thresholds.
  int64_t budget;
  // Bytes held beside image_copy and the selection's blocks until Start ends: the reserve, the
  // preview buffers, and a parameter record this Start made.
  int64_t beside;
  bool selection;
};

// The selection's three blocks for a preview: mask_saved (the rows), the outline (a spare row
// and the rows) and the mask (a guard row, the rows, a guard row).
struct SelectionSizes {
  int32_t row_bytes;
  int32_t size;  // row_bytes * preview rows
};

SelectionSizes selection_sizes(int16_t preview_width, int16_t preview_height) {
  int32_t row_bytes = mask_row_bytes_for(preview_width);
  return SelectionSizes{row_bytes, row_bytes * preview_height};
}

int64_t selection_bytes(const SelectionSizes& sizes) {
  return 3 * int64_t(sizes.size) + 3 * int64_t(sizes.row_bytes);
}

// The budget's share of the selection: the host's mask row and two of the blocks for the
// largest preview the view allows.
int64_t selection_share() {
  const ModuleState& s = module_state;
  SelectionSizes view = selection_sizes(std::min<int16_t>(s.plan.view_width, 512),
                                        std::min<int16_t>(s.plan.view_height, 512));
  return s.host.filter_width + 2 * (int64_t(view.row_bytes) + view.size);
}

// The first decimation from `from` on that the plan takes, or 0 when none up to 5 does; leaves
// the working size set for the last one looked at. The budget's thresholds come first: the
// whole area when its need is strictly under the budget, a reduced image when its need is at
// or under the budget lowered by two rows. Then everything Start holds with that working image
// (image_copy, the selection's blocks sized for its preview, and the rest) must fit maxSpace,
// else the next decimation is looked at; a reduced image also needs room for the row cache of
// the final pass. A working image without pixels ends the search.
int16_t choose_decimation(int16_t from, const Allowance& allowance) {
  ModuleState& s = module_state;
  for (int16_t decimation = from; decimation <= 5; ++decimation) {
    s.plan.decimation = decimation;
    set_working_size();
    if (s.plan.work_width == 0 || s.plan.work_height == 0) return 0;
    const int64_t need = int64_t(s.plan.work_height) * s.plan.work_row_bytes;
    const bool under = decimation == 1 ? need < allowance.budget
                                       : need <= allowance.budget - 2 * int64_t(s.host.row_bytes);
    if (!under) continue;
    int64_t held = allowance.beside + (decimation > 1 ? need : 0);
    if (allowance.selection) {
      const PreviewFit fit = fit_preview(s.plan.view_width, s.plan.view_height, s.plan.work_width,
                                         s.plan.work_height, decimation);
      held += selection_bytes(selection_sizes(fit.width, fit.height));
    }
    if (held > allowance.max_space) continue;
    if (decimation > 1 && row_cache_least_bytes() > allowance.max_space) return 0;
    return decimation;
  }
  return 0;
}

// Allocates the working image at the decimation chosen, or at the next one the plan takes
// when the block cannot be had; false when none can.
bool allocate_working_image(int16_t decimation, const Allowance& allowance) {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  for (; decimation != 0; decimation = choose_decimation(int16_t(decimation + 1), allowance)) {
    s.plan.decimation = decimation;
    set_working_size();
    if (decimation == 1) {
      host->inRect.bottom = host->filterRect.bottom;  // the whole area in one delivery
      s.plan.rows_collected = s.plan.work_height;
      return true;
    }
    s.plan.rows_collected = 0;
    s.plan.image_copy = block_alloc(uint32_t(int64_t(s.plan.work_height) * s.plan.work_row_bytes));
    if (s.plan.image_copy != nullptr) return true;
  }
  return false;
}

// The selection's bitmap and blocks, sized for the preview geometry of the final working
// image. Leaves mask_block null when anything fails.
void allocate_selection() {
  ModuleState& s = module_state;
  s.plan.mask_block = nullptr;
  const SelectionSizes sizes = selection_sizes(s.preview.preview_width, s.preview.preview_height);
  s.plan.mask_bitmap = create_bitmap(sizes.row_bytes * 8, s.preview.preview_height, nullptr);
  if (s.plan.mask_bitmap == nullptr) return;
  HDC window_dc = GetDC(host_window());
  s.plan.mask_dc = create_compatible_dc(window_dc);
  ReleaseDC(host_window(), window_dc);
  if (s.plan.mask_dc == nullptr) return;
  SelectObject(s.plan.mask_dc, s.plan.mask_bitmap);
  s.plan.mask_saved_block = block_alloc(uint32_t(sizes.size));
  if (s.plan.mask_saved_block == nullptr) return;
  s.plan.outline_block = block_alloc(uint32_t(sizes.row_bytes + sizes.size));
  if (s.plan.outline_block == nullptr) {
    block_free(s.plan.mask_saved_block);
    s.plan.mask_saved_block = nullptr;
    return;
  }
  s.plan.mask_block = block_alloc(uint32_t(2 * sizes.row_bytes + sizes.size));
  if (s.plan.mask_block == nullptr) {
    block_free(s.plan.outline_block);
    block_free(s.plan.mask_saved_block);
    s.plan.outline_block = nullptr;
    s.plan.mask_saved_block = nullptr;
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
    end_requests();
    record_run_settings();
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

  // The plan is made before anything is allocated, so that Start never holds more than
  // maxSpace, also on its way to a failure. The fixed allowance and the preview buffers come
  // off the host's allowance; the reserve keeps room for the row cache.
  const bool host_draws = host->displayPixels != nullptr;
  const bool selected = host->haveMask != 0;
  const int64_t reserve_size = (int64_t(s.host.row_bytes) + 1) * 32 + s.host.filter_height + 2000;
  const int64_t preview_buffers = kPreviewPixelsSize + (host_draws ? 0 : kDibBufferSize);
  Allowance allowance{};
  allowance.max_space = host->maxSpace;
  allowance.budget = allowance.max_space - reserve_size -
                     (s.host.bytes_per_pixel == 1 ? 512 : 4352) - preview_buffers -
                     (selected ? selection_share() : 0);
  allowance.beside = reserve_size + preview_buffers + s.host.record_bytes_made;
  allowance.selection = selected;
  const int16_t decimation = choose_decimation(1, allowance);
  HGLOBAL reserve = decimation != 0 ? block_alloc(uint32_t(reserve_size)) : nullptr;
  bool planned = reserve != nullptr && allocate_working_image(decimation, allowance);
  if (planned) {
    compute_preview_geometry(s.plan.view_width, s.plan.view_height);
    if (selected) {
      // The first Continue call brings the mask of the filter area's first row.
      host->maskRect = host->filterRect;
      host->maskRect.bottom = int16_t(host->maskRect.top + 1);
      allocate_selection();
    }
    s.plan.preview_block = block_alloc(kPreviewPixelsSize);
    if (!host_draws) s.plan.dib_block = block_alloc(kDibBufferSize);
    planned = s.plan.marker_bitmap != nullptr && s.plan.preview_block != nullptr &&
              (host_draws || s.plan.dib_block != nullptr) && s.plan.mask_block != nullptr;
  }
  if (!planned) {
    release_all();
    s.host.result_code = filter_api::memFullErr;
  } else {
    s.plan.run_active = true;
  }
  if (reserve != nullptr) block_free(reserve);
  s.plan.continue_phase = ContinuePhase::kCollecting;
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
