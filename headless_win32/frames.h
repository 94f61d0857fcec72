// A window's frame (frames.cpp): the non-client area a style gives, the client rectangle, the
// client area's place on the screen, and the framebuffer that backs it. Owns no state.
#pragma once

#include <windows.h>

namespace headless_detail {

struct Display;
struct Window;

// Non-client area. WS_BORDER or WS_DLGFRAME: a 1-pixel frame on every side; both together
// (WS_CAPTION): a 20-pixel caption bar above the client area besides the frame.
constexpr int kLargestFramebuffer = 4096;
constexpr int kBorder = 1;
constexpr int kCaption = 20;
constexpr int kClientEdge = 2;  // WS_EX_CLIENTEDGE: a sunken edge inside any border
struct Insets {
  int left = 0, top = 0, right = 0, bottom = 0;
};
Insets insets_for(DWORD style, DWORD ex_style);
// The client rectangle, from (0, 0), of a window of this style and outer rectangle.
RECT client_rect(DWORD style, DWORD ex_style, const RECT& outer);
// Top-left corner of a window's client area on the screen (the caller holds the mutex).
POINT client_origin(Display& d, const Window& w);
// Sizes the framebuffer to the client area, at most kLargestFramebuffer a side.
void size_framebuffer(Window& w);

}  // namespace headless_detail
