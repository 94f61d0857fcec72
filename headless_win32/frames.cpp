// A window's frame: the non-client insets a style gives, the client rectangle inside the outer
// one, where the client area lies on the screen, and the size of the framebuffer behind it.
#include "headless_win32/frames.h"

#include <algorithm>

#include "headless_win32/display.h"

namespace headless_detail {
namespace {

int width_of(const RECT& r) { return r.right - r.left; }
int height_of(const RECT& r) { return r.bottom - r.top; }

}  // namespace

Insets insets_for(DWORD style, DWORD ex_style) {
  Insets in;
  if (style & (WS_BORDER | WS_DLGFRAME)) in.left = in.top = in.right = in.bottom = kBorder;
  if (ex_style & WS_EX_CLIENTEDGE) {
    in.left += kClientEdge;
    in.top += kClientEdge;
    in.right += kClientEdge;
    in.bottom += kClientEdge;
  }
  if ((style & WS_CAPTION) == WS_CAPTION) in.top += kCaption;
  return in;
}

RECT client_rect(DWORD style, DWORD ex_style, const RECT& outer) {
  Insets in = insets_for(style, ex_style);
  return {0, 0, std::max(0, width_of(outer) - in.left - in.right),
          std::max(0, height_of(outer) - in.top - in.bottom)};
}

POINT client_origin(Display& d, const Window& w) {
  Insets in = insets_for(w.style, w.ex_style);
  POINT p{w.rect.left + in.left, w.rect.top + in.top};
  if (Window* parent = d.window(w.parent)) {
    POINT o = client_origin(d, *parent);
    p.x += o.x;
    p.y += o.y;
  }
  return p;
}

void size_framebuffer(Window& w) {
  RECT client = client_rect(w.style, w.ex_style, w.rect);
  w.framebuffer.resize(std::min(client.right, kLargestFramebuffer),
                       std::min(client.bottom, kLargestFramebuffer));
}

}  // namespace headless_detail
