// GDI32 drawing: a DC's drawing state (binary raster operation, background and text colours,
// current position), and LineTo, FillRect and BitBlt drawing into the raster behind a DC with
// its pen and brush, clipped to it.
//
// Colours combine bit by bit as 0x00BBGGRR values. A 1-bit raster reads as white (0xFFFFFF)
// or black; a pen or brush colour drawn on one is white when it is exactly white, else black,
// as Raster::set_pixel stores colours there.
//
// Lines. The pixels of the segment from (x0, y0) to (x1, y1), with dx = x1 - x0 and
// dy = y1 - y0, are one per column when |dx| >= |dy| and one per row otherwise. In column
// x0 + i * sign(dx) the pixel is in the row nearest y0 + i * dy / |dx|; when two rows are
// equally near, the smaller (upper) one. Steep segments swap the roles of rows and columns
// (the smaller column on a tie). The set depends on the segment alone, never on the direction
// it is drawn in. LineTo paints the set less its end point (steps i = 0 .. max(|dx|,|dy|) - 1),
// so a polyline paints each joint once, and a zero-length LineTo paints nothing.
//
// Wide lines (pens two pixels wide, with round ends) paint a region, each pixel of it once
// whatever the raster operation: the 2 x 2 pixels up and left of each end point (the round
// end of that width), and between them, for a horizontal or vertical segment, the two rows
// (or columns) from the smaller end up to the larger, exclusive; for any other segment, the
// quadrilateral its ends make when offset by half the width across the line (rounded halves,
// the wider half on one side), filled as polygons are: per row, from the first pixel inside
// its left edge up to the first inside its right edge, edges stepped by exact integer
// increments. These are the pixels Windows' own rendering (as wine gives it) paints.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "headless_win32/display.h"
#include "headless_win32/gdi.h"
#include "headless_win32/internal.h"
#include "headless_win32/pens.h"

namespace {

using headless_detail::DeviceContext;
using headless_detail::Display;
using headless_detail::display;
using headless_detail::DrawingObject;
using headless_detail::Raster;
using headless_detail::set_last_error;
using Lock = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kInvalidHandle = 6;      // ERROR_INVALID_HANDLE
constexpr DWORD kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr COLORREF kWhite = 0xFFFFFF;

__extension__ typedef __int128 Wide;  // i * dy of a line can pass 2^63

// The DC of a handle, or null with the last error set (the caller holds the mutex).
DeviceContext* context_of(Display& d, HDC dc) {
  auto it = d.dcs.find(dc);
  if (it == d.dcs.end()) {
    set_last_error(kInvalidHandle);
    return nullptr;
  }
  return &it->second;
}

// A colour as a raster of this depth holds it: itself, or white or black on a 1-bit raster.
COLORREF as_stored(const Raster& raster, COLORREF colour) {
  colour &= kWhite;
  if (raster.bits_per_pixel == 1) return colour == kWhite ? kWhite : 0;
  return colour;
}

// A binary raster operation (R2_*): bit 2 * pen + destination of mode - 1 gives each bit.
COLORREF combine(int mode, COLORREF pen, COLORREF destination) {
  unsigned table = unsigned(mode - 1);
  COLORREF out = 0;
  for (unsigned i = 0; i < 4; ++i)
    if (table & (1u << i)) out |= ((i & 2) ? pen : ~pen) & ((i & 1) ? destination : ~destination);
  return out & kWhite;
}

// A ternary raster operation (BitBlt's codes): bit 4 * pattern + 2 * source + destination of
// bits 16 to 23 of the code gives each bit.
COLORREF combine(DWORD rop, COLORREF pattern, COLORREF source, COLORREF destination) {
  unsigned table = (rop >> 16) & 0xFF;
  COLORREF out = 0;
  for (unsigned i = 0; i < 8; ++i)
    if (table & (1u << i))
      out |= ((i & 4) ? pattern : ~pattern) & ((i & 2) ? source : ~source) &
             ((i & 1) ? destination : ~destination);
  return out & kWhite;
}

// floor(n / d) for d > 0.
Wide floor_div(Wide n, Wide d) {
  Wide q = n / d;
  return (n % d != 0 && n < 0) ? q - 1 : q;
}

// Draws the segment from (x0, y0) to (x1, y1), its end point excluded, as the comment at the
// top of the file describes; only steps whose major coordinate lies in the raster are visited.
void draw_segment(Raster& raster, int64_t x0, int64_t y0, int64_t x1, int64_t y1, COLORREF pen,
                  int mode) {
  const int64_t dx = x1 - x0, dy = y1 - y0;
  const bool steep = std::abs(dy) > std::abs(dx);
  const int64_t major0 = steep ? y0 : x0, minor0 = steep ? x0 : y0;
  const int64_t major_delta = steep ? dy : dx, minor_delta = steep ? dx : dy;
  const int64_t steps = std::abs(major_delta);
  const int64_t step = major_delta > 0 ? 1 : -1;
  const int64_t extent = steep ? raster.height : raster.width;
  // Steps i in [0, steps) with 0 <= major0 + i * step < extent.
  int64_t first = 0, last = steps - 1;
  if (step > 0) {
    first = std::max(first, -major0);
    last = std::min(last, extent - 1 - major0);
  } else {
    first = std::max(first, major0 - (extent - 1));
    last = std::min(last, major0);
  }
  for (int64_t i = first; i <= last; ++i) {
    // The nearest integer to i * minor_delta / steps, halves rounded down:
    // floor((2 * i * minor_delta + steps - 1) / (2 * steps)).
    Wide offset = floor_div(Wide(2) * i * minor_delta + steps - 1, Wide(2) * steps);
    int64_t major = major0 + i * step;
    int64_t minor = minor0 + int64_t(offset);
    int64_t x = steep ? minor : major, y = steep ? major : minor;
    if (x < 0 || y < 0 || x >= raster.width || y >= raster.height) continue;
    raster.set_pixel(int(x), int(y), combine(mode, pen, raster.pixel(int(x), int(y))));
  }
}

// One edge of a polygon being filled, stepped one row at a time by whole increments: x is the
// first pixel inside the edge on the current row (half a pixel is added at the start).
struct PolygonEdge {
  int64_t top, last_row;  // the rows the edge takes part in: top .. last_row
  int64_t x, step, step_more, error, error_step, error_more;

