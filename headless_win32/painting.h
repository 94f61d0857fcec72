// Update regions and painting (painting.cpp): what is invalid, BeginPaint and EndPaint, and
// the painting of every invalid window. Owns each window's update region (Window::needs_paint,
// needs_erase, update, erasing and validations).
#pragma once

#include <windows.h>

namespace headless_detail {

struct Display;

// Marks a window and everything below it as wholly invalid (the caller holds the lock).
void invalidate_tree(Display& d, HWND window);
// Sends WM_PAINT to every window with an update region, parents before children.
void paint_invalid_windows();

}  // namespace headless_detail
