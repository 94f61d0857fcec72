// The dialog manager: the procedure of the dialog class (the dialog's own procedure first,
// then the default dialog procedure), EndDialog, the tab order and focus as dialogs give it.
#include "headless_win32/dialog_manager.h"

#include <algorithm>
#include <vector>

#include "headless_win32/controls.h"
#include "headless_win32/display.h"
#include "headless_win32/internal.h"
#include "headless_win32/messages.h"

namespace headless_detail {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kWindowNotDialog = 1420;  // ERROR_WINDOW_NOT_DIALOG

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

// A dialog's own procedure comes first; when it answers 0 (not handled) the default dialog
// procedure runs.
LRESULT CALLBACK dialog_window_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  DLGPROC procedure = nullptr;
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(dialog);
    if (w != nullptr && w->dialog != nullptr) procedure = w->dialog->procedure;
  }
  if (procedure != nullptr) {
    INT_PTR handled = procedure(dialog, message, wparam, lparam);
    if (handled != 0) return handled;
  }
  return default_dialog_procedure(dialog, message, wparam, lparam);
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
