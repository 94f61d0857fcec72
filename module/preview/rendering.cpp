// Preview rendering: the big preview in bands of four rows, plain or through the effect, with
// the selection left unfiltered; the first paint's sizing of both views; and the repair of
// the small block under the centre marker.
#include <algorithm>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/outline/outline.h"
#include "module/preview/preview.h"
#include "module/ui/ui.h"

namespace {

// Moves a view, keeping its top-left corner, so that its client area is width x height
// (its border comes on top).
void size_view(HWND view, int16_t width, int16_t height) {
  RECT outer{}, client{};
  GetWindowRect(view, &outer);
  GetClientRect(view, &client);
  POINT corner{outer.left, outer.top};
  ScreenToClient(module_state.dialog_window, &corner);
  int frame_w = (outer.right - outer.left) - client.right;
  int frame_h = (outer.bottom - outer.top) - client.bottom;
  MoveWindow(view, corner.x, corner.y, width + frame_w, height + frame_h, TRUE);
}

// The centre into the preview: from above, as the stored centre may lie past it, and from
// below for a damaged record's negative centre.
void clamp_center() {
  ModuleState& s = module_state;
  if (s.center_x > s.preview_width - 1) s.center_x = int16_t(s.preview_width - 1);
  if (s.center_y > s.preview_height - 1) s.center_y = int16_t(s.preview_height - 1);
  if (s.center_x < 0) s.center_x = 0;
  if (s.center_y < 0) s.center_y = 0;
}

// The first paint: the centre, both views sized to the preview, the screen output prepared.
void first_paint(HWND big, HWND small) {
  ModuleState& s = module_state;
  load_center();
  if (s.center_x == 0) {
    s.center_x = int16_t(s.preview_width / 2);
    s.center_y = int16_t(s.preview_height / 2);
  }
  clamp_center();
  size_view(big, s.preview_width, s.preview_height);
  size_view(small, int16_t(s.preview_width / 2), int16_t(s.preview_height / 2));
  setup_display();
  s.dialog_ready = 1;
}

// Preview row `row` from working row `work_row` into dst, each distinct working column
// computed once; columns past the working image repeat the last one rendered.
void render_row(uint8_t* dst, int16_t row, int16_t work_row) {
  ModuleState& s = module_state;
  const int16_t bytes = s.bytes_per_pixel;
  s.current_row = s.image_base + int32_t(work_row) * s.work_row_bytes;
  s.pos_h = 32768;
  int16_t last_col = -1;
  int16_t col = 0;
  while (col < s.preview_width && (s.pos_h >> 16) < s.work_width) {
    auto work_col = int16_t(s.pos_h >> 16);
    if (work_col == last_col) {
      copy_bytes(dst - bytes, dst, uint16_t(bytes));
      s.pos_h += s.preview_step;
    } else {
      last_col = work_col;
      preview_pixel(col, row, dst);
    }
    ++col;
    dst += bytes;
  }
  for (; col > 0 && col < s.preview_width; ++col, dst += bytes)
    copy_bytes(dst - bytes, dst, uint16_t(bytes));
}

// The working column (or row) that preview column (or row) p falls on.
int32_t work_index(int32_t p) {
  return int32_t((int64_t(p) * module_state.preview_step + 32768) >> 16);
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

void render_big_preview() {
  ModuleState& s = module_state;
  HWND big = GetDlgItem(s.dialog_window, kBigView);
  HWND small = GetDlgItem(s.dialog_window, kSmallView);
  GetClientRect(small, &s.small_view_rect);
  if (s.preview_pixels == nullptr || s.image_base == nullptr || s.preview_width < 1 ||
      s.preview_height < 1)
    return;
  if (s.dialog_ready == 0) {
    first_paint(big, small);  // nothing is rendered: the resize brings the next paint
    return;
  }
  clamp_center();

  HDC dc = GetDC(big);
  const int32_t row_len = int32_t(s.preview_width) * s.bytes_per_pixel;
  const uint8_t* last_ring = nullptr;  // ring row holding the last working row rendered
  int16_t last_work_row = -1;
  s.pos_v = 32768;
  int16_t i = 0;
  auto put_band = [&](int16_t rows) {
    put_preview_rows(dc, 0, int16_t(i - (rows - 1)), s.preview_width, rows);
  };
  for (; i < s.preview_height && (s.pos_v >> 16) < s.work_height; ++i) {
    uint8_t* dst = s.preview_pixels + (i & 3) * row_len;
    auto work_row = int16_t(s.pos_v >> 16);
    if (work_row == last_work_row) {
      if (dst != last_ring) copy_bytes(last_ring, dst, uint16_t(row_len));
    } else {
      render_row(dst, i, work_row);
      last_ring = dst;
      last_work_row = work_row;
    }
    if ((i & 3) == 3) put_band(4);
    s.pos_v += s.preview_step;
  }
  // Rows past the working image (an enlarged preview) repeat the last one rendered.
  for (; last_ring != nullptr && i < s.preview_height; ++i) {
    uint8_t* dst = s.preview_pixels + (i & 3) * row_len;
    if (dst != last_ring) copy_bytes(last_ring, dst, uint16_t(row_len));
    if ((i & 3) == 3) put_band(4);
  }
  if ((i & 3) != 0) put_preview_rows(dc, 0, int16_t(i - (i & 3)), s.preview_width, int16_t(i & 3));
  ReleaseDC(big, dc);
  s.guides_drawn = 0;
  redraw_overlays(1);
  s.ants_drawn = 0;
}

void restore_marker_area(int16_t phase) {
  ModuleState& s = module_state;
  if (phase <= 0) {
    HWND small = GetDlgItem(s.dialog_window, kSmallView);
    HDC dc = GetDC(small);
    FillRect(dc, &s.small_view_rect, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    ReleaseDC(small, dc);
  }
  if (phase == -1) return;
  const bool lines_shown = s.guides_drawn == 1 && s.dialog_ready != 0;
  toggle_big_guides(0, s.center_x, s.center_y);
  if (phase < 0 || phase >= 2) {
    // The marker stays, but it was drawn over the lines, so taking them away inverted their
    // pixels inside its white patch. Drawing the marker again makes it whole: over its own
    // picture it changes nothing.
    if (lines_shown) draw_marker(0);
    return;
  }
  if (s.preview_pixels == nullptr || s.image_base == nullptr) return;

  // The 8 x 8 block under the marker, clipped at 0 and to the working image; within the
  // preview, columns and rows past the working image repeat the last one, as a full render
  // shows them.
  auto x0 = int16_t(s.center_x - 4 < 0 ? 0 : s.center_x - 4);
  auto y0 = int16_t(s.center_y - 4 < 0 ? 0 : s.center_y - 4);
  auto x1 = int16_t(s.center_x + 4);
  auto y1 = int16_t(s.center_y + 4);
  while (x1 > x0 && work_index(x1 - 1) >= s.work_width) --x1;
  while (y1 > y0 && work_index(y1 - 1) >= s.work_height) --y1;
  if (x1 <= x0 || y1 <= y0) return;
  auto shown_x1 =
      int16_t(std::max<int32_t>(x1, std::min<int32_t>(s.center_x + 4, s.preview_width)));
  auto shown_y1 =
      int16_t(std::max<int32_t>(y1, std::min<int32_t>(s.center_y + 4, s.preview_height)));

  const int16_t bytes = s.bytes_per_pixel;
  const int32_t row_len = int32_t(shown_x1 - x0) * bytes;
  uint8_t* dst = s.preview_pixels;
  s.pos_v = int32_t(y0) * s.preview_step + 32768;
  for (int16_t row = y0; row < shown_y1; ++row) {
    if (row >= y1) {
      copy_bytes(dst - row_len, dst, uint16_t(row_len));
      dst += row_len;
      continue;
    }
    s.current_row = s.image_base + int32_t(s.pos_v >> 16) * s.work_row_bytes;
    s.pos_h = int32_t(x0) * s.preview_step + 32768;
    for (int16_t col = x0; col < shown_x1; ++col, dst += bytes) {
      if (col < x1)
        preview_pixel(col, row, dst);
      else
        copy_bytes(dst - bytes, dst, uint16_t(bytes));
    }
    s.pos_v += s.preview_step;
  }
  HWND big = GetDlgItem(s.dialog_window, kBigView);
  HDC dc = GetDC(big);
  put_preview_rows(dc, x0, y0, int16_t(shown_x1 - x0), int16_t(shown_y1 - y0));
  ReleaseDC(big, dc);
  // The block lost any stripes of the outline it held; the next tick paints the outline afresh
  // (otherwise its inversions would land on plain pixels there).
  s.ants_drawn = 0;
}
