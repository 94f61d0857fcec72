// The standard controls: buttons (push, default push, check boxes, radio buttons), single-line
// edits, statics and scroll bars, with their notifications sent synchronously to the parent;
// clicks and typing as the user gives them, and the SB_CTL scroll bar calls.
#include "headless_win32/controls.h"

#include <algorithm>
#include <limits>

#include "headless_win32/display.h"
#include "headless_win32/internal.h"
#include "headless_win32/messages.h"
#include "headless_win32/painting.h"

namespace headless_detail {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr DWORD kNoScrollBars = 1447;    // ERROR_NO_SCROLLBARS
constexpr std::size_t kLargestTextLimit = 0x7FFFFFFE;
constexpr UINT kBsNotify = 0x4000;  // BS_NOTIFY: the button tells its parent about focus
constexpr WORD kBnSetFocus = 6;
constexpr WORD kBnKillFocus = 7;

// WM_COMMAND(MAKEWPARAM(id, code), control) to the control's parent.
void notify_parent(HWND control, WORD code) {
  HWND parent = nullptr;
  int id = 0;
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(control);
    if (w == nullptr || w->parent == nullptr) return;
    parent = w->parent;
    id = w->id;
  }
  send_message(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

bool is_check_type(int type) {
  return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
         type == BS_3STATE || type == BS_AUTO3STATE || type == BS_AUTORADIOBUTTON;
}

// A scroll bar control for SB_CTL; other bars are not offered (the caller holds the lock).
Window* scroll_bar(Display& d, HWND window, int bar) {
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return nullptr;
  if (bar != SB_CTL || w->window_class->kind != WindowKind::kScrollBar) {
    set_last_error(kNoScrollBars);
    return nullptr;
  }
  return w;
}

}  // namespace

WindowKind kind_of(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  return w != nullptr ? w->window_class->kind : WindowKind::kCustom;
}

int button_type(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr || w->window_class->kind != WindowKind::kButton) return -1;
  return int(w->style & BS_TYPEMASK);
}

// Buttons: check states for the check box and radio kinds; focus notifications only with
// BS_NOTIFY, as on Windows.
LRESULT CALLBACK button_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case BM_GETCHECK:
    case BM_SETCHECK: {
      Display& d = display();
      Lock lock(d.mutex);
      Window* w = d.window(window);
      if (w == nullptr || !is_check_type(int(w->style & BS_TYPEMASK))) return 0;
      if (message == BM_GETCHECK) return LRESULT(w->control.check);
      UINT check = UINT(wparam) & 3;
      if (check != w->control.check) invalidate_tree(d, window);
      w->control.check = check;
      return 0;
    }
    case BM_CLICK:
      click_button(window);
      return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
      bool notify;
      {
        Display& d = display();
        Lock lock(d.mutex);
        Window* w = d.window(window);
        notify = w != nullptr && (w->style & kBsNotify);
      }
      if (notify) notify_parent(window, message == WM_SETFOCUS ? kBnSetFocus : kBnKillFocus);
      return 0;
    }
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

