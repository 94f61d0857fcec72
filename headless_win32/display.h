// The state of the window layer (shared between the files of headless_win32 only): one
// Display record, its parts grouped by the room that owns them, guarded by one recursive
// mutex. No window or dialog procedure is ever called with the mutex held, since a
// procedure may call back in.
//
// Handles are opaque numbers from one counter, never addresses: a handle that has gone stale
// (a destroyed window, a deleted DC) cannot come back as the handle of a new object, so
// every use of a stale handle fails as it does on Windows.
#pragma once

#include <windows.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "headless_win32/gdi.h"
#include "headless_win32/headless.h"
#include "headless_win32/pens.h"
#include "headless_win32/timers.h"
#include "headless_win32/window_classes.h"
#include "headless_win32/window_tree.h"

namespace headless_detail {

struct Display {
  std::recursive_mutex mutex;
  uintptr_t next_handle = 0x00010010;  // display.cpp: every window, DC and GDI object handle

  // window_classes.cpp
  std::list<WindowClass> classes;     // the built-in ones first, once used; stable addresses
  std::map<std::string, ATOM> atoms;  // by upper-case name
  ATOM next_atom = 0xC000;

  // window_tree.cpp
  std::map<HWND, std::unique_ptr<Window>> windows;

  // gdi.cpp
  std::map<HDC, DeviceContext> dcs;
  std::map<HGDIOBJ, Bitmap> bitmaps;
  HGDIOBJ stock_bitmap = nullptr;   // made with the display, so it takes the first handle
  int display_bits_per_pixel = 24;  // what GetDeviceCaps reports
  int display_planes = 1;
  // pens.cpp
  std::map<HGDIOBJ, DrawingObject> drawing_objects;  // live pens and brushes
  // gdi.cpp (SetDIBitsToDevice) and draw.cpp (BitBlt)
  headless::DrawStats draw_stats;  // pixel transfers since the last reset
  // display.cpp (creation_fails)
  unsigned gdi_fail_countdown = 0;

  // focus.cpp
  HWND focus = nullptr;
  HWND capture = nullptr;

  // timers.cpp
  unsigned long long clock_ms = 0;  // the virtual clock timers run on
  std::vector<Timer> timers;        // in creation order

  // ui_script_player.cpp (DialogBoxParamA clears it)
  bool last_dialog_ran_out_of_script = false;

  // Settings tests steer (observe.cpp), read where they apply.
  int screen_width = 1024;
  int screen_height = 768;
  int base_unit_x = 6;
  int base_unit_y = 12;
  bool dialog_3d_look = false;  // bordered dialog controls get a client edge, as on Windows
  unsigned code_page = 936;     // what GetACP reports

  Display();
  uintptr_t new_handle() {
    uintptr_t h = next_handle;
    next_handle += 4;
    return h;
  }
  // The live window of a handle, or null (the caller holds the mutex).
  Window* window(HWND handle) {
    auto it = windows.find(handle);
    return it == windows.end() ? nullptr : it->second.get();
  }
  // The same, setting the thread's last error (invalid window handle) when there is none.
  Window* window_or_fail(HWND handle);
};

Display& display();

// The fault injection of tests: true (and the last error set) when this GDI object creation
// is the one to fail (the caller holds the mutex).
bool creation_fails(Display& d);

}  // namespace headless_detail
