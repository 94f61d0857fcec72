// Preview rendering: the big preview in bands of four rows, plain or through the effect, with
// the selection left unfiltered; the first paint's sizing of both views; and the repair of
// the small block under the centre marker.
#include <algorithm>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"
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
  ScreenToClient(module_state.dialog.dialog_window, &corner);
  int frame_w = (outer.right - outer.left) - client.right;
  int frame_h = (outer.bottom - outer.top) - client.bottom;
  MoveWindow(view, corner.x, corner.y, width + frame_w, height + frame_h, TRUE);
}

// The centre into the preview: from above, as the stored centre may lie past it, and from
// below for a damaged record's negative centre.
void clamp_center() {
  ModuleState& s = module_state;
  if (s.preview.center_x > s.preview.preview_width - 1)
    s.preview.center_x = int16_t(s.preview.preview_width - 1);
  if (s.preview.center_y > s.preview.preview_height - 1)
    s.preview.center_y = int16_t(s.preview.preview_height - 1);
  if (s.preview.center_x < 0) s.preview.center_x = 0;
  if (s.preview.center_y < 0) s.preview.center_y = 0;
}

// The first paint: the centre, both views sized to the preview, the screen output prepared.
void first_paint(HWND big, HWND small) {
  ModuleState& s = module_state;
  load_center();
  if (s.preview.center_x == 0) {
    s.preview.center_x = int16_t(s.preview.preview_width / 2);
    s.preview.center_y = int16_t(s.preview.preview_height / 2);
  }
  clamp_center();
  size_view(big, s.preview.preview_width, s.preview.preview_height);
  size_view(small, int16_t(s.preview.preview_width / 2), int16_t(s.preview.preview_height / 2));
  // A view that already had its size is not repainted by the move (Windows sends nothing
  // then): ask for both paints, so the preview is drawn whatever the picture's shape.
  InvalidateRect(big, nullptr, FALSE);
  InvalidateRect(small, nullptr, FALSE);
  setup_display();
  s.preview.dialog_ready = 1;
}

// The working image's row `row`.
const uint8_t* work_row(int32_t row) {
  const ModuleState& s = module_state;
  return s.plan.image_base + int64_t(row) * s.plan.work_row_bytes;
}

const uint8_t* lookup_work_row(const void*, int32_t row) { return work_row(row); }

bool host_floating() {
  const filter_api::FilterRecord* host = module_state.host.filter_record;
  return host != nullptr && host->isFloating != 0;
}

// Preview pixels first .. first + count - 1 of preview row `row`, whose working row is at the
// 16.16 position pos_v, into dst, each computed at its own position: filtered while the
// result is shown, except unselected pixels, which stay plain (all bytes 255 when the host
// filters a floating selection).
void render_pixels(int16_t row, int32_t pos_v, int16_t first, int16_t count, uint8_t* dst) {
  const ModuleState& s = module_state;
  if (count <= 0) return;
  const uint8_t* current = work_row(pos_v >> 16);
  const int64_t start = int64_t(first) * s.preview.preview_step + 32768;
  if (s.dialog.show_result != 0) {
    RowPlan plan;
    plan_row(s.preview.preview_effect, s.preview.preview_frame, pos_v, start,
             s.preview.preview_step, count, &plan);
    const uint8_t* rows[kMaxSourceRows];
    for (int32_t i = 0; i < plan.row_count; ++i) rows[i] = work_row(plan.rows[i]);
    render_row(s.preview.preview_effect, s.preview.preview_frame, plan, rows, dst);
  } else {
    sample_row(current, start, s.preview.preview_step, count, s.host.bytes_per_pixel, dst);
  }
  const bool floating = host_floating();
  if (!selection_present() || (s.dialog.show_result == 0 && !floating)) return;
  const int16_t bytes = s.host.bytes_per_pixel;
  for (int16_t c = 0; c < count; ++c) {
    if (mask_test(int16_t(first + c), row) != 0) continue;
    uint8_t* to = dst + c * bytes;
    if (floating) {
      for (int16_t b = 0; b < bytes; ++b) to[b] = 255;
    } else {
      copy_bytes(to, current + ((start + int64_t(c) * s.preview.preview_step) >> 16) * bytes,
                 uint16_t(bytes));
    }
  }
}

