// The one Display record of the window layer: its construction, the window lookup every room
// uses, and the GDI fault injection. Owns the handle counter.
#include "headless_win32/display.h"

#include "headless_win32/internal.h"

namespace headless_detail {

namespace {
constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
}  // namespace

Display::Display() {
  stock_bitmap = reinterpret_cast<HGDIOBJ>(new_handle());
  Bitmap& stock = bitmaps[stock_bitmap];
  stock.stock = true;
  stock.raster.bits_per_pixel = 1;
  stock.raster.resize(1, 1);
}

Display& display() {
  static Display& d = *new Display;  // never destroyed: windows may go during exit
  return d;
}

Window* Display::window_or_fail(HWND handle) {
  Window* w = window(handle);
  if (w == nullptr) set_last_error(kInvalidWindowHandle);
  return w;
}

bool creation_fails(Display& d) {
  if (d.gdi_fail_countdown > 0 && --d.gdi_fail_countdown == 0) {
    set_last_error(8);  // ERROR_NOT_ENOUGH_MEMORY
    return true;
  }
  return false;
}

}  // namespace headless_detail
