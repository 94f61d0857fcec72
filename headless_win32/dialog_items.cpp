// The dialog-item helpers: a dialog's controls by id (GetDlgItem, GetDlgCtrlID) and the calls
// that send their messages for the module: text, numbers and check states.
#include <cctype>
#include <cstdio>
#include <string>

#include "headless_win32/display.h"
#include "headless_win32/internal.h"

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::Window;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {
constexpr DWORD kControlIdNotFound = 1421;  // ERROR_CONTROL_ID_NOT_FOUND
}  // namespace

HWND GetDlgItem(HWND dialog, int id) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(dialog);
  if (w == nullptr) return nullptr;
  for (HWND child : w->children)
    if (d.window(child)->id == id) return child;
  set_last_error(kControlIdNotFound);
  return nullptr;
}

int GetDlgCtrlID(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return 0;
  return w->parent != nullptr ? w->id : 0;
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam) {
  HWND control = GetDlgItem(dialog, id);
  return control != nullptr ? SendMessageA(control, message, wparam, lparam) : 0;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return FALSE;
  return SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int buffer_max) {
  if (buffer != nullptr && buffer_max > 0) buffer[0] = '\0';
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr || buffer == nullptr || buffer_max <= 0) return 0;
  return UINT(
      SendMessageA(control, WM_GETTEXT, WPARAM(buffer_max), reinterpret_cast<LPARAM>(buffer)));
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed) {
  char text[16];
  if (is_signed)
    std::snprintf(text, sizeof text, "%d", int(value));
  else
    std::snprintf(text, sizeof text, "%u", value);
  return SetDlgItemTextA(dialog, id, text);
}

// Leading and trailing blanks are skipped; anything else that is not a digit (or, signed, a
// leading minus sign) leaves the text untranslated, as does a number too large for the type.
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed) {
  if (translated != nullptr) *translated = FALSE;
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return 0;
  std::string text(std::size_t(SendMessageA(control, WM_GETTEXTLENGTH, 0, 0)) + 1, '\0');
  text.resize(std::size_t(
      SendMessageA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t i = 0, end = text.size();
  while (i < end && blank(text[i])) ++i;
  while (end > i && blank(text[end - 1])) --end;
  bool negative = false;
  if (is_signed && i < end && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == end) return 0;
  unsigned long long magnitude = 0;
  for (; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return 0;
    magnitude = magnitude * 10 + unsigned(text[i] - '0');
    if (magnitude > 0xFFFFFFFFull) return 0;
  }
  if (is_signed) {
    long long limit = negative ? 2147483648LL : 2147483647LL;
    if (magnitude > (unsigned long long)limit) return 0;
  }
  if (translated != nullptr) *translated = TRUE;
  return negative ? UINT(0u - UINT(magnitude)) : UINT(magnitude);
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return FALSE;
  SendMessageA(control, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  return UINT(SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0));
}

BOOL CheckRadioButton(HWND dialog, int first_id, int last_id, int check_id) {
  for (int id = first_id; id <= last_id; ++id)
    SendDlgItemMessageA(dialog, id, BM_SETCHECK, id == check_id ? BST_CHECKED : BST_UNCHECKED, 0);
  return TRUE;
}