// The working column (or row) that preview column (or row) p falls on.
int32_t work_index(int32_t p) {
  return int32_t((int64_t(p) * module_state.preview.preview_step + 32768) >> 16);
}

}  // namespace

void render_preview_row(int16_t row, int32_t pos_v, uint8_t* dst) {
  const ModuleState& s = module_state;
  const int16_t bytes = s.host.bytes_per_pixel;
  auto column_at = [&](int32_t col) {
    return (int64_t(col) * s.preview.preview_step + 32768) >> 16;
  };
  int16_t count = s.preview.preview_width;
  while (count > 0 && column_at(count - 1) >= s.plan.work_width) --count;
  render_pixels(row, pos_v, 0, count, dst);
  if (s.preview.preview_step < 65536) {
    for (int16_t col = 1; col < count; ++col)
      if (column_at(col) == column_at(col - 1))
        copy_bytes(dst + col * bytes, dst + (col - 1) * bytes, uint16_t(bytes));
  }
  for (int16_t col = count; col > 0 && col < s.preview.preview_width; ++col)
    copy_bytes(dst + col * bytes, dst + (col - 1) * bytes, uint16_t(bytes));
}

void set_preview_effect(const EffectSettings& settings, int16_t origin_h, int16_t origin_v) {
  ModuleState& s = module_state;
  s.preview.preview_effect =
      derive_geometry(settings, s.preview.preview_extent, s.preview.preview_step);
  s.preview.preview_frame = EffectFrame{origin_h, origin_v, s.plan.work_width, s.plan.work_height,
                                        s.host.bytes_per_pixel};
}

void preview_pixel(int16_t col, int16_t row, int32_t pos_h, int32_t pos_v, uint8_t* dst) {
  const ModuleState& s = module_state;
  uint8_t buffer[4] = {0, 0, 0, 0};
  const uint8_t* source = buffer;
  const uint8_t* current = work_row(pos_v >> 16);
  const bool selected = !selection_present() || mask_test(col, row) != 0;
  if (s.dialog.show_result != 0 && selected) {
    composite_pixel(s.preview.preview_effect, s.preview.preview_frame,
                    RowSource{current, lookup_work_row, nullptr}, pos_h, pos_v, buffer);
  } else if (!selected && host_floating()) {
    buffer[0] = buffer[1] = buffer[2] = buffer[3] = 255;
  } else {
    source = current + int32_t(pos_h >> 16) * s.host.bytes_per_pixel;
  }
  copy_bytes(dst, source, uint16_t(s.host.bytes_per_pixel));
}

void render_big_preview() {
  ModuleState& s = module_state;
  HWND big = GetDlgItem(s.dialog.dialog_window, dialog_id::kBigView);
  HWND small = GetDlgItem(s.dialog.dialog_window, dialog_id::kSmallView);
  GetClientRect(small, &s.preview.small_view_rect);
  if (s.plan.preview_pixels == nullptr || s.plan.image_base == nullptr ||
      s.preview.preview_width < 1 || s.preview.preview_height < 1)
    return;
  if (s.preview.dialog_ready == 0) {
    first_paint(big, small);  // nothing is rendered: the resize brings the next paint
    return;
  }
  clamp_center();

  HDC dc = GetDC(big);
  const int32_t row_len = int32_t(s.preview.preview_width) * s.host.bytes_per_pixel;
  const uint8_t* last_ring = nullptr;  // ring row holding the last working row rendered
  int16_t last_work_row = -1;
  int32_t pos_v = 32768;
  int16_t i = 0;
  auto put_band = [&](int16_t rows) {
    put_preview_rows(dc, 0, int16_t(i - (rows - 1)), s.preview.preview_width, rows);
  };
  for (; i < s.preview.preview_height && (pos_v >> 16) < s.plan.work_height; ++i) {
    uint8_t* dst = s.plan.preview_pixels + (i & 3) * row_len;
    auto working_row = int16_t(pos_v >> 16);
    if (working_row == last_work_row) {
      if (dst != last_ring) copy_bytes(dst, last_ring, uint16_t(row_len));
    } else {
      render_preview_row(i, pos_v, dst);
      last_ring = dst;
      last_work_row = working_row;
    }
    if ((i & 3) == 3) put_band(4);
    pos_v += s.preview.preview_step;
  }
  // Rows past the working image (an enlarged preview) repeat the last one rendered.
  for (; last_ring != nullptr && i < s.preview.preview_height; ++i) {
    uint8_t* dst = s.plan.preview_pixels + (i & 3) * row_len;
    if (dst != last_ring) copy_bytes(dst, last_ring, uint16_t(row_len));
    if ((i & 3) == 3) put_band(4);
  }
  if ((i & 3) != 0)
    put_preview_rows(dc, 0, int16_t(i - (i & 3)), s.preview.preview_width, int16_t(i & 3));
  ReleaseDC(big, dc);
  guides_painted_over();
  redraw_overlays(Overlays::kBigView);
  restart_ants();
}

