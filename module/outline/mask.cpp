// Selection mask sampling: one preview row per Continue call, from the host's one-row mask
// requests, and the per-pixel test the preview uses.
#include "module/host/host.h"
#include "module/outline/outline.h"
#include "module/preview/preview.h"

bool selection_present() {
  const ModuleState& s = module_state;
  return s.mask_block != nullptr && s.mask_block != kNotNeeded && s.mask_saved != nullptr;
}

void sample_mask_row() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  s.mask_guard = static_cast<uint8_t*>(block_lock(s.mask_block));
  s.mask_bits = s.mask_guard + s.mask_row_bytes;
  int16_t n = s.mask_rows_built;
  uint8_t* row = s.mask_bits + int32_t(n) * s.mask_row_bytes;
  const auto* mask = static_cast<const uint8_t*>(host->maskData);
  for (int i = 0; i < s.mask_row_bytes; ++i) row[i] = 0;
  if (mask != nullptr) {
    int64_t position = 32768;  // 16.16 filter-area column, half a pixel in
    int32_t bits = int32_t(s.mask_row_words) * 16;
    for (int32_t j = 0;;) {
      int32_t col = int32_t(position >> 16);
      if (mask[col] == 255) row[j >> 3] |= uint8_t(0x80 >> (j & 7));
      ++j;
      position += s.image_step;
      if ((position >> 16) >= s.filter_width || j >= bits) break;
    }
  }
  s.mask_rows_built = int16_t(n + 1);
  host->maskRect.top = int16_t(preview_to_image(int16_t(n + 1)) + host->filterRect.top);
  if (n + 1 != s.preview_height) {
    host->maskRect.bottom = int16_t(host->maskRect.top + 1);
    if (host->maskRect.bottom <= host->filterRect.bottom) {
      block_unlock(s.mask_block);
      return;
    }
  }
  // Every row sampled, or the next one would lie below the filter area: rows never sampled
  // stay unselected.
  s.mask_rows_built = s.preview_height;
  host->maskRect = filter_api::Rect{0, 0, 0, 0};
  block_unlock(s.mask_block);
}

uint8_t mask_test(int16_t x, int16_t y) {
  const ModuleState& s = module_state;
  if (y >= s.preview_height) y = int16_t(s.preview_height - 1);
  if (x >= s.preview_width) x = int16_t(s.preview_width - 1);
  int32_t offset = int32_t(y) * s.mask_row_bytes + uint16_t(x) / 8;
  return uint8_t(s.mask_saved[offset] & (0x80 >> (x & 7)));
}
