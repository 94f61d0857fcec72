// Pens and brushes: the stock ones (fixed handles, never freed) and those CreatePen and
// CreateSolidBrush make, counted while alive. A pen or brush selected into a DC and then
// deleted goes when its last DC lets go of it.
#include "headless_win32/pens.h"

#include <algorithm>

#include "headless_win32/display.h"
#include "headless_win32/internal.h"

namespace headless_detail {

namespace {

// The stock objects, by GetStockObject index.
const DrawingObject kStock[] = {
    {false, true, 0xFFFFFF},  // WHITE_BRUSH
    {false, true, 0xC0C0C0},  // LTGRAY_BRUSH
    {false, true, 0x808080},  // GRAY_BRUSH
    {false, true, 0x404040},  // DKGRAY_BRUSH
    {false, true, 0x000000},  // BLACK_BRUSH
    {false, false, 0},        // NULL_BRUSH
    {true, true, 0xFFFFFF},   // WHITE_PEN
    {true, true, 0x000000},   // BLACK_PEN
    {true, false, 0},         // NULL_PEN
};
constexpr int kStockCount = int(sizeof(kStock) / sizeof(kStock[0]));

// A DC lets go of a pen or brush; one whose deletion was waiting goes with its last DC.
void let_go(Display& d, HGDIOBJ object) {
  auto it = d.drawing_objects.find(object);
  if (it == d.drawing_objects.end()) return;
  if (--it->second.selections == 0 && it->second.delete_pending) d.drawing_objects.erase(it);
}

}  // namespace

const DrawingObject* drawing_object(Display& d, HGDIOBJ object) {
  for (int i = 0; i < kStockCount; ++i)
    if (stock_object(i) == object) return &kStock[i];
  auto it = d.drawing_objects.find(object);
  return it == d.drawing_objects.end() ? nullptr : &it->second;
}

bool is_drawing_object(Display& d, HGDIOBJ object) {
  const DrawingObject* o = drawing_object(d, object);
  return o != nullptr && !o->delete_pending;
}

HGDIOBJ select_drawing_object(Display& d, DeviceContext& dc, HGDIOBJ object) {
  const DrawingObject* o = drawing_object(d, object);
  if (o == nullptr || o->delete_pending) return nullptr;
  HGDIOBJ& slot = o->is_pen ? dc.pen : dc.brush;
  HGDIOBJ previous = slot;
  if (previous == object) return previous;
  auto it = d.drawing_objects.find(object);
  if (it != d.drawing_objects.end()) ++it->second.selections;
  slot = object;
  let_go(d, previous);
  return previous;
}

BOOL delete_drawing_object(Display& d, HGDIOBJ object) {
  auto it = d.drawing_objects.find(object);
  if (it == d.drawing_objects.end()) return drawing_object(d, object) != nullptr;  // stock
  if (it->second.delete_pending) return FALSE;
  if (it->second.selections > 0)
    it->second.delete_pending = true;
  else
    d.drawing_objects.erase(it);
  return TRUE;
}

void release_drawing_objects(Display& d, DeviceContext& dc) {
  let_go(d, dc.pen);
  let_go(d, dc.brush);
  dc.pen = stock_object(BLACK_PEN);
  dc.brush = stock_object(WHITE_BRUSH);
}

}  // namespace headless_detail

using headless_detail::creation_fails;
using headless_detail::Display;
using headless_detail::display;
using headless_detail::DrawingObject;
using headless_detail::set_last_error;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {
constexpr DWORD kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
}  // namespace

HPEN CreatePen(int style, int width, COLORREF colour) {
  Display& d = display();
  Lock lock(d.mutex);
  if ((style != PS_SOLID && style != PS_NULL) || width < 0 || (style == PS_SOLID && width > 2)) {
    set_last_error(kInvalidParameter);
    return nullptr;
  }
  if (creation_fails(d)) return nullptr;
  auto handle = reinterpret_cast<HPEN>(d.new_handle());
  DrawingObject pen;
  pen.is_pen = true;
  pen.draws = style == PS_SOLID;
  pen.colour = colour;
  pen.width = std::max(width, 1);
  d.drawing_objects.emplace(handle, pen);
  return handle;
}

HBRUSH CreateSolidBrush(COLORREF colour) {
  Display& d = display();
  Lock lock(d.mutex);
  if (creation_fails(d)) return nullptr;
  auto handle = reinterpret_cast<HBRUSH>(d.new_handle());
  DrawingObject brush;
  brush.colour = colour;
  d.drawing_objects.emplace(handle, brush);
  return handle;
}

HGDIOBJ GetStockObject(int index) {
  if (index < 0 || index > NULL_PEN) return nullptr;
  return headless_detail::stock_object(index);
}
