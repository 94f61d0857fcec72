// The dialog manager: what a dialog window does with a message (its own procedure first,
// then the default dialog procedure), EndDialog, the tab order and focus as dialogs give it.
#include "headless_win32/dialog_manager.h"

#include <algorithm>
#include <vector>

#include "headless_win32/controls.h"
#include "headless_win32/display.h"
#include "headless_win32/internal.h"

namespace headless_detail {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
constexpr DWORD kWindowNotDialog = 1420;      // ERROR_WINDOW_NOT_DIALOG

// The default dialog procedure: WM_CLOSE asks the dialog procedure for Cancel, as pressing
// Esc would; WM_NEXTDLGCTL moves the focus (lParam TRUE: to the control in wParam; else to
// the next tab stop, or the previous one when wParam is non-zero); everything else goes to
// the default window procedure.
LRESULT default_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NEXTDLGCTL) {
    HWND target =
        LOWORD(lparam) != 0 ? reinterpret_cast<HWND>(wparam) : next_tab_stop(dialog, wparam != 0);
    if (target != nullptr) dialog_set_focus(target);
    return 0;
  }
  if (message == WM_CLOSE) {
    HWND cancel = nullptr;
    {
      Display& d = display();
      std::lock_guard<std::recursive_mutex> lock(d.mutex);
      if (Window* w = d.window(dialog)) {
        for (HWND child : w->children)
          if (d.window(child)->id == IDCANCEL) cancel = child;
      }
    }
    send_message(dialog, WM_COMMAND, IDCANCEL, reinterpret_cast<LPARAM>(cancel));  // BN_CLICKED
    return 0;
  }
  return DefWindowProcA(dialog, message, wparam, lparam);
}

}  // namespace

// Calls the window's procedure without holding the lock. A dialog's own procedure comes
// first; when it answers 0 (not handled) the default dialog procedure runs.
LRESULT send_message(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
  WNDPROC procedure = nullptr;
  DLGPROC dialog_procedure = nullptr;
  bool dialog = false;
  {
    Display& d = display();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    Window* w = d.window(handle);
    if (w == nullptr) {
      set_last_error(kInvalidWindowHandle);
      return 0;
    }
    procedure = w->procedure;
    dialog = w->dialog != nullptr;
    if (dialog) dialog_procedure = w->dialog->procedure;
  }
  if (!dialog) return procedure(handle, message, wparam, lparam);
  if (dialog_procedure != nullptr) {
    INT_PTR handled = dialog_procedure(handle, message, wparam, lparam);
    if (handled != 0) return handled;
  }
  return default_dialog_procedure(handle, message, wparam, lparam);
}

void dialog_set_focus(HWND control) {
  if (kind_of(control) == WindowKind::kEdit) SendMessageA(control, EM_SETSEL, 0, -1);
  SetFocus(control);
}

HWND next_tab_stop(HWND dialog, bool previous) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(dialog);
  if (w == nullptr || w->children.empty()) return nullptr;
  std::vector<HWND> order = w->children;
  if (previous) std::reverse(order.begin(), order.end());
  std::size_t n = order.size();
  std::size_t start = n - 1;  // with the focus elsewhere the search starts at the first
  for (std::size_t i = 0; i < n; ++i)
    if (order[i] == d.focus) start = i;
  for (std::size_t k = 1; k <= n; ++k) {
    HWND candidate = order[(start + k) % n];
    if (d.window(candidate)->style & WS_TABSTOP) return candidate;
  }
  return nullptr;
}

}  // namespace headless_detail

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::Window;
using Lock = std::lock_guard<std::recursive_mutex>;

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return headless_detail::send_message(window, message, wparam, lparam);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(dialog);
  if (w == nullptr) return FALSE;
  if (w->dialog == nullptr) {
    set_last_error(headless_detail::kWindowNotDialog);
    return FALSE;
  }
  w->dialog->ended = true;
  w->dialog->result = result;
  return TRUE;
}
