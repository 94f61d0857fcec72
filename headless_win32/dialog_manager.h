// The dialog manager (dialog_manager.cpp): the procedure of the dialog class, EndDialog, the
// tab order and focus as dialogs give it. Owns each dialog window's DialogState.
#pragma once

#include <windows.h>

namespace headless_detail {

// The part of a window that only dialogs have.
struct DialogState {
  DLGPROC procedure = nullptr;  // null until the controls exist
  bool ended = false;
  INT_PTR result = 0;
};

// The procedure of the dialog class ("#32770"): the dialog's own procedure (DialogState's)
// first; when that answers 0 the default dialog procedure, which moves the focus on
// WM_NEXTDLGCTL, turns WM_CLOSE into IDCANCEL and leaves the rest to DefWindowProcA.
LRESULT CALLBACK dialog_window_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Focus as the dialog manager gives it: an edit control gets its whole text selected first.
void dialog_set_focus(HWND control);
// WM_NEXTDLGCTL: the next (or previous) WS_TABSTOP control of the dialog after the focus.
HWND next_tab_stop(HWND dialog, bool previous);

}  // namespace headless_detail
