// The two preview windows: their classes, their window procedures (painting and the centre
// drag), the guide lines, the centre marker and the drawing half of the redraw protocol.
#include <cmath>
#include <cstdint>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"
#include "module/ui/ui.h"

namespace {

HWND view_window(int16_t view) {
  return GetDlgItem(module_state.dialog.dialog_window,
                    view == 0 ? dialog_id::kBigView : dialog_id::kSmallView);
}

// Both views: paint, and a drag of the centre from a press to the release.
LRESULT view_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam, int16_t view) {
  ModuleState& s = module_state;
  int32_t& capture = view == 0 ? s.dialog.big_capture : s.dialog.small_capture;
  auto x = int16_t(LOWORD(lparam));
  auto y = int16_t(HIWORD(lparam));
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      if (view == 0) {
        render_big_preview();
      } else {
        restore_marker_area(Overlays::kSmallView);
        redraw_overlays(Overlays::kSmallView);
      }
      EndPaint(window, &paint);
      return 0;
    }
    case WM_LBUTTONDOWN:
      capture = 1;
      SetCapture(window);
      drag_center(x, y, view);
      return 0;
    case WM_MOUSEMOVE:
      if (capture != 0) drag_center(x, y, view);
      return 0;
    case WM_LBUTTONUP:
      if (capture != 0) {
        capture = 0;
        ReleaseCapture();
      }
      return 0;
    case WM_CAPTURECHANGED:
      // Another window took the mouse (a message box, a task switch): the drag is over, and
      // moving over the view without the button must not move the centre.
      capture = 0;
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

}  // namespace

ATOM register_view_class(bool small) {
  WNDCLASSA window_class{};
  window_class.style = CS_VREDRAW | CS_HREDRAW;
  window_class.lpfnWndProc = small ? small_procedure : big_procedure;
  window_class.hInstance = module_state.host.module_instance;
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(intptr_t{COLOR_WINDOW + 1});
  window_class.lpszClassName = small ? "small_view" : "big_view";
  return RegisterClassA(&window_class);
}

LRESULT CALLBACK big_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return view_procedure(window, message, wparam, lparam, 0);
}

LRESULT CALLBACK small_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return view_procedure(window, message, wparam, lparam, 1);
}

void drag_center(int16_t x, int16_t y, int16_t view) {
  ModuleState& s = module_state;
  if (view != 0) {
    x = int16_t(x * 2);
    y = int16_t(y * 2);
  }
  if (x < 0) x = 0;
  if (x > s.preview.preview_width - 1) x = int16_t(s.preview.preview_width - 1);
  if (y < 0) y = 0;
  if (y > s.preview.preview_height - 1) y = int16_t(s.preview.preview_height - 1);
  if (x == s.preview.center_x && y == s.preview.center_y) return;
  // Within one 2 x 2 cell the small view's centre stays where it is.
  const bool same_cell = (((y ^ s.preview.center_y) | (x ^ s.preview.center_x)) & 0xFFFE) == 0;
  const Overlays covered = same_cell ? Overlays::kBigView : Overlays::kBothViews;
  restore_marker_area(covered);
  set_center(x, y);
  redraw_overlays(covered);
}

