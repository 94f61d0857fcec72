// Sending a message (messages.cpp): the seam between the rooms of the window layer.
//
// Any room may send a window a message; send_message looks up the window's procedure and
// calls it through its pointer, so the room that sends never names the room that answers.
// The procedures themselves are named in one place only, the class table of
// window_classes.cpp, which sits above every room whose procedures it lists. This is what
// keeps the files free of call circles: a control may send its parent WM_COMMAND, and the
// dialog manager may send a control EM_SETSEL, while every direct call between files still
// goes from a higher room to a lower one.
//
// Owns no state: it reads Window::procedure under the display's mutex and lets go of the
// mutex before the call, since a procedure may call back in.
#pragma once

#include <windows.h>

namespace headless_detail {

// Calls the window's procedure (a dialog's is the dialog manager's, which calls the dialog's
// own procedure first) without holding the lock and returns its answer; for an unknown
// handle, 0 with the last error set (invalid window handle).
LRESULT send_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace headless_detail
