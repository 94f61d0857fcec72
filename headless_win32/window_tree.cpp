// The window tree: windows made (WM_CREATE) and destroyed (WM_DESTROY, parents before
// children, owned windows first), parents and owners, and the geometry the module asks of a
// window: its rectangles, moving it, screen and client coordinates, the screen's metrics.
#include "headless_win32/window_tree.h"

#include <algorithm>

#include "headless_win32/display.h"
#include "headless_win32/focus.h"
#include "headless_win32/frames.h"
#include "headless_win32/internal.h"
#include "headless_win32/messages.h"
#include "headless_win32/painting.h"
#include "headless_win32/timers.h"

namespace headless_detail {
namespace {

constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
constexpr DWORD kInvalidParameter = 87;       // ERROR_INVALID_PARAMETER

int width_of(const RECT& r) { return r.right - r.left; }
int height_of(const RECT& r) { return r.bottom - r.top; }

// WM_DESTROY to a window and then to each of its children, every parent before its
// children, as Windows sends it: while a window handles it, its children still exist.
void send_destroy(HWND handle) {
  send_message(handle, WM_DESTROY, 0, 0);
  std::vector<HWND> children;
  {
    Display& d = display();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    Window* w = d.window(handle);
    if (w == nullptr) return;
    for (HWND child : w->children) {
      Window* c = d.window(child);
      if (c != nullptr && !c->destroying) {
        c->destroying = true;
        children.push_back(child);
      }
    }
  }
  for (HWND child : children) send_destroy(child);
}

// Frees a window and everything below it, children first, with its focus, capture and
// timers (the caller holds the lock).
void free_subtree(Display& d, HWND handle) {
  Window* w = d.window(handle);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND child : children) free_subtree(d, child);
  drop_focus_and_capture(d, handle);
  remove_timers_of(d, handle);
  d.windows.erase(handle);
}

}  // namespace

HWND top_level_of(Display& d, HWND handle) {
  Window* w = d.window(handle);
  while (w != nullptr && w->parent != nullptr) w = d.window(w->parent);
  return w != nullptr ? w->handle : nullptr;
}

// Whether a window is the given one or lies below it (the caller holds the lock).
bool is_within(Display& d, HWND window, HWND ancestor) {
  for (Window* w = d.window(window); w != nullptr; w = d.window(w->parent))
    if (w->handle == ancestor) return true;
  return false;
}

// Makes the window, links it into the tree and sends WM_CREATE; a procedure that answers
// WM_CREATE with -1 makes the creation fail and the window go again.
HWND create_window(const NewWindow& n) {
  Display& d = display();
  HWND handle;
  {
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    if (n.parent != nullptr && d.window(n.parent) == nullptr) {
      set_last_error(kInvalidWindowHandle);  // gone while its earlier children were made
      return nullptr;
    }
    auto w = std::make_unique<Window>();
    handle = reinterpret_cast<HWND>(d.new_handle());
    w->handle = handle;
    w->window_class = n.window_class;
    w->procedure = n.window_class->procedure;
    w->style = n.style;
    w->ex_style = n.ex_style;
    w->id = n.id;
    w->parent = n.parent;
    w->owner = n.owner;
    w->text = n.text;
    w->rect = n.rect;
    if (n.window_class->kind == WindowKind::kDialog) w->dialog = std::make_shared<DialogState>();
    size_framebuffer(*w);
    if (n.parent != nullptr) d.window(n.parent)->children.push_back(handle);
    d.windows.emplace(handle, std::move(w));
  }
  CREATESTRUCTA create{};
  create.lpCreateParams = n.create_params;
  create.hInstance = n.instance;
  create.hMenu = n.menu;
  create.hwndParent = n.parent != nullptr ? n.parent : n.owner;
  create.x = n.rect.left;
  create.y = n.rect.top;
  create.cx = width_of(n.rect);
  create.cy = height_of(n.rect);
  create.style = LONG(n.style);
  create.lpszName = n.text.c_str();
  create.lpszClass = n.window_class->name.c_str();
  create.dwExStyle = n.ex_style;
  if (send_message(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(handle);
    return nullptr;
  }
  return IsWindow(handle) ? handle : nullptr;
}

}  // namespace headless_detail

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::Window;
using Lock = std::lock_guard<std::recursive_mutex>;