  PolygonEdge(int64_t x_top, int64_t y_top, int64_t x_bottom, int64_t y_bottom)
      : top(y_top), last_row(y_bottom - 1), x(x_top) {
    const int64_t dy = y_bottom - y_top, dx = x_bottom - x_top;
    step = dx / dy;  // truncated toward zero
    if (dx < 0) {
      step_more = step - 1;
      error_more = -2 * dx + 2 * dy * step_more;
      error_step = -2 * dx + 2 * dy * step;
      error = 2 * step * dy - 2 * dx - 2 * dy;
    } else {
      step_more = step + 1;
      error_more = 2 * dx - 2 * dy * step_more;
      error_step = 2 * dx - 2 * dy * step;
      error = -2 * step * dy + 2 * dx;
    }
  }
  void next_row() {
    const bool more = step_more > 0 ? error > 0 : error >= 0;
    x += more ? step_more : step;
    error += more ? error_more : error_step;
  }
};

// The pixels of a wide line, as (row, column) pairs inside the raster; repeats allowed.
using PixelList = std::vector<std::pair<int64_t, int64_t>>;

void add_rect(const Raster& raster, int64_t left, int64_t top, int64_t right, int64_t bottom,
              PixelList& pixels) {
  for (int64_t y = std::max<int64_t>(top, 0); y < std::min<int64_t>(bottom, raster.height); ++y)
    for (int64_t x = std::max<int64_t>(left, 0); x < std::min<int64_t>(right, raster.width); ++x)
      pixels.emplace_back(y, x);
}

// A polygon filled with the even-odd rule, rows from its top vertex to its bottom one less one.
void add_polygon(const Raster& raster, const POINT* points, int count, PixelList& pixels) {
  std::vector<PolygonEdge> edges;
  int64_t first_row = INT64_MAX, end_row = INT64_MIN;
  for (int i = 0; i < count; ++i) {
    const POINT& a = points[(i + count - 1) % count];
    const POINT& b = points[i];
    if (a.y == b.y) continue;  // horizontal edges take no part
    const POINT& top = a.y < b.y ? a : b;
    const POINT& bottom = a.y < b.y ? b : a;
    edges.emplace_back(top.x, top.y, bottom.x, bottom.y);
    first_row = std::min<int64_t>(first_row, top.y);
    end_row = std::max<int64_t>(end_row, bottom.y);
  }
  // Rows far off the raster are stepped through, not drawn; a polygon taller than any raster
  // by far is not drawn at all rather than stepped for ever.
  if (edges.empty() || end_row - first_row > (int64_t(1) << 24)) return;
  std::vector<int64_t> crossings;
  for (int64_t y = first_row; y < end_row && y < raster.height; ++y) {
    crossings.clear();
    for (const PolygonEdge& edge : edges)
      if (y >= edge.top && y <= edge.last_row) crossings.push_back(edge.x);
    std::sort(crossings.begin(), crossings.end());
    if (y >= 0) {
      for (size_t i = 0; i + 1 < crossings.size(); i += 2)
        add_rect(raster, crossings[i], y, crossings[i + 1], y + 1, pixels);
    }
    for (PolygonEdge& edge : edges)
      if (y >= edge.top && y < edge.last_row) edge.next_row();
  }
}

// Rounds half away from zero, as the conversion of a rounded double to an integer does.
int64_t round_half_out(double value) { return int64_t(value > 0 ? value + 0.5 : value - 0.5); }

// The wide line from (x0, y0) to (x1, y1) with a pen `width` (2) pixels wide, as the comment at
// the top of the file describes.
void draw_wide_segment(Raster& raster, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int width,
                       COLORREF pen, int mode) {
  PixelList pixels;
  const int64_t half = width / 2;
  for (const auto& end : {std::make_pair(x0, y0), std::make_pair(x1, y1)})
    add_rect(raster, end.first - half, end.second - half, end.first - half + 2,
             end.second - half + 2, pixels);
  const int64_t dx = x1 - x0, dy = y1 - y0;
  if (dy == 0 && dx != 0) {
    add_rect(raster, std::min(x0, x1), y0 - half, std::max(x0, x1), y0 - half + width, pixels);
  } else if (dx == 0 && dy != 0) {
    add_rect(raster, x0 - half, std::min(y0, y1), x0 - half + width, std::max(y0, y1), pixels);
  } else if (dx != 0) {
    // Half the width across the line, split into a narrow and a wide half per axis.
    const double length = std::hypot(double(dx), double(dy));
    const double across_x = width * double(std::abs(dy)) / length;
    const double across_y = width * double(std::abs(dx)) / length;
    int64_t narrow_x = round_half_out(across_x / 2), narrow_y = round_half_out(across_y / 2);
    int64_t wide_x = round_half_out((across_x + 1) / 2),
            wide_y = round_half_out((across_y + 1) / 2);
    if (dx < 0) {
      wide_y = -wide_y;
      narrow_y = -narrow_y;
    }
    if (dy < 0) {
      std::swap(narrow_x, wide_x);
      std::swap(narrow_y, wide_y);
      wide_x = -wide_x;
      narrow_x = -narrow_x;
    }
    const POINT corners[4] = {{LONG(x0 - narrow_x), LONG(y0 + narrow_y)},
                              {LONG(x0 + wide_x), LONG(y0 - wide_y)},
                              {LONG(x1 + wide_x), LONG(y1 - wide_y)},
                              {LONG(x1 - narrow_x), LONG(y1 + narrow_y)}};
    add_polygon(raster, corners, 4, pixels);
  }
  std::sort(pixels.begin(), pixels.end());
  pixels.erase(std::unique(pixels.begin(), pixels.end()), pixels.end());
  for (const auto& [y, x] : pixels)
    raster.set_pixel(int(x), int(y), combine(mode, pen, raster.pixel(int(x), int(y))));
}

}  // namespace