// Single-line edits: text set by WM_SETTEXT is not limited and puts the caret at the start;
// EN_UPDATE then EN_CHANGE follow every setting of the text; focus changes send EN_SETFOCUS
// and EN_KILLFOCUS.
LRESULT CALLBACK edit_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  Display& d = display();
  switch (message) {
    case WM_SETTEXT: {
      {
        Lock lock(d.mutex);
        Window* w = d.window(window);
        if (w == nullptr) return FALSE;
        auto text = reinterpret_cast<const char*>(lparam);
        w->text = text != nullptr ? text : "";
        w->control.selection_start = w->control.selection_end = 0;
        invalidate_tree(d, window);
      }
      notify_parent(window, EN_UPDATE);
      notify_parent(window, EN_CHANGE);
      return TRUE;
    }
    case EM_LIMITTEXT: {
      Lock lock(d.mutex);
      if (Window* w = d.window(window))
        w->control.text_limit = wparam == 0 ? kLargestTextLimit : std::size_t(wparam);
      return 0;
    }
    case EM_GETLIMITTEXT: {
      Lock lock(d.mutex);
      Window* w = d.window(window);
      return w != nullptr ? LRESULT(w->control.text_limit) : 0;
    }
    case EM_SETSEL: {
      // Start -1 removes the selection; an end of -1 or past the text means the end;
      // a start after the end is swapped with it.
      Lock lock(d.mutex);
      Window* w = d.window(window);
      if (w == nullptr) return 0;
      const auto length = static_cast<long long>(w->text.size());
      long long start = int(wparam), end = int(lparam);
      if (start < 0) {
        w->control.selection_start = w->control.selection_end;
      } else {
        if (end < 0 || end > length) end = length;
        start = std::min(start, length);
        w->control.selection_start = DWORD(std::min(start, end));
        w->control.selection_end = DWORD(std::max(start, end));
      }
      invalidate_tree(d, window);
      return 0;
    }
    case EM_GETSEL: {
      Lock lock(d.mutex);
      Window* w = d.window(window);
      if (w == nullptr) return 0;
      DWORD start = w->control.selection_start, end = w->control.selection_end;
      if (auto* out = reinterpret_cast<DWORD*>(wparam)) *out = start;
      if (auto* out = reinterpret_cast<DWORD*>(lparam)) *out = end;
      return MAKELRESULT(start, end);
    }
    case WM_SETFOCUS:
      notify_parent(window, EN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      notify_parent(window, EN_KILLFOCUS);
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

LRESULT CALLBACK static_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

// Scroll bar controls keep their range and position; SetScrollRange and its kin reach them
// directly, and a scroll bar never moves itself: its parent answers WM_HSCROLL.
LRESULT CALLBACK scroll_bar_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

void edit_replace_selection(HWND edit, const std::string& text) {
  bool changed = false, cut = false;
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(edit);
    if (w == nullptr) return;
    ControlState& c = w->control;
    std::size_t kept = w->text.size() - (c.selection_end - c.selection_start);
    std::size_t room = c.text_limit > kept ? c.text_limit - kept : 0;
    std::string insert = text;
    if (insert.size() > room) {
      insert.resize(room);
      cut = true;
    }
    if (!insert.empty() || c.selection_end > c.selection_start) {
      w->text.replace(c.selection_start, c.selection_end - c.selection_start, insert);
      c.selection_start = c.selection_end = DWORD(c.selection_start + insert.size());
      invalidate_tree(d, edit);
      changed = true;
    }
  }
  if (changed) {
    notify_parent(edit, EN_UPDATE);
    notify_parent(edit, EN_CHANGE);
  }
  if (cut) notify_parent(edit, EN_MAXTEXT);
}

void click_button(HWND button) {
  SetFocus(button);
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(button);
    if (w == nullptr) return;
    int type = int(w->style & BS_TYPEMASK);
    if (type == BS_AUTOCHECKBOX) w->control.check = w->control.check == BST_CHECKED ? 0 : 1;
    if (type == BS_AUTO3STATE) w->control.check = (w->control.check + 1) % 3;
    if (type == BS_AUTORADIOBUTTON) {
      // The other automatic radio buttons of its group (up to the next WS_GROUP) go clear.
      Window* parent = d.window(w->parent);
      if (parent != nullptr) {
        auto& siblings = parent->children;
        auto at = std::find(siblings.begin(), siblings.end(), button);
        auto first = at;
        while (first != siblings.begin() && !(d.window(*first)->style & WS_GROUP)) --first;
        for (auto it = first; it != siblings.end(); ++it) {
          Window* s = d.window(*it);
          if (it != first && (s->style & WS_GROUP)) break;
          if (s->window_class->kind == WindowKind::kButton &&
              (s->style & BS_TYPEMASK) == BS_AUTORADIOBUTTON)
            s->control.check = 0;
        }
      }
      w->control.check = BST_CHECKED;
    }
    invalidate_tree(d, button);
  }
  notify_parent(button, BN_CLICKED);
}

}  // namespace headless_detail

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::Window;
using Lock = std::lock_guard<std::recursive_mutex>;

int SetScrollPos(HWND window, int bar, int position, BOOL redraw) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = headless_detail::scroll_bar(d, window, bar);
  if (w == nullptr) return 0;
  auto& c = w->control;
  int previous = c.scroll_pos;
  c.scroll_pos = std::max(c.scroll_min, std::min(position, c.scroll_max));
  if (redraw) headless_detail::invalidate_tree(d, window);
  return previous;
}

int GetScrollPos(HWND window, int bar) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = headless_detail::scroll_bar(d, window, bar);
  return w != nullptr ? w->control.scroll_pos : 0;
}

// A range wider than LONG allows is refused; a maximum below the minimum becomes the minimum.
// The position is brought into the new range.
BOOL SetScrollRange(HWND window, int bar, int min, int max, BOOL redraw) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = headless_detail::scroll_bar(d, window, bar);
  if (w == nullptr) return FALSE;
  if ((long long)max - min > std::numeric_limits<LONG>::max()) {
    set_last_error(1448);  // ERROR_INVALID_SCROLLBAR_RANGE
    return FALSE;
  }
  auto& c = w->control;
  c.scroll_min = min;
  c.scroll_max = std::max(min, max);
  c.scroll_pos = std::max(c.scroll_min, std::min(c.scroll_pos, c.scroll_max));
  if (redraw) headless_detail::invalidate_tree(d, window);
  return TRUE;
}

BOOL GetScrollRange(HWND window, int bar, LPINT min, LPINT max) {
  Display& d = display();
  Lock lock(d.mutex);
  if (min == nullptr || max == nullptr) {
    set_last_error(headless_detail::kInvalidParameter);
    return FALSE;
  }
  Window* w = headless_detail::scroll_bar(d, window, bar);
  if (w == nullptr) {
    *min = *max = 0;
    return FALSE;
  }
  *min = w->control.scroll_min;
  *max = w->control.scroll_max;
  return TRUE;
}
