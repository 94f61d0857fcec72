// Pens and brushes, stock and made (pens.cpp): what they draw with, and their lives as
// SelectObject and DeleteObject meet them. Owns Display::drawing_objects, the live made ones.
#pragma once

#include <windows.h>

#include <cstdint>

namespace headless_detail {

struct Display;
struct DeviceContext;

// A pen or a brush made by CreatePen or CreateSolidBrush.
struct DrawingObject {
  bool is_pen = false;
  bool draws = true;  // false for PS_NULL pens
  COLORREF colour = 0;
  int width = 1;                // pens: 1 for a one-pixel (cosmetic) pen, else its width
  int selections = 0;           // DCs it is selected into
  bool delete_pending = false;  // DeleteObject came while it was selected
};

// Stock brushes and pens have fixed handles below those the counter hands out; they live in
// no table, are never freed and are not counted.
inline HGDIOBJ stock_object(int index) {
  return reinterpret_cast<HGDIOBJ>(uintptr_t{0x8000} + uintptr_t(index) * 4);
}

// All of these want the display's mutex held by the caller.
// A stock object, or a live pen or brush (one whose deletion waits included), or null.
const DrawingObject* drawing_object(Display& d, HGDIOBJ object);
// Pens and brushes, stock or live, as SelectObject and DeleteObject meet them.
// select_drawing_object returns the DC's previous pen or brush, or null when the handle is
// not a live pen or brush.
bool is_drawing_object(Display& d, HGDIOBJ object);
HGDIOBJ select_drawing_object(Display& d, DeviceContext& dc, HGDIOBJ object);
BOOL delete_drawing_object(Display& d, HGDIOBJ object);
// Lets go of a DC's pen and brush when the DC goes.
void release_drawing_objects(Display& d, DeviceContext& dc);

}  // namespace headless_detail