int SetROP2(HDC dc, int mode) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  if (c == nullptr) return 0;
  if (mode < R2_BLACK || mode > R2_WHITE) {
    set_last_error(kInvalidParameter);
    return 0;
  }
  int previous = c->rop2;
  c->rop2 = mode;
  return previous;
}

int GetROP2(HDC dc) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  return c == nullptr ? 0 : c->rop2;
}

COLORREF SetBkColor(HDC dc, COLORREF colour) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  if (c == nullptr) return CLR_INVALID;
  COLORREF previous = c->background;
  c->background = colour;
  return previous;
}

COLORREF GetBkColor(HDC dc) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  return c == nullptr ? CLR_INVALID : c->background;
}

COLORREF SetTextColor(HDC dc, COLORREF colour) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  if (c == nullptr) return CLR_INVALID;
  COLORREF previous = c->text;
  c->text = colour;
  return previous;
}

COLORREF GetTextColor(HDC dc) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  return c == nullptr ? CLR_INVALID : c->text;
}

BOOL MoveToEx(HDC dc, int x, int y, LPPOINT old_position) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  if (c == nullptr) return FALSE;
  if (old_position != nullptr) *old_position = c->position;
  c->position = POINT{x, y};
  return TRUE;
}

BOOL GetCurrentPositionEx(HDC dc, LPPOINT position) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  if (c == nullptr || position == nullptr) return FALSE;
  *position = c->position;
  return TRUE;
}

