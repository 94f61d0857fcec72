// Marching ants: the selection's outline on the big preview as diagonal black and white
// stripes that crawl every 100 ms. The outline is painted white once with an OR blit; each
// tick then inverts only the outline pixels whose stripe changes, with XOR blits of the
// 32 x 32 blocks that hold any.
#include "module/module_state.h"
#include "module/outline/outline.h"
#include "module/ui/ui.h"

namespace {

// Byte r is F1 rotated left by r: pixel x of row y is set when (x + y) mod 8 is 7, 0, 1, 2, 3.
const uint8_t kStripePattern[8] = {0xF1, 0xE3, 0xC7, 0x8F, 0x1F, 0x3E, 0x7C, 0xF8};
// The 8-byte cycle of 09 rotated left, twice, so 8 bytes from any offset 0..7 are a cycle.
const uint8_t kTogglePattern[16] = {0x09, 0x12, 0x24, 0x48, 0x90, 0x21, 0x42, 0x84,
                                    0x09, 0x12, 0x24, 0x48, 0x90, 0x21, 0x42, 0x84};

}  // namespace

void build_outline() {
  ModuleState& s = module_state;
  outline_from_mask();
  s.selection.ants_drawn = 0;
  SetTimer(s.dialog.dialog_window, kAntsTimer, 100, nullptr);
}

int16_t ant_runs(int16_t y0, int16_t rows, int16_t* starts, int16_t* widths) {
  const ModuleState& s = module_state;
  int16_t count = 0;
  int16_t open = -1;  // start of the current run of non-empty blocks
  for (int16_t x0 = 0; x0 < s.preview.preview_width; x0 = int16_t(x0 + 32)) {
    if (block_has_ants(x0, y0, rows)) {
      if (open < 0) open = x0;
    } else if (open >= 0) {
      starts[count] = open;
      widths[count++] = int16_t(x0 - open);
      open = -1;
    }
  }
  if (open >= 0) {
    starts[count] = open;
    widths[count++] = int16_t(s.preview.preview_width - open);
  }
  return count;
}

void ants_tick() {
  ModuleState& s = module_state;
  HWND view = GetDlgItem(s.dialog.dialog_window, dialog_id::kBigView);
  HDC dc = GetDC(view);
  if (s.selection.ants_drawn == 0) {
    SetBitmapBits(s.plan.mask_bitmap, DWORD(s.selection.mask_size), s.selection.mask_bits);
    BitBlt(dc, 0, 0, s.preview.preview_width, s.preview.preview_height, s.plan.mask_dc, 0, 0,
           SRCPAINT);
    s.selection.ants_drawn = 1;
    s.selection.ants_pattern = kStripePattern;
    s.selection.ants_phase = 0;
  }
  const int32_t stride = s.selection.mask_row_bytes;
  for (int32_t y = 0; y < s.preview.preview_height; ++y)
    pattern_row(s.selection.mask_bits + y * stride, s.selection.outline_bits + y * stride,
                s.selection.ants_pattern[y & 7]);
  SetBitmapBits(s.plan.mask_bitmap, DWORD(s.selection.mask_size), s.selection.outline_bits);
  int16_t starts[16], widths[16];  // at most 512 / 32 blocks a band
  for (int16_t y0 = 0; y0 < s.preview.preview_height; y0 = int16_t(y0 + 32)) {
    auto rows = int16_t(s.preview.preview_height - y0 < 32 ? s.preview.preview_height - y0 : 32);
    int16_t runs = ant_runs(y0, rows, starts, widths);
    for (int16_t i = 0; i < runs; ++i)
      BitBlt(dc, starts[i], y0, widths[i], rows, s.plan.mask_dc, starts[i], y0, SRCINVERT);
  }
  ReleaseDC(view, dc);
  s.selection.ants_pattern = kTogglePattern + s.selection.ants_phase;
  s.selection.ants_phase = int16_t((s.selection.ants_phase - 1) & 7);
  MSG message;
  while (PeekMessageA(&message, s.dialog.dialog_window, WM_TIMER, WM_TIMER, PM_REMOVE)) {
  }
}

void restart_ants() { module_state.selection.ants_drawn = 0; }
