// Preview rendering: preview pixels, plain or through the effect, with the selection left
// unfiltered.
#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/outline/outline.h"
#include "module/preview/preview.h"

namespace {

bool selection_present() {
  const ModuleState& s = module_state;
  return s.mask_block != nullptr && s.mask_block != kNotNeeded && s.mask_saved != nullptr;
}

bool host_floating() {
  const filter_api::FilterRecord* host = module_state.filter_record;
  return host != nullptr && host->isFloating != 0;
}

}  // namespace

void preview_pixel(int16_t col, int16_t row, uint8_t* dst) {
  ModuleState& s = module_state;
  uint8_t buffer[4] = {0, 0, 0, 0};
  const uint8_t* source = buffer;
  const bool selected = !selection_present() || mask_test(col, row) != 0;
  if (s.show_result != 0 && selected) {
    composite_pixel(buffer);
  } else if (!selected && host_floating()) {
    buffer[0] = buffer[1] = buffer[2] = buffer[3] = 255;
  } else {
    source = s.current_row + int32_t(s.pos_h >> 16) * s.bytes_per_pixel;
  }
  copy_bytes(source, dst, uint16_t(s.bytes_per_pixel));
  s.pos_h += s.preview_step;
}
