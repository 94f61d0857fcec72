// What tests and the host can observe and steer in headless_win32, beside the Win32 calls
// themselves: memory accounting and fault injection, recorded message boxes and beeps,
// the resources of the main program, and the windows, dialogs and GDI objects.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace headless {

// --- memory blocks ---
struct MemoryStats {
  std::size_t live_bytes = 0;   // bytes in blocks not yet freed
  std::size_t peak_bytes = 0;   // most live bytes since the last reset
  std::size_t live_blocks = 0;  // blocks not yet freed
  std::size_t allocations = 0;  // successful GlobalAlloc calls since the last reset
  std::size_t failed_allocations = 0;
  std::size_t invalid_calls = 0;  // lock, unlock, free or size of an unknown handle
};
MemoryStats memory_stats();
// Starts counting afresh from the blocks alive now (peak = live) and lifts fault injection.
void reset_memory_stats();
// The n-th GlobalAlloc from now fails (1: the next one); 0 switches this off.
void fail_allocation(unsigned n);
// Any GlobalAlloc that would take the live bytes past limit fails; 0 switches this off.
void set_byte_limit(std::size_t limit);
// Lock count of a live block, or -1 for an unknown handle.
int lock_count(HGLOBAL block);

// --- message boxes and beeps ---
struct MessageBoxCall {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
std::vector<MessageBoxCall> message_boxes();
std::vector<UINT> beeps();
void clear_records();

// --- modules ---
// Gives the main program a resource section (the bytes of a .res file), so that
// GetModuleHandleA(nullptr) finds resources as it does on Windows.
void set_main_resources(const unsigned char* res_bytes, std::size_t size);
// Why the last LoadLibraryA failed, in words.
std::string last_library_error();

// --- windows, dialogs and GDI objects ---
// The screen GetSystemMetrics reports and dialogs are kept on (default 1024 x 768).
void set_screen_size(int width, int height);
// Dialog base units in pixels (default 6 x 12): a dialog unit is base_x / 4 pixels across and
// base_y / 8 pixels down, rounded to nearest.
void set_dialog_base_units(int base_x, int base_y);
// The ANSI code page GetACP reports (default 936, the Chinese one the dialog's labels use).
void set_code_page(unsigned code_page);
// Windows' look for dialogs: a control with WS_BORDER gets a 2-pixel sunken edge instead
// (WS_EX_CLIENTEDGE). Off by default, where bordered controls keep a 1-pixel border.
void set_dialog_3d_look(bool on);
// Screen size and base units back to their defaults, GDI fault injection off.
void reset_display_settings();

struct DisplayCounts {
  std::size_t windows = 0;     // live windows
  std::size_t window_dcs = 0;  // GetDC not yet released
  std::size_t memory_dcs = 0;  // CreateCompatibleDC not yet deleted
  std::size_t bitmaps = 0;     // CreateBitmap not yet freed (the stock bitmap not counted)
  std::size_t pens = 0;        // CreatePen not yet freed (stock pens not counted)
  std::size_t brushes = 0;     // CreateSolidBrush not yet freed (stock brushes not counted)
};
DisplayCounts display_counts();

// Pixel transfers onto windows and bitmaps: calls and the pixels they cover (width x height
// as asked, before clipping).
struct DrawStats {
  std::size_t dib_calls = 0;  // SetDIBitsToDevice
  std::size_t dib_pixels = 0;
  std::size_t blits = 0;  // BitBlt
  std::size_t blit_pixels = 0;
};
DrawStats draw_stats();
void reset_draw_stats();
// The depth GetDeviceCaps reports for every device context: BITSPIXEL bits_per_pixel and
// PLANES planes (default 24 and 1). reset_display_settings leaves it as set.
void set_display_depth(int bits_per_pixel, int planes);
// The n-th GDI object creation (CreateBitmap, CreateCompatibleDC, CreatePen,
// CreateSolidBrush) from now fails (1: the next one); 0 switches this off.
void fail_gdi_creation(unsigned n);

// Whether the last DialogBoxParamA ran out of scripted user while the dialog was open (and
// so cancelled it).
bool last_dialog_ran_out_of_script();
// Names of the registered window classes, as registered, oldest first (built-in ones left out).
std::vector<std::string> registered_classes();

struct WindowInfo {
  std::string class_name;  // as registered ("#32770" for dialogs)
  std::string text;        // UTF-8
  DWORD style = 0;
  DWORD ex_style = 0;
  int id = 0;
  HWND parent = nullptr;
  HWND owner = nullptr;
  std::vector<HWND> children;  // in creation order
  bool is_dialog = false;
};
std::optional<WindowInfo> window_info(HWND window);
// A pixel of a window's client area, or of a bitmap, as 0x00BBGGRR; CLR_INVALID outside it
// or for an unknown handle.
COLORREF window_pixel(HWND window, int x, int y);
COLORREF bitmap_pixel(HBITMAP bitmap, int x, int y);

// A picture of a window as the screen would show it: its client area with its child windows
// composed in over it, each child's border (non-client area) in mid gray around the child's
// own client pixels. Rows top-down, three bytes a pixel: red, green, blue.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;
};
std::optional<Picture> window_picture(HWND window);