void draw_guide_lines(int16_t x, int16_t y, int16_t view) {
  ModuleState& s = module_state;
  if (s.preview.dialog_ready == 0 || s.settings.regions == kInvalidNumber ||
      s.settings.angle == kInvalidNumber || s.settings.spacing == kInvalidNumber)
    return;
  HWND window = view_window(view);
  HDC dc = GetDC(window);
  // The lines run closer to horizontal when the direction is closer to vertical.
  const bool closer_to_horizontal = (((s.settings.angle / 45) + 1) & 2) != 0;
  const double radians = s.settings.angle * kPi / 180.0;
  int32_t len = int32_t(s.preview.preview_extent) * s.settings.spacing * 64;
  int32_t far_edge;
  if (view != 0) {
    far_edge = s.preview.preview_extent >> 1;
  } else {
    far_edge = s.preview.preview_extent;
    SetROP2(dc, R2_NOTXORPEN);
    len *= 2;
  }
  // Half a band width along the direction, 16.16 (twice this is one band), and in pixels.
  const auto step_x = int32_t(std::cos(radians) * len);
  const auto step_y = int32_t(std::sin(radians) * len);
  const int32_t step_x_pixels = step_x >> 16;
  const int32_t step_y_pixels = step_y >> 16;
  // The point the next line passes through, 16.16, starting at the centre of its pixel.
  int64_t point_x = int64_t(x) * 65536 + 0x8000;
  int64_t point_y = int64_t(y) * 65536 + 0x8000;
  HPEN pen = CreatePen(PS_SOLID, 2, RGB(0, 0, 0));
  HGDIOBJ previous = pen != nullptr ? SelectObject(dc, pen) : nullptr;
  int32_t line_x = x, line_y = y;  // the last line's point, in pixels
  for (int16_t i = -1; i <= s.settings.regions; ++i) {
    if (i == 1 && previous != nullptr) {
      SelectObject(dc, previous);
      previous = nullptr;
    }
    line_x = int32_t(point_x >> 16);
    line_y = int32_t(point_y >> 16);
    if (s.settings.mode > 0) {
      MoveToEx(dc, line_x + step_y_pixels, line_y - step_x_pixels, nullptr);
      LineTo(dc, line_x - step_y_pixels, line_y + step_x_pixels);
    } else if (s.settings.mode == 0 || i <= 0) {
      // The whole line through the point across the view, parametrised by the column when
      // it is closer to horizontal (|step_y| >= |step_x|), by the row otherwise.
      if (closer_to_horizontal ? step_y == 0 : step_x == 0) {
        // Only a zero band width gets here; there is no line to draw.
      } else if (closer_to_horizontal) {
        MoveToEx(dc, 0, int32_t(line_y + int64_t(line_x) * step_x / step_y), nullptr);
        LineTo(dc, far_edge, int32_t(line_y + (int64_t(line_x) - far_edge) * step_x / step_y));
      } else {
        MoveToEx(dc, int32_t(line_x + int64_t(line_y) * step_y / step_x), 0, nullptr);
        LineTo(dc, int32_t(line_x + (int64_t(line_y) - far_edge) * step_y / step_x), far_edge);
      }
    } else {
      MoveToEx(dc, line_x - 2, line_y - 2, nullptr);
      LineTo(dc, line_x + 3, line_y + 3);
      MoveToEx(dc, line_x - 2, line_y + 2, nullptr);
      LineTo(dc, line_x + 3, line_y - 3);
    }
    point_x += 2 * int64_t(step_x);
    point_y += 2 * int64_t(step_y);
  }
  if (previous != nullptr) SelectObject(dc, previous);
  if (s.settings.mode > 0) {
    // The right-angle regions' two sides, from the centre to the last line.
    MoveToEx(dc, x + step_y_pixels, y - step_x_pixels, nullptr);
    LineTo(dc, line_x + step_y_pixels, line_y - step_x_pixels);
    MoveToEx(dc, x - step_y_pixels, y + step_x_pixels, nullptr);
    LineTo(dc, line_x - step_y_pixels, line_y + step_x_pixels);
  }
  ReleaseDC(window, dc);
  if (pen != nullptr) DeleteObject(pen);
}

void draw_small_guides(int16_t x, int16_t y) { draw_guide_lines(x, y, 1); }

void toggle_big_guides(int16_t state, int16_t x, int16_t y) {
  ModuleState& s = module_state;
  if (state == s.dialog.guides_drawn) return;
  s.dialog.guides_drawn = state;
  draw_guide_lines(x, y, 0);
}

void draw_marker(int16_t view) {
  ModuleState& s = module_state;
  int16_t cx = s.preview.center_x, cy = s.preview.center_y;
  if (view != 0) {
    cx = int16_t(cx >> 1);
    cy = int16_t(cy >> 1);
  }
  if (s.plan.marker_bitmap == nullptr) return;
  HWND window = view_window(view);
  HDC dc = GetDC(window);
  HDC memory = CreateCompatibleDC(dc);
  if (memory != nullptr) {
    HGDIOBJ previous = SelectObject(memory, s.plan.marker_bitmap);
    BitBlt(dc, cx - 4, cy - 4, 8, 8, memory, 0, 0, SRCPAINT);   // the white patch
    BitBlt(dc, cx - 4, cy - 4, 8, 8, memory, 8, 0, SRCINVERT);  // the cross inverted
    SelectObject(memory, previous);
    DeleteDC(memory);
  }
  ReleaseDC(window, dc);
}

void redraw_overlays(Overlays covered) {
  ModuleState& s = module_state;
  if (covered != Overlays::kBigView) {
    draw_small_guides(int16_t(s.preview.center_x / 2), int16_t(s.preview.center_y / 2));
    draw_marker(1);
  }
  if (covered == Overlays::kSmallView) return;
  toggle_big_guides(1, s.preview.center_x, s.preview.center_y);
  if (covered == Overlays::kGuidesOnly) return;
  draw_marker(0);
}
