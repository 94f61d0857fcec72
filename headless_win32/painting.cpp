// Update regions and painting: InvalidateRect and ValidateRect, BeginPaint (erasing first
// when asked) and EndPaint, UpdateWindow, and the painting of every invalid window that the
// modal loop does, parents before children.
#include "headless_win32/painting.h"

#include <algorithm>
#include <vector>

#include "headless_win32/display.h"
#include "headless_win32/frames.h"
#include "headless_win32/internal.h"
#include "headless_win32/messages.h"

namespace headless_detail {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
constexpr DWORD kInvalidParameter = 87;       // ERROR_INVALID_PARAMETER

RECT whole_client(const Window& w) { return client_rect(w.style, w.ex_style, w.rect); }

// Adds a rectangle (client coordinates; null for the whole client area) to the update region;
// with erase, the background is erased before the next paint.
void add_to_update(Window& w, const RECT* rect, bool erase) {
  RECT client = whole_client(w);
  RECT r = rect != nullptr ? *rect : client;
  r.left = std::max(r.left, client.left);
  r.top = std::max(r.top, client.top);
  r.right = std::min(r.right, client.right);
  r.bottom = std::min(r.bottom, client.bottom);
  if (r.left >= r.right || r.top >= r.bottom) return;
  if (erase) w.needs_erase = true;
  if (!w.needs_paint) {
    w.update = r;
    w.needs_paint = true;
    return;
  }
  w.update.left = std::min(w.update.left, r.left);
  w.update.top = std::min(w.update.top, r.top);
  w.update.right = std::max(w.update.right, r.right);
  w.update.bottom = std::max(w.update.bottom, r.bottom);
}

void paint_order(Display& d, HWND handle, std::vector<HWND>& out) {
  Window* w = d.window(handle);
  if (w == nullptr) return;
  out.push_back(handle);
  for (HWND child : w->children) paint_order(d, child, out);
}

}  // namespace

void invalidate_tree(Display& d, HWND window) {
  Window* w = d.window(window);
  if (w == nullptr) return;
  add_to_update(*w, nullptr, true);  // as Windows does when it shows or sizes a window
  for (HWND child : w->children) invalidate_tree(d, child);
}

void paint_invalid_windows() {
  Display& d = display();
  // Painting can invalidate again (a window resized in its own paint, as BeginPaint validates
  // first on Windows too): passes repeat until everything is painted, a few at most, since a
  // procedure that invalidates itself on every paint would be asked forever on Windows.
  for (int pass = 0; pass < 8; ++pass) {
    std::vector<HWND> order;
    {
      Lock lock(d.mutex);
      for (const auto& entry : d.windows)
        if (entry.second->parent == nullptr) paint_order(d, entry.first, order);
    }
    bool painted = false;
    for (HWND window : order) {
      unsigned validations;
      {
        Lock lock(d.mutex);
        Window* w = d.window(window);
        if (w == nullptr || !w->needs_paint) continue;
        validations = w->validations;
      }
      painted = true;
      send_message(window, WM_PAINT, 0, 0);
      // A procedure that never validates would be asked again and again on Windows; here
      // it counts as painted once asked.
      Lock lock(d.mutex);
      Window* w = d.window(window);
      if (w != nullptr && w->validations == validations) w->needs_paint = false;
    }
    if (!painted) return;
  }
}

}  // namespace headless_detail

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::Window;
using Lock = std::lock_guard<std::recursive_mutex>;

// A null window invalidates every window, as on Windows; the children of the window are not
// invalidated.
BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) {
  Display& d = display();
  Lock lock(d.mutex);
  if (window == nullptr) {
    for (auto& entry : d.windows)
      headless_detail::add_to_update(*entry.second, nullptr, erase != FALSE);
    return TRUE;
  }
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return FALSE;
  headless_detail::add_to_update(*w, rect, erase != FALSE);
  return TRUE;
}

// Validates the whole update region whatever the rectangle.
BOOL ValidateRect(HWND window, const RECT*) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return FALSE;
  w->needs_paint = false;
  w->needs_erase = false;
  w->update = {};
  ++w->validations;
  return TRUE;
}

BOOL UpdateWindow(HWND window) {
  bool needs_paint;
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(window);
    if (w == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return FALSE;
    }
    needs_paint = w->needs_paint;
  }
  if (needs_paint) headless_detail::send_message(window, WM_PAINT, 0, 0);
  return TRUE;
}

HDC BeginPaint(HWND window, LPPAINTSTRUCT paint) {
  if (paint == nullptr) {
    set_last_error(headless_detail::kInvalidParameter);
    return nullptr;
  }
  *paint = PAINTSTRUCT{};
  bool erase = false;
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(window);
    if (w == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return nullptr;
    }
    if (w->needs_paint) paint->rcPaint = w->update;
    erase = w->needs_paint && w->needs_erase;
    w->erasing = paint->rcPaint;
    w->needs_paint = false;
    w->needs_erase = false;
    w->update = {};
    ++w->validations;
  }
  paint->hdc = GetDC(window);
  // The background first, as Windows erases it: fErase stays set when nothing erased it.
  if (erase && paint->hdc != nullptr)
    paint->fErase =
        headless_detail::send_message(window, WM_ERASEBKGND, WPARAM(paint->hdc), 0) == 0;
  return paint->hdc;
}

BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) {
  if (paint != nullptr && paint->hdc != nullptr) ReleaseDC(window, paint->hdc);
  return TRUE;
}
