// The state behind windows.cpp and gdi.cpp (shared between the files of headless_win32 only):
// window classes, the window tree, device contexts and GDI objects, and the screen settings.
// Everything sits in one Display guarded by one recursive mutex; no window or dialog
// procedure is ever called with the mutex held, since a procedure may call back in.
//
// Handles are opaque numbers from one counter, never addresses: a handle that has gone stale
// (a destroyed window, a deleted DC) cannot come back as the handle of a new object, so
// every use of a stale handle fails as it does on Windows.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "headless_win32/headless.h"

namespace headless_detail {

// What a window does beyond its class's procedure: the built-in control kinds and dialogs
// get their behaviour here; kCustom windows are whatever their procedure makes them.
enum class WindowKind { kCustom, kButton, kEdit, kStatic, kScrollBar, kDialog };

struct WindowClass {
  std::string name;              // as registered; compared without regard to case
  ATOM atom = 0;                 // equal for equal names
  HINSTANCE instance = nullptr;  // null for the built-in classes, which every module sees
  WNDPROC procedure = nullptr;   // null for the built-in classes
  WindowKind kind = WindowKind::kCustom;
  UINT style = 0;
  HCURSOR cursor = nullptr;
  HBRUSH background = nullptr;
};

// Pixels of a bitmap or of a window's client area: rows top-down, each a whole number of
// 16-bit words as Windows stores bitmap rows. 1 bit per pixel: the leftmost pixel is the
// most significant bit of its byte, 1 white, 0 black. 24 and 32 bits: blue, green, red
// (and an unused byte).
struct Raster {
  int width = 0;
  int height = 0;
  int bits_per_pixel = 24;
  std::size_t stride = 0;
  std::vector<uint8_t> bytes;

  static std::size_t stride_for(int width, int bits_per_pixel) {
    return ((std::size_t(width) * std::size_t(bits_per_pixel) + 15) / 16) * 2;
  }
  // Sets the size, keeping the pixels the old and new sizes share; new pixels are black.
  void resize(int new_width, int new_height);
  // The colour at (x, y) as 0x00BBGGRR, or CLR_INVALID outside the raster.
  COLORREF pixel(int x, int y) const;
  // Sets (x, y) when inside; a 1-bit raster takes white as 1 and any other colour as 0.
  void set_pixel(int x, int y, COLORREF colour);
};

// The part of a window that only dialogs have.
struct DialogState {
  DLGPROC procedure = nullptr;  // null until the controls exist
  bool ended = false;
  INT_PTR result = 0;
};

// What the built-in controls keep beside their text; each kind uses its own part.
struct ControlState {
  std::size_t text_limit = 32767;  // edit: the most characters typing may give
  DWORD selection_start = 0;       // edit: the selection, start <= end <= length
  DWORD selection_end = 0;
  UINT check = 0;      // check boxes and radio buttons: BST_UNCHECKED, BST_CHECKED, ...
  int scroll_min = 0;  // scroll bar (SB_CTL): an empty range until set
  int scroll_max = 0;
  int scroll_pos = 0;
};

struct Window {
  HWND handle = nullptr;
  const WindowClass* window_class = nullptr;  // classes with windows cannot be unregistered
  WNDPROC procedure = nullptr;
  DWORD style = 0;
  DWORD ex_style = 0;
  int id = 0;
  HWND parent = nullptr;       // child windows only
  HWND owner = nullptr;        // top-level windows only
  std::vector<HWND> children;  // in creation order (the dialog's tab order)
  std::string text;            // UTF-8
  // Outer rectangle: in the parent's client coordinates for a child, else on the screen.
  RECT rect{};
  // The client area, 24 bits per pixel; at most kLargestFramebuffer a side, so a huge
  // window keeps only the pixels of its top-left part (drawing beyond them is dropped).
  Raster framebuffer;
  std::shared_ptr<DialogState> dialog;  // shared with DialogBoxParamA, which outlives it
  bool destroying = false;
  ControlState control;
  bool needs_paint = false;  // the update region is not empty
  bool needs_erase = false;  // the next BeginPaint sends WM_ERASEBKGND first
  RECT update{};             // the update region's bounds, in client coordinates
  RECT erasing{};            // the region WM_ERASEBKGND fills, set by BeginPaint
  unsigned validations = 0;  // BeginPaint and ValidateRect calls, to see whether a paint validated
};

// A SetTimer timer on the virtual clock. pending: it came due and its WM_TIMER waits.
struct Timer {
  HWND window = nullptr;
  UINT_PTR id = 0;
  UINT period_ms = 0;
  TIMERPROC procedure = nullptr;
  unsigned long long due_ms = 0;
  bool pending = false;
};

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

enum class DcKind { kWindow, kMemory };

// Stock brushes and pens have fixed handles below those the counter hands out; they live in
// no table, are never freed and are not counted.
inline HGDIOBJ stock_object(int index) {
  return reinterpret_cast<HGDIOBJ>(uintptr_t{0x8000} + uintptr_t(index) * 4);
}

struct DeviceContext {
  DcKind kind = DcKind::kWindow;
  HWND window = nullptr;     // window DCs; null for the screen
  HGDIOBJ bitmap = nullptr;  // memory DCs: the selected bitmap (the stock one at first)
  HGDIOBJ pen = stock_object(BLACK_PEN);
  HGDIOBJ brush = stock_object(WHITE_BRUSH);
  int rop2 = R2_COPYPEN;
  COLORREF background = 0xFFFFFF;  // SetBkColor
  COLORREF text = 0x000000;        // SetTextColor
  POINT position{0, 0};            // MoveToEx, LineTo
};

// A pen or a brush made by CreatePen or CreateSolidBrush.
struct DrawingObject {
  bool is_pen = false;
  bool draws = true;  // false for PS_NULL pens
  COLORREF colour = 0;
  int width = 1;                // pens: 1 for a one-pixel (cosmetic) pen, else its width
  int selections = 0;           // DCs it is selected into
  bool delete_pending = false;  // DeleteObject came while it was selected
};

struct Bitmap {
  Raster raster;
  HDC selected_into = nullptr;
  bool delete_pending = false;  // DeleteObject came while it was selected
  bool stock = false;           // never freed, may be selected into any number of DCs
};

struct Display {
  std::recursive_mutex mutex;

