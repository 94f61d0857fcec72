// Selection mask sampling: one preview row per Continue call, from the host's one-row mask
// requests, and the per-pixel test the preview uses.
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/outline/outline.h"
#include "module/preview/preview.h"

bool selection_present() {
  const ModuleState& s = module_state;
  return s.plan.mask_block != nullptr && s.plan.mask_block != kNotNeeded &&
         s.selection.mask_saved != nullptr;
}

void sample_mask_row() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  s.selection.mask_guard = static_cast<uint8_t*>(block_lock(s.plan.mask_block));
  s.selection.mask_bits = s.selection.mask_guard + s.selection.mask_row_bytes;
  int16_t n = s.selection.mask_rows_built;
  uint8_t* row = s.selection.mask_bits + int32_t(n) * s.selection.mask_row_bytes;
  const auto* mask = static_cast<const uint8_t*>(host->maskData);
  for (int i = 0; i < s.selection.mask_row_bytes; ++i) row[i] = 0;
  if (mask != nullptr) {
    int64_t position = 32768;  // 16.16 filter-area column, half a pixel in
    int32_t bits = int32_t(s.selection.mask_row_words) * 16;
    for (int32_t j = 0;;) {
      int32_t col = int32_t(position >> 16);
      if (mask[col] == 255) row[j >> 3] |= uint8_t(0x80 >> (j & 7));
      ++j;
      position += s.preview.image_step;
      if ((position >> 16) >= s.host.filter_width || j >= bits) break;
    }
  }
  s.selection.mask_rows_built = int16_t(n + 1);
  host->maskRect.top = int16_t(preview_to_image(int16_t(n + 1)) + host->filterRect.top);
  if (n + 1 != s.preview.preview_height) {
    host->maskRect.bottom = int16_t(host->maskRect.top + 1);
    if (host->maskRect.bottom <= host->filterRect.bottom) {
      block_unlock(s.plan.mask_block);
      return;
    }
  }
  // Every row sampled, or the next one would lie below the filter area: rows never sampled
  // stay unselected.
  s.selection.mask_rows_built = s.preview.preview_height;
  host->maskRect = filter_api::Rect{0, 0, 0, 0};
  block_unlock(s.plan.mask_block);
}

uint8_t mask_test(int16_t x, int16_t y) {
  const ModuleState& s = module_state;
  if (y >= s.preview.preview_height) y = int16_t(s.preview.preview_height - 1);
  if (x >= s.preview.preview_width) x = int16_t(s.preview.preview_width - 1);
  int32_t offset = int32_t(y) * s.selection.mask_row_bytes + uint16_t(x) / 8;
  return uint8_t(s.selection.mask_saved[offset] & (0x80 >> (x & 7)));
}

int16_t mask_row_bytes_for(int16_t preview_width) {
  return int16_t(2 * ((preview_width + 15) >> 4));
}

void plan_selection_rows(bool selected) {
  SelectionState& s = module_state.selection;
  const PreviewState& preview = module_state.preview;
  s.mask_rows_built = selected ? 0 : kNoMaskToBuild;
  s.mask_row_bytes = mask_row_bytes_for(preview.preview_width);
  s.mask_row_words = int16_t(s.mask_row_bytes / 2);
  s.mask_size = int32_t(s.mask_row_bytes) * preview.preview_height;
}

void lock_selection(HGLOBAL mask, HGLOBAL outline, HGLOBAL saved) {
  SelectionState& s = module_state.selection;
  s.mask_guard = static_cast<uint8_t*>(block_lock(mask));
  s.mask_bits = s.mask_guard + s.mask_row_bytes;
  s.outline_bits = static_cast<uint8_t*>(block_lock(outline));
  s.mask_saved = static_cast<uint8_t*>(block_lock(saved));
}

void forget_selection() {
  SelectionState& s = module_state.selection;
  s.mask_guard = s.mask_bits = s.outline_bits = s.mask_saved = nullptr;
}
