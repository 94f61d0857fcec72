// Preview geometry: how the working image fits the big preview, the 16.16 scales of a
// preview pixel, and the centre conversions. Integer arithmetic only; no window calls.
#include <algorithm>
#include <cstdint>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"

PreviewFit fit_preview(int16_t width, int16_t height, int16_t work_width, int16_t work_height,
                       int16_t decimation) {
  PreviewFit fit{};
  fit.width = std::min<int16_t>(width, 512);
  fit.height = std::min<int16_t>(height, 512);
  int32_t ratio_h = int32_t(work_width) * 65536 / fit.width;
  int32_t ratio_v = int32_t(work_height) * 65536 / fit.height;
  if (ratio_v < ratio_h) {
    fit.step = ratio_h;
    fit.height = int16_t(int32_t(work_height) * fit.width / work_width);
  } else {
    fit.step = ratio_v;
    fit.width = int16_t(int32_t(work_width) * fit.height / work_height);
  }
  // A working image far narrower or flatter than the view rounds one side down to nothing;
  // the preview keeps at least one pixel each way.
  fit.width = std::max<int16_t>(fit.width, 1);
  fit.height = std::max<int16_t>(fit.height, 1);
  // Only a view a few pixels wide over a huge image could take this past 32 bits.
  fit.image_step = int32_t(std::min<int64_t>(int64_t(decimation) * fit.step, INT32_MAX));
  return fit;
}

int16_t compute_preview_geometry(int16_t width, int16_t height) {
  ModuleState& s = module_state;
  const PreviewFit fit =
      fit_preview(width, height, s.plan.work_width, s.plan.work_height, s.plan.decimation);
  s.preview.preview_width = fit.width;
  s.preview.preview_height = fit.height;
  s.preview.preview_step = fit.step;
  s.preview.image_step = fit.image_step;
  s.preview.preview_extent = std::max(fit.width, fit.height);
  return s.preview.preview_extent;
}

int16_t preview_to_work(int16_t p) {
  return int16_t((int64_t(p) * module_state.preview.preview_step + 32768) >> 16);
}

int16_t preview_to_image(int16_t p) {
  return int16_t((int64_t(p) * module_state.preview.image_step + 32768) >> 16);
}

int16_t image_to_preview(int16_t v) {
  int64_t step = module_state.preview.image_step;
  if (step <= 0) return 0;
  return int16_t((int64_t(v) * 65536 + step / 2) / step);
}

void load_center() {
  ModuleState& s = module_state;
  ParameterRecord* record = lock_record();
  if (record == nullptr) {
    s.preview.center_x = 0;
    s.preview.center_y = 0;
    return;
  }
  s.preview.center_x = image_to_preview(record->center_h);
  s.preview.center_y = image_to_preview(record->center_v);
  unlock_record();
}

void set_center(int16_t x, int16_t y) {
  module_state.preview.center_x = x;
  module_state.preview.center_y = y;
}

void reset_preview_views() { module_state.preview.dialog_ready = 0; }
