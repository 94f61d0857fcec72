// Keyboard focus and mouse capture (focus.cpp). Owns Display::focus and Display::capture.
#pragma once

#include <windows.h>

namespace headless_detail {

struct Display;

// A window that goes loses the focus and the capture, with no message sent (the caller holds
// the lock).
void drop_focus_and_capture(Display& d, HWND window);

}  // namespace headless_detail
