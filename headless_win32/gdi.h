// Device contexts and bitmaps (gdi.cpp): what a DC draws into and what is selected where.
// Owns Display::dcs, Display::bitmaps, Display::stock_bitmap and the display depth
// GetDeviceCaps reports; counts its pixel transfers in Display::draw_stats.
#pragma once

#include <windows.h>

#include "headless_win32/pens.h"
#include "headless_win32/raster.h"

namespace headless_detail {

struct Display;

enum class DcKind { kWindow, kMemory };

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

struct Bitmap {
  Raster raster;
  HDC selected_into = nullptr;
  bool delete_pending = false;  // DeleteObject came while it was selected
  bool stock = false;           // never freed, may be selected into any number of DCs
};

// What a DC draws into: a window's framebuffer or a memory DC's bitmap; null for the screen
// DC and for the DC of a window that has gone (the caller holds the mutex).
Raster* target_of(Display& d, const DeviceContext& dc);

}  // namespace headless_detail