BOOL DestroyWindow(HWND window) {
  Display& d = display();
  std::vector<HWND> owned;
  {
    Lock lock(d.mutex);
    Window* w = d.window(window);
    if (w == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return FALSE;
    }
    if (w->destroying) return TRUE;  // already on its way, from a WM_DESTROY handler
    w->destroying = true;
    for (const auto& entry : d.windows)
      if (entry.second->owner == window && !entry.second->destroying) owned.push_back(entry.first);
  }
  for (HWND h : owned) DestroyWindow(h);  // owned windows go first
  headless_detail::send_destroy(window);
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return TRUE;
  if (Window* parent = d.window(w->parent)) {
    auto& siblings = parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), window), siblings.end());
  }
  headless_detail::free_subtree(d, window);
  return TRUE;
}

BOOL IsWindow(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  return d.window(window) != nullptr ? TRUE : FALSE;
}

// A child's parent, or a top-level window's owner.
HWND GetParent(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return nullptr;
  return w->parent != nullptr ? w->parent : w->owner;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr || rect == nullptr) {
    set_last_error(w == nullptr ? headless_detail::kInvalidWindowHandle
                                : headless_detail::kInvalidParameter);
    return FALSE;
  }
  *rect = headless_detail::client_rect(w->style, w->ex_style, w->rect);
  return TRUE;
}

BOOL GetWindowRect(HWND window, LPRECT rect) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr || rect == nullptr) {
    set_last_error(w == nullptr ? headless_detail::kInvalidWindowHandle
                                : headless_detail::kInvalidParameter);
    return FALSE;
  }
  POINT origin{0, 0};
  if (Window* parent = d.window(w->parent)) origin = headless_detail::client_origin(d, *parent);
  *rect = {w->rect.left + origin.x, w->rect.top + origin.y, w->rect.right + origin.x,
           w->rect.bottom + origin.y};
  return TRUE;
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return FALSE;
  const RECT moved{x, y, x + std::max(0, width), y + std::max(0, height)};
  // As on Windows, a move that changes nothing repaints nothing.
  if (moved.left == w->rect.left && moved.top == w->rect.top && moved.right == w->rect.right &&
      moved.bottom == w->rect.bottom)
    return TRUE;
  w->rect = moved;
  headless_detail::size_framebuffer(*w);
  if (repaint) headless_detail::invalidate_tree(d, window);
  return TRUE;
}

namespace {

// Moves a point between screen and client coordinates: sign -1 to the client, +1 back.
BOOL shift_point(HWND window, LPPOINT point, int sign) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr || point == nullptr) {
    set_last_error(w == nullptr ? headless_detail::kInvalidWindowHandle
                                : headless_detail::kInvalidParameter);
    return FALSE;
  }
  POINT origin = headless_detail::client_origin(d, *w);
  point->x += sign * origin.x;
  point->y += sign * origin.y;
  return TRUE;
}

}  // namespace

BOOL ScreenToClient(HWND window, LPPOINT point) { return shift_point(window, point, -1); }

BOOL ClientToScreen(HWND window, LPPOINT point) { return shift_point(window, point, 1); }

int GetSystemMetrics(int index) {
  Display& d = display();
  Lock lock(d.mutex);
  switch (index) {
    case SM_CXSCREEN:
      return d.screen_width;
    case SM_CYSCREEN:
      return d.screen_height;
    case SM_CYCAPTION:
      return headless_detail::kCaption;
    case SM_CXBORDER:
    case SM_CYBORDER:
      return headless_detail::kBorder;
    default:
      return 0;
  }
}
