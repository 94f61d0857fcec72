// Sending a message: the window's procedure looked up under the lock and called without it;
// SendMessageA is this for the module. See messages.h for why every room sends through here.
#include "headless_win32/messages.h"

#include "headless_win32/display.h"
#include "headless_win32/internal.h"

namespace headless_detail {

namespace {
constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
}  // namespace

LRESULT send_message(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
  WNDPROC procedure = nullptr;
  {
    Display& d = display();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    Window* w = d.window(handle);
    if (w == nullptr) {
      set_last_error(kInvalidWindowHandle);
      return 0;
    }
    procedure = w->procedure;
  }
  return procedure(handle, message, wparam, lparam);
}

}  // namespace headless_detail

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return headless_detail::send_message(window, message, wparam, lparam);
}
