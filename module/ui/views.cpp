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
  return GetDlgItem(module_state.dialog.dialog_window, view == 0 ? kBigView : kSmallView);
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
        restore_marker_area(-1);
        redraw_overlays(-1);
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
  auto same =
      int16_t((((y ^ s.preview.center_y) | (x ^ s.preview.center_x)) & 0xFFFE) == 0 ? 1 : 0);
  restore_marker_area(same);
  set_center(x, y);
  redraw_overlays(same);
}

void draw_guide_lines(int16_t x, int16_t y, int16_t view) {
  ModuleState& s = module_state;
  if (s.preview.dialog_ready == 0 || s.settings.regions < 0 || s.settings.angle < 0 ||
      s.settings.spacing < 0)
    return;
  HWND window = view_window(view);
  HDC dc = GetDC(window);
  const int16_t q = int16_t(((s.settings.angle / 45) + 1) & 2);
  const double radians = s.settings.angle * 3.14159265359 / 180.0;
  int32_t len = int32_t(s.preview.preview_extent) * s.settings.spacing * 64;
  int32_t far_edge;
  if (view != 0) {
    far_edge = s.preview.preview_extent >> 1;
  } else {
    far_edge = s.preview.preview_extent;
    SetROP2(dc, R2_NOTXORPEN);
    len *= 2;
  }
  // Half a band width along the direction, 16.16; 2C, 2S is one band width.
  const auto c = int32_t(std::cos(radians) * len);
  const auto sn = int32_t(std::sin(radians) * len);
  const int32_t c16 = c >> 16;
  const int32_t s16 = sn >> 16;
  int64_t p_h = int64_t(x) * 65536 + 0x8000;
  int64_t p_v = int64_t(y) * 65536 + 0x8000;
  HPEN pen = CreatePen(PS_SOLID, 2, RGB(0, 0, 0));
  HGDIOBJ previous = pen != nullptr ? SelectObject(dc, pen) : nullptr;
  int32_t t = x, u = y;
  for (int16_t i = -1; i <= s.settings.regions; ++i) {
    if (i == 1 && previous != nullptr) {
      SelectObject(dc, previous);
      previous = nullptr;
    }
    t = int32_t(p_h >> 16);
    u = int32_t(p_v >> 16);
    if (s.settings.mode > 0) {
      MoveToEx(dc, t + s16, u - c16, nullptr);
      LineTo(dc, t - s16, u + c16);
    } else if (s.settings.mode == 0 || i <= 0) {
      // The whole line through (t, u) across the view, parametrised by the column when it
      // is closer to horizontal (|S| >= |C|), by the row otherwise.
      if (q != 0 ? sn == 0 : c == 0) {
        // Only a zero band width gets here; there is no line to draw.
      } else if (q != 0) {
        MoveToEx(dc, 0, int32_t(u + int64_t(t) * c / sn), nullptr);
        LineTo(dc, far_edge, int32_t(u + (int64_t(t) - far_edge) * c / sn));
      } else {
        MoveToEx(dc, int32_t(t + int64_t(u) * sn / c), 0, nullptr);
        LineTo(dc, int32_t(t + (int64_t(u) - far_edge) * sn / c), far_edge);
      }
    } else {
      MoveToEx(dc, t - 2, u - 2, nullptr);
      LineTo(dc, t + 3, u + 3);
      MoveToEx(dc, t - 2, u + 2, nullptr);
      LineTo(dc, t + 3, u - 3);
    }
    p_h += 2 * int64_t(c);
    p_v += 2 * int64_t(sn);
  }
  if (previous != nullptr) SelectObject(dc, previous);
  if (s.settings.mode > 0) {
    MoveToEx(dc, x + s16, y - c16, nullptr);
    LineTo(dc, t + s16, u - c16);
    MoveToEx(dc, x - s16, y + c16, nullptr);
    LineTo(dc, t - s16, u + c16);
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

void redraw_overlays(int16_t a) {
  ModuleState& s = module_state;
  if (a <= 0) {
    draw_small_guides(int16_t(s.preview.center_x / 2), int16_t(s.preview.center_y / 2));
    draw_marker(1);
  }
  if (a == -1) return;
  toggle_big_guides(1, s.preview.center_x, s.preview.center_y);
  if (a < 0 || a >= 2) return;
  draw_marker(0);
}
