// The window tree (window_tree.cpp): windows made and destroyed, parents, owners and
// children, their rectangles and coordinates. Owns Display::windows.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "headless_win32/controls.h"
#include "headless_win32/dialog_manager.h"
#include "headless_win32/raster.h"

namespace headless_detail {

struct Display;
struct WindowClass;

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

// What CreateWindowExA and the dialog builder ask for.
struct NewWindow {
  const WindowClass* window_class = nullptr;
  DWORD ex_style = 0;
  DWORD style = 0;
  std::string text;
  RECT rect{};
  HWND parent = nullptr;
  HWND owner = nullptr;
  int id = 0;
  HMENU menu = nullptr;
  HINSTANCE instance = nullptr;
  LPVOID create_params = nullptr;
};

// Makes the window, links it into the tree and sends WM_CREATE; a procedure that answers
// WM_CREATE with -1 makes the creation fail and the window go again. Null on failure.
HWND create_window(const NewWindow& n);
// The top-level window a window lies in, or null for an unknown handle (the caller holds
// the lock).
HWND top_level_of(Display& d, HWND handle);
// Whether a window is the given one or lies below it (the caller holds the lock).
bool is_within(Display& d, HWND window, HWND ancestor);

}  // namespace headless_detail