  std::list<WindowClass> classes;     // the built-in ones first; stable addresses
  std::map<std::string, ATOM> atoms;  // by upper-case name
  ATOM next_atom = 0xC000;

  std::map<HWND, std::unique_ptr<Window>> windows;
  std::map<HDC, DeviceContext> dcs;
  std::map<HGDIOBJ, Bitmap> bitmaps;
  HGDIOBJ stock_bitmap = nullptr;
  std::map<HGDIOBJ, DrawingObject> drawing_objects;  // live pens and brushes

  int screen_width = 1024;
  int screen_height = 768;
  int base_unit_x = 6;
  int base_unit_y = 12;
  bool dialog_3d_look = false;  // bordered dialog controls get a client edge, as on Windows
  unsigned code_page = 936;     // what GetACP reports
  unsigned gdi_fail_countdown = 0;
  bool last_dialog_ran_out_of_script = false;
  headless::DrawStats draw_stats;  // pixel transfers since the last reset

  HWND focus = nullptr;
  HWND capture = nullptr;
  unsigned long long clock_ms = 0;  // the virtual clock timers run on
  std::vector<Timer> timers;        // in creation order

  uintptr_t next_handle = 0x00010010;

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
  // Top-left corner of a window's client area on the screen.
  POINT client_origin(const Window& w);
};

Display& display();

// What a DC draws into: a window's framebuffer or a memory DC's bitmap; null for the screen
// DC and for the DC of a window that has gone (the caller holds the mutex).
Raster* target_of(Display& d, const DeviceContext& dc);

// The fault injection of tests: true (and the last error set) when this creation is the one
// to fail.
bool creation_fails(Display& d);

// Pens and brushes, stock or live, as SelectObject and DeleteObject meet them (the caller
// holds the mutex). select_drawing_object returns the DC's previous pen or brush, or null
// when the handle is not a live pen or brush.
bool is_drawing_object(Display& d, HGDIOBJ object);
HGDIOBJ select_drawing_object(Display& d, DeviceContext& dc, HGDIOBJ object);
BOOL delete_drawing_object(Display& d, HGDIOBJ object);
// Lets go of a DC's pen and brush when the DC goes.
void release_drawing_objects(Display& d, DeviceContext& dc);

}  // namespace headless_detail
