// Timers on the virtual clock (timers.cpp): SetTimer, KillTimer, PeekMessageA and the clock
// the scripted user moves. Owns Display::timers and Display::clock_ms.
#pragma once

#include <windows.h>

namespace headless_detail {

struct Display;

// A SetTimer timer on the virtual clock. pending: it came due and its WM_TIMER waits.
struct Timer {
  HWND window = nullptr;
  UINT_PTR id = 0;
  UINT period_ms = 0;
  TIMERPROC procedure = nullptr;
  unsigned long long due_ms = 0;
  bool pending = false;
};

// Moves the virtual clock on; timers that come due get their WM_TIMER pending.
void advance_clock(unsigned long long ms);
// The shortest period of the live timers, 0 when there are none.
UINT shortest_timer_period();
// Delivers the oldest pending WM_TIMER; false when none is pending.
bool deliver_pending_timer();
// A window that goes takes its timers with it (the caller holds the lock).
void remove_timers_of(Display& d, HWND window);

}  // namespace headless_detail
