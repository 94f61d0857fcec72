// DefWindowProcA: what every window does with a message its procedure leaves to it. WM_CLOSE
// destroys, WM_PAINT validates, WM_ERASEBKGND fills with the class's brush, and the window's
// text is kept and handed out. Owns no state of its own.
#include <algorithm>
#include <cstring>

#include "headless_win32/display.h"
#include "headless_win32/painting.h"

using headless_detail::Display;
using headless_detail::display;
using headless_detail::Window;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

// WM_ERASEBKGND's default: the region being painted filled with the class's background brush
// (a system colour index plus one, or a brush). Nonzero when it erased.
LRESULT erase_background(HWND window, HDC dc) {
  HBRUSH brush = nullptr;
  RECT area{};
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(window);
    if (w == nullptr || w->window_class == nullptr || w->window_class->background == nullptr)
      return 0;
    brush = w->window_class->background;
    area = w->erasing;
  }
  const auto index = reinterpret_cast<intptr_t>(brush);
  if (index > 0 && index <= 31) {
    // The system colour a class may name here: the window colour.
    if (index - 1 == COLOR_WINDOW) {
      brush = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    } else {
      return 0;
    }
  }
  return FillRect(dc, &area, brush) != 0 ? 1 : 0;
}

}  // namespace

// WM_CLOSE destroys the window; WM_PAINT validates it; the window's text is set and read with
// WM_SETTEXT (which invalidates the window), WM_GETTEXT (cut to the buffer less one, with the
// count copied as answer) and WM_GETTEXTLENGTH.
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_ERASEBKGND:
      return erase_background(window, reinterpret_cast<HDC>(wparam));
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
      break;
    default:
      return 0;
  }
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return 0;
  if (message == WM_SETTEXT) {
    auto text = reinterpret_cast<const char*>(lparam);
    w->text = text != nullptr ? text : "";
    headless_detail::invalidate_tree(d, window);
    return TRUE;
  }
  if (message == WM_GETTEXTLENGTH) return LRESULT(w->text.size());
  auto buffer = reinterpret_cast<char*>(lparam);
  if (buffer == nullptr || wparam == 0) return 0;
  std::size_t count = std::min<std::size_t>(w->text.size(), wparam - 1);
  std::memcpy(buffer, w->text.data(), count);
  buffer[count] = '\0';
  return LRESULT(count);
}
