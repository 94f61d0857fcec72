// USER32's standard controls (buttons, edits, statics, scroll bars) with their notifications
// sent synchronously to the parent, the dialog-item helpers, keyboard focus, mouse capture,
// update regions and painting, and timers on a virtual clock.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

#include "headless_win32/controls.h"
#include "headless_win32/headless.h"
#include "headless_win32/internal.h"

namespace headless_detail {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
constexpr DWORD kInvalidParameter = 87;       // ERROR_INVALID_PARAMETER
constexpr DWORD kNoScrollBars = 1447;         // ERROR_NO_SCROLLBARS
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

RECT whole_client(const Window& w) { return client_rect(w.style, w.ex_style, w.rect); }

// Adds a rectangle (client coordinates; null for the whole client area) to the update region;
// with erase, the background is erased before the next paint.
void add_to_update(Window& w, const RECT* rect, bool erase) {
  RECT client = whole_client(w);
  RECT r = rect != nullptr ? *rect : client;
  r.left = std::max(r.left, client.left);
  r.top = std::max(r.top, client.top);
  r.right = std::min(r.right, client.right);
  r.bottom = std::min(r.bottom, client.bottom);
  if (r.left >= r.right || r.top >= r.bottom) return;
  if (erase) w.needs_erase = true;
  if (!w.needs_paint) {
    w.update = r;
    w.needs_paint = true;
    return;
  }
  w.update.left = std::min(w.update.left, r.left);
  w.update.top = std::min(w.update.top, r.top);
  w.update.right = std::max(w.update.right, r.right);
  w.update.bottom = std::max(w.update.bottom, r.bottom);
}

void paint_order(Display& d, HWND handle, std::vector<HWND>& out) {
  Window* w = d.window(handle);
  if (w == nullptr) return;
  out.push_back(handle);
  for (HWND child : w->children) paint_order(d, child, out);
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

void invalidate_tree(Display& d, HWND window) {
  Window* w = d.window(window);
  if (w == nullptr) return;
  add_to_update(*w, nullptr, true);  // as Windows does when it shows or sizes a window
  for (HWND child : w->children) invalidate_tree(d, child);
}

void paint_invalid_windows() {
  Display& d = display();
  // Painting can invalidate again (a window resized in its own paint, as BeginPaint validates
  // first on Windows too): passes repeat until everything is painted, a few at most, since a
  // procedure that invalidates itself on every paint would be asked forever on Windows.
  for (int pass = 0; pass < 8; ++pass) {
    std::vector<HWND> order;
    {
      Lock lock(d.mutex);
      for (const auto& entry : d.windows)
        if (entry.second->parent == nullptr) paint_order(d, entry.first, order);
    }
    bool painted = false;
    for (HWND window : order) {
      unsigned validations;
      {
        Lock lock(d.mutex);
        Window* w = d.window(window);
        if (w == nullptr || !w->needs_paint) continue;
        validations = w->validations;
      }
      painted = true;
      send_message(window, WM_PAINT, 0, 0);
      // A procedure that never validates would be asked again and again on Windows; here
      // it counts as painted once asked.
      Lock lock(d.mutex);
      Window* w = d.window(window);
      if (w != nullptr && w->validations == validations) w->needs_paint = false;
    }
    if (!painted) return;
  }
}

void advance_clock(unsigned long long ms) {
  Display& d = display();
  Lock lock(d.mutex);
  d.clock_ms += ms;
  for (Timer& t : d.timers) {
    while (t.due_ms <= d.clock_ms) {
      t.pending = true;
      t.due_ms += t.period_ms;
    }
  }
}

UINT shortest_timer_period() {
  Display& d = display();
  Lock lock(d.mutex);
  UINT shortest = 0;
  for (const Timer& t : d.timers)
    if (shortest == 0 || t.period_ms < shortest) shortest = t.period_ms;
  return shortest;
}

bool deliver_pending_timer() {
  Display& d = display();
  Timer timer;
  DWORD now;
  {
    Lock lock(d.mutex);
    auto it =
        std::find_if(d.timers.begin(), d.timers.end(), [](const Timer& t) { return t.pending; });
    if (it == d.timers.end()) return false;
    it->pending = false;
    timer = *it;
    now = DWORD(d.clock_ms);
  }
  if (timer.procedure != nullptr)
    timer.procedure(timer.window, WM_TIMER, timer.id, now);
  else if (timer.window != nullptr)
    send_message(timer.window, WM_TIMER, timer.id, 0);
  return true;
}

}  // namespace headless_detail

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::Window;
using Lock = std::lock_guard<std::recursive_mutex>;

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam) {
  HWND control = GetDlgItem(dialog, id);
  return control != nullptr ? SendMessageA(control, message, wparam, lparam) : 0;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return FALSE;
  return SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int buffer_max) {
  if (buffer != nullptr && buffer_max > 0) buffer[0] = '\0';
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr || buffer == nullptr || buffer_max <= 0) return 0;
  return UINT(
      SendMessageA(control, WM_GETTEXT, WPARAM(buffer_max), reinterpret_cast<LPARAM>(buffer)));
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed) {
  char text[16];
  if (is_signed)
    std::snprintf(text, sizeof text, "%d", int(value));
  else
    std::snprintf(text, sizeof text, "%u", value);
  return SetDlgItemTextA(dialog, id, text);
}

