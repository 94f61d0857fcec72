// Timers on a virtual clock: SetTimer, KillTimer and PeekMessageA (only timer messages are
// ever queued), and the clock itself, which moves only when the scripted user or a test
// moves it; due timers get their WM_TIMER pending and are delivered one at a time.
#include "headless_win32/timers.h"

#include <algorithm>

#include "headless_win32/display.h"
#include "headless_win32/internal.h"
#include "headless_win32/messages.h"

namespace headless_detail {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE

}  // namespace

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

void remove_timers_of(Display& d, HWND window) {
  d.timers.erase(std::remove_if(d.timers.begin(), d.timers.end(),
                                [window](const Timer& t) { return t.window == window; }),
                 d.timers.end());
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
