// A window's text through its messages: SetWindowTextA and its wide form, GetWindowTextA and
// the length, the wide form of SetDlgItemTextA, and the ANSI code page the text is read in.
#include <string>

#include "headless_win32/display.h"
#include "headless_win32/internal.h"
#include "headless_win32/messages.h"
#include "headless_win32/utf16.h"

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {
constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
}  // namespace

BOOL SetWindowTextA(HWND window, LPCSTR text) {
  if (!IsWindow(window)) {
    set_last_error(kInvalidWindowHandle);
    return FALSE;
  }
  return headless_detail::send_message(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

int GetWindowTextA(HWND window, LPSTR buffer, int buffer_max) {
  if (buffer != nullptr && buffer_max > 0) buffer[0] = '\0';
  if (buffer == nullptr || buffer_max <= 0) return 0;
  return int(headless_detail::send_message(window, WM_GETTEXT, WPARAM(buffer_max),
                                           reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthA(HWND window) {
  return int(headless_detail::send_message(window, WM_GETTEXTLENGTH, 0, 0));
}

UINT GetACP() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.code_page;
}

namespace {

// Wide text (code points: wchar_t is 32 bits here) to UTF-8.
std::string utf8_of(LPCWSTR text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) utf16::append_utf8(out, uint32_t(*text));
  return out;
}

}  // namespace

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
  return SetWindowTextA(window, utf8_of(text).c_str());
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  return SetDlgItemTextA(dialog, id, utf8_of(text).c_str());
}
