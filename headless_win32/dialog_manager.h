// The dialog manager (dialog_manager.cpp): what a dialog window does with messages (its own
// procedure first, then the default dialog procedure), EndDialog, the tab order and focus
// as dialogs give it. Owns each dialog window's DialogState.
#pragma once

#include <windows.h>

namespace headless_detail {

// The part of a window that only dialogs have.
struct DialogState {
  DLGPROC procedure = nullptr;  // null until the controls exist
  bool ended = false;
  INT_PTR result = 0;
};

// Calls the window's procedure without holding the lock (a dialog's own procedure first).
LRESULT send_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Focus as the dialog manager gives it: an edit control gets its whole text selected first.
void dialog_set_focus(HWND control);
// WM_NEXTDLGCTL: the next (or previous) WS_TABSTOP control of the dialog after the focus.
HWND next_tab_stop(HWND dialog, bool previous);

}  // namespace headless_detail