// Leading and trailing blanks are skipped; anything else that is not a digit (or, signed, a
// leading minus sign) leaves the text untranslated, as does a number too large for the type.
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed) {
  if (translated != nullptr) *translated = FALSE;
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return 0;
  std::string text(std::size_t(SendMessageA(control, WM_GETTEXTLENGTH, 0, 0)) + 1, '\0');
  text.resize(std::size_t(
      SendMessageA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t i = 0, end = text.size();
  while (i < end && blank(text[i])) ++i;
  while (end > i && blank(text[end - 1])) --end;
  bool negative = false;
  if (is_signed && i < end && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == end) return 0;
  unsigned long long magnitude = 0;
  for (; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return 0;
    magnitude = magnitude * 10 + unsigned(text[i] - '0');
    if (magnitude > 0xFFFFFFFFull) return 0;
  }
  if (is_signed) {
    long long limit = negative ? 2147483648LL : 2147483647LL;
    if (magnitude > (unsigned long long)limit) return 0;
  }
  if (translated != nullptr) *translated = TRUE;
  return negative ? UINT(0u - UINT(magnitude)) : UINT(magnitude);
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return FALSE;
  SendMessageA(control, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  return UINT(SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0));
}

BOOL CheckRadioButton(HWND dialog, int first_id, int last_id, int check_id) {
  for (int id = first_id; id <= last_id; ++id)
    SendDlgItemMessageA(dialog, id, BM_SETCHECK, id == check_id ? BST_CHECKED : BST_UNCHECKED, 0);
  return TRUE;
}

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

// The old focus hears WM_KILLFOCUS, then the new one WM_SETFOCUS, both before the call returns.
// While WM_KILLFOCUS runs no window has the focus; a focus moved from inside it stays where that
// moved it, and the new window then hears nothing.
HWND SetFocus(HWND window) {
  Display& d = display();
  HWND previous;
  {
    Lock lock(d.mutex);
    if (window != nullptr && d.window(window) == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return nullptr;
    }
    previous = d.focus;
    if (previous == window) return previous;
    d.focus = nullptr;
  }
  if (previous != nullptr && IsWindow(previous))
    headless_detail::send_message(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(window), 0);
  {
    Lock lock(d.mutex);
    if (window == nullptr || d.focus != nullptr || d.window(window) == nullptr) return previous;
    d.focus = window;
  }
  headless_detail::send_message(window, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
  return previous;
}

HWND GetFocus() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.focus;
}

HWND SetCapture(HWND window) {
  Display& d = display();
  HWND previous;
  {
    Lock lock(d.mutex);
    if (d.window(window) == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return nullptr;
    }
    previous = d.capture;
    d.capture = window;
  }
  if (previous != nullptr && previous != window)
    headless_detail::send_message(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(window));
  return previous;
}

BOOL ReleaseCapture() {
  Display& d = display();
  HWND previous;
  {
    Lock lock(d.mutex);
    previous = d.capture;
    d.capture = nullptr;
  }
  if (previous != nullptr) headless_detail::send_message(previous, WM_CAPTURECHANGED, 0, 0);
  return TRUE;
}

HWND GetCapture() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.capture;
}

// A null window invalidates every window, as on Windows; the children of the window are not
// invalidated.
BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) {
  Display& d = display();
  Lock lock(d.mutex);
  if (window == nullptr) {
    for (auto& entry : d.windows)
      headless_detail::add_to_update(*entry.second, nullptr, erase != FALSE);
    return TRUE;
  }
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return FALSE;
  headless_detail::add_to_update(*w, rect, erase != FALSE);
  return TRUE;
}

// Validates the whole update region whatever the rectangle.
BOOL ValidateRect(HWND window, const RECT*) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return FALSE;
  w->needs_paint = false;
  w->needs_erase = false;
  w->update = {};
  ++w->validations;
  return TRUE;
}

