// The effect laid out over the operation's area exactly as the zorbel command's run of the
// module lays it out on Linux: the memory plan's decimation, the fit of the working image in
// the dialog's big view, and from them the final pass's scale, bands and centre.
#include <algorithm>
#include <cmath>

#include "gegl_op/gegl_op.h"

namespace gegl_op {
namespace {

// The module's fixed allowances, in bytes: the preview pixel rows it keeps (the command
// offers displayPixels, so it needs no DIB of its own), its own allowance beside the working
// image, the reserve that keeps room for the row cache, and the cache's least size.
constexpr int64_t kPreviewPixelsBytes = 8192;
constexpr int64_t kCacheReserveBytes = 2000;
constexpr int64_t kParameterRecordBytes = 20;
constexpr int64_t kFewestCacheSlots = 35;

int64_t fixed_allowance(int16_t colour_planes) { return colour_planes == 1 ? 512 : 4352; }

struct Fit {
  int32_t width, height;
  int32_t image_step;  // 16.16 area pixels per preview pixel
};

// How a work_width x work_height working image, reduced by decimation, fits the big view.
Fit fit_view(int32_t work_width, int32_t work_height, int32_t decimation) {
  Fit fit{std::min<int32_t>(kCommandView, 512), std::min<int32_t>(kCommandView, 512), 0};
  const int32_t ratio_h = work_width * 65536 / fit.width;
  const int32_t ratio_v = work_height * 65536 / fit.height;
  int32_t step;
  if (ratio_v < ratio_h) {
    step = ratio_h;
    fit.height = work_height * fit.width / work_width;
  } else {
    step = ratio_v;
    fit.width = work_width * fit.height / work_height;
  }
  fit.width = std::max(fit.width, 1);
  fit.height = std::max(fit.height, 1);
  fit.image_step = int32_t(std::min<int64_t>(int64_t{decimation} * step, INT32_MAX));
  return fit;
}

}  // namespace

int16_t center_pixel(double fraction, int32_t side) {
  if (fraction == 0.5) return int16_t(side / 2);
  const double value = (100.0 * fraction) * side / 100.0 + 0.5;
  return int16_t(std::clamp(std::floor(value), -32768.0, 32767.0));
}

int16_t command_decimation(int32_t width, int32_t height, int16_t colour_planes,
                           int64_t max_space) {
  const int64_t row_bytes = int64_t{width} * colour_planes;
  const int64_t reserve = (row_bytes + 1) * 32 + height + kCacheReserveBytes;
  const int64_t budget = max_space - reserve - fixed_allowance(colour_planes) - kPreviewPixelsBytes;
  const int64_t beside = reserve + kPreviewPixelsBytes;
  const int64_t least_cache =
      (row_bytes + 1) * kFewestCacheSlots + height + kCacheReserveBytes + kParameterRecordBytes;
  for (int16_t decimation = 1; decimation <= 5; ++decimation) {
    const int64_t work_width = width / decimation, work_height = height / decimation;
    if (work_width == 0 || work_height == 0) break;
    const int64_t need = work_height * work_width * colour_planes;
    const bool under = decimation == 1 ? need < budget : need <= budget - 2 * row_bytes;
    if (!under) continue;
    if (beside + (decimation > 1 ? need : 0) > max_space) continue;
    if (decimation > 1 && least_cache > max_space) break;
    return decimation;
  }
  // No plan fits: the module would refuse the run. The whole area at full scale is the
  // nearest picture of what the user asked for.
  return 1;
}

Layout command_layout(const Settings& settings, int32_t width, int32_t height,
                      int16_t colour_planes, int64_t max_space) {
  const int16_t decimation = command_decimation(width, height, colour_planes, max_space);
  const Fit fit = fit_view(width / decimation, height / decimation, decimation);
  const EffectSettings effect{int16_t(settings.regions), int16_t(settings.intensity),
                              int16_t(settings.angle),   int16_t(settings.spacing),
                              int16_t(settings.mode),    int16_t(settings.fade ? 1 : 0)};
  Layout layout{};
  layout.geometry =
      derive_geometry(effect, int16_t(std::max(fit.width, fit.height)), fit.image_step);
  layout.frame =
      EffectFrame{center_pixel(settings.center_x, width), center_pixel(settings.center_y, height),
                  int16_t(width), int16_t(height), colour_planes};
  return layout;
}

void plan_area_row(const Layout& layout, int32_t row, int32_t first, int32_t count, RowPlan* plan) {
  plan_row(layout.geometry, layout.frame, int32_t(uint32_t(row) << 16) | 0x8000,
           (int64_t{first} << 16) | 0x8000, 0x10000, count, plan);
}

}  // namespace gegl_op
