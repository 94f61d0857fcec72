// Keyboard focus and mouse capture: SetFocus with WM_KILLFOCUS and WM_SETFOCUS sent before it
// returns, SetCapture and ReleaseCapture with WM_CAPTURECHANGED.
#include "headless_win32/focus.h"

#include "headless_win32/display.h"
#include "headless_win32/internal.h"
#include "headless_win32/messages.h"

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE

bool is_window(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  return d.window(window) != nullptr;
}

}  // namespace

namespace headless_detail {

void drop_focus_and_capture(Display& d, HWND window) {
  if (d.focus == window) d.focus = nullptr;
  if (d.capture == window) d.capture = nullptr;
}

}  // namespace headless_detail

// The old focus hears WM_KILLFOCUS, then the new one WM_SETFOCUS, both before the call returns.
// While WM_KILLFOCUS runs no window has the focus; a focus moved from inside it stays where that
// moved it, and the new window then hears nothing.
HWND SetFocus(HWND window) {
  Display& d = display();
  HWND previous;
  {
    Lock lock(d.mutex);
    if (window != nullptr && d.window(window) == nullptr) {
      set_last_error(kInvalidWindowHandle);
      return nullptr;
    }
    previous = d.focus;
    if (previous == window) return previous;
    d.focus = nullptr;
  }
  if (previous != nullptr && is_window(previous))
    headless_detail::send_message(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(window), 0);
  {
    Lock lock(d.mutex);
    if (window == nullptr || d.focus != nullptr || d.window(window) == nullptr) return previous;
    d.focus = window;
  }
  headless_detail::send_message(window, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
  return previous;
}

HWND GetFocus() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.focus;
}

HWND SetCapture(HWND window) {
  Display& d = display();
  HWND previous;
  {
    Lock lock(d.mutex);
    if (d.window(window) == nullptr) {
      set_last_error(kInvalidWindowHandle);
      return nullptr;
    }
    previous = d.capture;
    d.capture = window;
  }
  if (previous != nullptr && previous != window)
    headless_detail::send_message(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(window));
  return previous;
}

BOOL ReleaseCapture() {
  Display& d = display();
  HWND previous;
  {
    Lock lock(d.mutex);
    previous = d.capture;
    d.capture = nullptr;
  }
  if (previous != nullptr) headless_detail::send_message(previous, WM_CAPTURECHANGED, 0, 0);
  return TRUE;
}

HWND GetCapture() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.capture;
}