BOOL UpdateWindow(HWND window) {
  bool needs_paint;
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(window);
    if (w == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return FALSE;
    }
    needs_paint = w->needs_paint;
  }
  if (needs_paint) headless_detail::send_message(window, WM_PAINT, 0, 0);
  return TRUE;
}

HDC BeginPaint(HWND window, LPPAINTSTRUCT paint) {
  if (paint == nullptr) {
    set_last_error(headless_detail::kInvalidParameter);
    return nullptr;
  }
  *paint = PAINTSTRUCT{};
  bool erase = false;
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(window);
    if (w == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return nullptr;
    }
    if (w->needs_paint) paint->rcPaint = w->update;
    erase = w->needs_paint && w->needs_erase;
    w->erasing = paint->rcPaint;
    w->needs_paint = false;
    w->needs_erase = false;
    w->update = {};
    ++w->validations;
  }
  paint->hdc = GetDC(window);
  // The background first, as Windows erases it: fErase stays set when nothing erased it.
  if (erase && paint->hdc != nullptr)
    paint->fErase =
        headless_detail::send_message(window, WM_ERASEBKGND, WPARAM(paint->hdc), 0) == 0;
  return paint->hdc;
}

BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) {
  if (paint != nullptr && paint->hdc != nullptr) ReleaseDC(window, paint->hdc);
  return TRUE;
}

// A timer of an existing window and id is replaced and starts afresh; periods below
// USER_TIMER_MINIMUM are raised to it. A null window gets a fresh id.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse_ms, TIMERPROC procedure) {
  Display& d = display();
  Lock lock(d.mutex);
  if (window != nullptr && d.window(window) == nullptr) {
    set_last_error(headless_detail::kInvalidWindowHandle);
    return 0;
  }
  if (window == nullptr) id = UINT_PTR(d.new_handle());
  UINT period = std::max<UINT>(elapse_ms, USER_TIMER_MINIMUM);
  period = std::min<UINT>(period, 0x7FFFFFFF);
  headless_detail::Timer* timer = nullptr;
  for (auto& t : d.timers)
    if (t.window == window && t.id == id) timer = &t;
  if (timer == nullptr) {
    d.timers.emplace_back();
    timer = &d.timers.back();
    timer->window = window;
    timer->id = id;
  }
  timer->period_ms = period;
  timer->procedure = procedure;
  timer->due_ms = d.clock_ms + period;
  timer->pending = false;
  return id != 0 ? id : 1;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
  Display& d = display();
  Lock lock(d.mutex);
  auto it = std::find_if(d.timers.begin(), d.timers.end(), [&](const headless_detail::Timer& t) {
    return t.window == window && t.id == id;
  });
  if (it == d.timers.end()) return FALSE;
  d.timers.erase(it);
  return TRUE;
}

// Only timer messages are ever queued: a pending WM_TIMER of the window (of any window when
// null) is found when the range holds WM_TIMER (first and last both 0: every message).
BOOL PeekMessageA(LPMSG message, HWND window, UINT first, UINT last, UINT remove) {
  if (message == nullptr) return FALSE;
  bool all = first == 0 && last == 0;
  if (!all && (WM_TIMER < first || WM_TIMER > last)) return FALSE;
  Display& d = display();
  Lock lock(d.mutex);
  for (auto& t : d.timers) {
    if (!t.pending || (window != nullptr && t.window != window)) continue;
    *message = MSG{};
    message->hwnd = t.window;
    message->message = WM_TIMER;
    message->wParam = t.id;
    message->lParam = reinterpret_cast<LPARAM>(t.procedure);
    message->time = DWORD(d.clock_ms);
    if (remove & PM_REMOVE) t.pending = false;
    return TRUE;
  }
  return FALSE;
}

namespace headless {

std::optional<ControlInfo> control_info(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return std::nullopt;
  ControlInfo info;
  info.text = w->text;
  info.selection_start = w->control.selection_start;
  info.selection_end = w->control.selection_end;
  info.text_limit = w->control.text_limit;
  info.check = w->control.check;
  info.scroll_min = w->control.scroll_min;
  info.scroll_max = w->control.scroll_max;
  info.scroll_pos = w->control.scroll_pos;
  info.needs_paint = w->needs_paint;
  return info;
}

std::vector<TimerInfo> timers() {
  Display& d = display();
  Lock lock(d.mutex);
  std::vector<TimerInfo> out;
  for (const auto& t : d.timers) out.push_back({t.window, t.id, t.period_ms, t.due_ms, t.pending});
  return out;
}

unsigned long long virtual_time_ms() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.clock_ms;
}

void advance_virtual_time(unsigned long long ms) { headless_detail::advance_clock(ms); }

}  // namespace headless