void restore_marker_area(Overlays covered) {
  ModuleState& s = module_state;
  if (covered != Overlays::kBigView) {
    HWND small = GetDlgItem(s.dialog.dialog_window, dialog_id::kSmallView);
    HDC dc = GetDC(small);
    FillRect(dc, &s.preview.small_view_rect, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    ReleaseDC(small, dc);
  }
  if (covered == Overlays::kSmallView) return;
  const bool lines_shown = s.dialog.guides_drawn == 1 && s.preview.dialog_ready != 0;
  toggle_big_guides(0, s.preview.center_x, s.preview.center_y);
  if (covered == Overlays::kGuidesOnly) {
    // The marker stays, but it was drawn over the lines, so taking them away inverted their
    // pixels inside its white patch. Drawing the marker again makes it whole: over its own
    // picture it changes nothing.
    if (lines_shown) draw_marker(0);
    return;
  }
  if (s.plan.preview_pixels == nullptr || s.plan.image_base == nullptr) return;

  // The 8 x 8 block under the marker, clipped at 0 and to the working image; within the
  // preview, columns and rows past the working image repeat the last one, as a full render
  // shows them.
  auto x0 = int16_t(s.preview.center_x - 4 < 0 ? 0 : s.preview.center_x - 4);
  auto y0 = int16_t(s.preview.center_y - 4 < 0 ? 0 : s.preview.center_y - 4);
  auto x1 = int16_t(s.preview.center_x + 4);
  auto y1 = int16_t(s.preview.center_y + 4);
  while (x1 > x0 && work_index(x1 - 1) >= s.plan.work_width) --x1;
  while (y1 > y0 && work_index(y1 - 1) >= s.plan.work_height) --y1;
  if (x1 <= x0 || y1 <= y0) return;
  auto shown_x1 = int16_t(
      std::max<int32_t>(x1, std::min<int32_t>(s.preview.center_x + 4, s.preview.preview_width)));
  auto shown_y1 = int16_t(
      std::max<int32_t>(y1, std::min<int32_t>(s.preview.center_y + 4, s.preview.preview_height)));

  const int16_t bytes = s.host.bytes_per_pixel;
  const int32_t row_len = int32_t(shown_x1 - x0) * bytes;
  uint8_t* dst = s.plan.preview_pixels;
  int32_t pos_v = int32_t(y0) * s.preview.preview_step + 32768;
  for (int16_t row = y0; row < shown_y1; ++row, dst += row_len) {
    if (row >= y1) {
      copy_bytes(dst, dst - row_len, uint16_t(row_len));
      continue;
    }
    render_pixels(row, pos_v, x0, int16_t(x1 - x0), dst);
    for (int16_t col = x1; col < shown_x1; ++col)
      copy_bytes(dst + (col - x0) * bytes, dst + (col - x0 - 1) * bytes, uint16_t(bytes));
    pos_v += s.preview.preview_step;
  }
  HWND big = GetDlgItem(s.dialog.dialog_window, dialog_id::kBigView);
  HDC dc = GetDC(big);
  put_preview_rows(dc, x0, y0, int16_t(shown_x1 - x0), int16_t(shown_y1 - y0));
  ReleaseDC(big, dc);
  // The block lost any stripes of the outline it held; the next tick paints the outline afresh
  // (otherwise its inversions would land on plain pixels there).
  restart_ants();
}