BOOL LineTo(HDC dc, int x, int y) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  if (c == nullptr) return FALSE;
  const POINT from = c->position;
  c->position = POINT{x, y};
  Raster* raster = headless_detail::target_of(d, *c);
  const DrawingObject* pen = headless_detail::drawing_object(d, c->pen);
  if (raster == nullptr || pen == nullptr || !pen->draws) return TRUE;
  if (pen->width > 1)
    draw_wide_segment(*raster, from.x, from.y, x, y, pen->width, as_stored(*raster, pen->colour),
                      c->rop2);
  else
    draw_segment(*raster, from.x, from.y, x, y, as_stored(*raster, pen->colour), c->rop2);
  return TRUE;
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  if (c == nullptr) return 0;
  const DrawingObject* b = headless_detail::drawing_object(d, brush);
  if (rect == nullptr || b == nullptr || b->is_pen) {
    set_last_error(kInvalidParameter);
    return 0;
  }
  Raster* raster = headless_detail::target_of(d, *c);
  if (raster == nullptr || !b->draws) return 1;
  const COLORREF colour = as_stored(*raster, b->colour);
  const int left = std::max<LONG>(rect->left, 0),
            right = std::min<LONG>(rect->right, raster->width);
  const int top = std::max<LONG>(rect->top, 0);
  const int bottom = std::min<LONG>(rect->bottom, raster->height);
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x) raster->set_pixel(x, y, colour);
  return 1;
}

BOOL BitBlt(HDC dc, int x, int y, int width, int height, HDC source_dc, int source_x, int source_y,
            DWORD rop) {
  Display& d = display();
  Lock lock(d.mutex);
  DeviceContext* c = context_of(d, dc);
  if (c == nullptr) return FALSE;
  const unsigned table = (rop >> 16) & 0xFF;
  const bool uses_source = ((table >> 2) & 0x33) != (table & 0x33);
  const bool uses_pattern = ((table >> 4) & 0x0F) != (table & 0x0F);
  DeviceContext* source = nullptr;
  if (uses_source && (source = context_of(d, source_dc)) == nullptr) return FALSE;
  const DrawingObject* brush = headless_detail::drawing_object(d, c->brush);
  if (uses_pattern && (brush == nullptr || !brush->draws)) {
    set_last_error(kInvalidParameter);
    return FALSE;
  }
  if (width > 0 && height > 0) {
    ++d.draw_stats.blits;
    d.draw_stats.blit_pixels += std::size_t(width) * std::size_t(height);
  }
  Raster* target = headless_detail::target_of(d, *c);
  Raster* from = source != nullptr ? headless_detail::target_of(d, *source) : nullptr;
  if (target == nullptr || (uses_source && from == nullptr) || width <= 0 || height <= 0)
    return TRUE;
  // Columns i and rows j of the block that land in the target and come from the source.
  int64_t i0 = std::max<int64_t>(0, -int64_t(x)), j0 = std::max<int64_t>(0, -int64_t(y));
  int64_t i1 = std::min<int64_t>(width, int64_t(target->width) - x);
  int64_t j1 = std::min<int64_t>(height, int64_t(target->height) - y);
  if (from != nullptr) {
    i0 = std::max<int64_t>(i0, -int64_t(source_x));
    j0 = std::max<int64_t>(j0, -int64_t(source_y));
    i1 = std::min<int64_t>(i1, int64_t(from->width) - source_x);
    j1 = std::min<int64_t>(j1, int64_t(from->height) - source_y);
  }
  if (i0 >= i1 || j0 >= j1) return TRUE;
  const std::size_t columns = std::size_t(i1 - i0);
  // The source block in the target's terms, read whole first since it may overlap the target:
  // a 1-bit source onto a colour target gives the target DC's background colour for 1 and its
  // text colour for 0; a colour source onto a 1-bit target gives 1 where it equals the source
  // DC's background colour and 0 elsewhere.
  std::vector<COLORREF> block;
  if (from != nullptr) {
    block.reserve(columns * std::size_t(j1 - j0));
    const bool mono_from = from->bits_per_pixel == 1, mono_to = target->bits_per_pixel == 1;
    for (int64_t j = j0; j < j1; ++j)
      for (int64_t i = i0; i < i1; ++i) {
        COLORREF s = from->pixel(int(source_x + i), int(source_y + j));
        if (mono_from && !mono_to)
          s = (s == kWhite ? c->background : c->text) & kWhite;
        else if (!mono_from && mono_to)
          s = s == (source->background & kWhite) ? kWhite : 0;
        block.push_back(s);
      }
  }
  const COLORREF pattern = brush != nullptr ? as_stored(*target, brush->colour) : 0;
  for (int64_t j = j0; j < j1; ++j)
    for (int64_t i = i0; i < i1; ++i) {
      const int tx = int(x + i), ty = int(y + j);
      const COLORREF s =
          block.empty() ? 0 : block[std::size_t(j - j0) * columns + std::size_t(i - i0)];
      target->set_pixel(tx, ty, combine(rop, pattern, s, target->pixel(tx, ty)));
    }
  return TRUE;
}
