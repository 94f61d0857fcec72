// What tests and the host can observe and steer in headless_win32, beside the Win32 calls
// themselves: memory accounting and fault injection, recorded message boxes and beeps,
// the resources of the main program, and the windows, dialogs and GDI objects.
#pragma once

#include <windows.h>

#include <cstddef>
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
};
DisplayCounts display_counts();
// The n-th GDI object creation (CreateBitmap, CreateCompatibleDC) from now fails (1: the
// next one); 0 switches this off.
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

}  // namespace headless

// Every module built for headless_win32 carries its compiled .res under these names.
extern "C" const unsigned char headless_resources[];
extern "C" const std::size_t headless_resources_size;