// --- controls, timers and the scripted user ---
struct ControlInfo {
  std::string text;           // UTF-8
  DWORD selection_start = 0;  // edit controls: the selection, start <= end
  DWORD selection_end = 0;
  std::size_t text_limit = 0;  // edit controls: the most characters typing may give
  UINT check = 0;              // check boxes and radio buttons (BST_CHECKED, ...)
  int scroll_min = 0;          // scroll bar controls: range and position
  int scroll_max = 0;
  int scroll_pos = 0;
  bool needs_paint = false;  // the window's update region is not empty
};
std::optional<ControlInfo> control_info(HWND window);

struct TimerInfo {
  HWND window;
  UINT_PTR id;
  UINT period_ms;
  unsigned long long due_ms;  // on the virtual clock
  bool pending;               // came due; its WM_TIMER waits to be delivered or removed
};
std::vector<TimerInfo> timers();
// The virtual clock timers run on (ms). It moves only when told to: by the scripted user's
// `tick` steps, or by advance_virtual_time, which makes due timers pending but delivers nothing.
unsigned long long virtual_time_ms();
void advance_virtual_time(unsigned long long ms);

// The scripted user that modal dialogs play, one step at a time after painting. One step a
// line; blank lines and lines whose first non-blank character is '#' are skipped. Steps:
//   wait-ready                 nothing to wait for here: each step starts after painting
//   type ID TEXT               the field takes the focus with its whole text selected, then
//                              TEXT (everything after the one blank following ID) is typed
//                              over it a character at a time; the text limit holds
//   focus ID                   the control takes the focus as the dialog gives it
//   click ID                   a button takes the focus and is clicked (an edit only takes
//                              the focus)
//   key enter|esc|tab          the dialog's keys
//   scroll ID CODE [POS]       the scroll bar's parent gets WM_HSCROLL (WM_VSCROLL for
//                              SBS_VERT) with CODE (a number or a name such as lineleft,
//                              SB_PAGERIGHT, thumbtrack) and POS
//   press|move|release VIEW X Y  the left button at (X, Y) of control VIEW's client area;
//                              while a window has the capture, it gets the message instead,
//                              in its own client coordinates
//   tick N                     N periods of the shortest live timer: the clock moves one
//                              period at a time and due WM_TIMERs are delivered after each
//   expect-beeps N             a failure unless N beeps were recorded since clear_records
//   snapshot dialog|ID FILE    hands window_picture of the dialog or of the control to the
//                              picture writer with FILE (the rest of the line, ending in
//                              .png); a failure when the writer reports one or none is set
// Replaces the steps left, and clears the errors and the failures. Lines that do not parse
// are left out and reported by ui_script_errors; the result tells whether all parsed.
bool set_ui_script(const std::string& text);
// Tests only: called inside the modal loop each time the dialog is at rest (painted, no
// timer due) before the next step, with the script line of the step played last (0 before
// the first). Null switches it off.
void set_ui_observer(std::function<void(HWND dialog, int line)> observer);
std::vector<std::string> ui_script_errors();    // "line N: ..." from the last set_ui_script
std::vector<std::string> ui_script_failures();  // "line N: ..." for steps that went wrong
std::size_t ui_script_steps_left();
// What `snapshot` steps hand their pictures to (headless_win32 itself writes no image
// files): the answer is empty when the file was written, else one line saying why not.
using PictureWriter = std::function<std::string(const std::string& file, const Picture& picture)>;
void set_picture_writer(PictureWriter writer);

}  // namespace headless

// Every module built for headless_win32 carries its compiled .res under these names.
extern "C" const unsigned char headless_resources[];
extern "C" const std::size_t headless_resources_size;
