// GDI32 objects: window and memory device contexts, bitmaps and what is selected where, their
// creation failing when a test asks (creation_fails); SetDIBitsToDevice drawing into the
// raster behind a DC; the display depth that GetDeviceCaps reports.
//
// Deleting a bitmap that is still selected into a DC succeeds but only marks it: the handle
// is dead at once (it can be selected nowhere), while the bitmap stays alive, and counted,
// until its DC lets go of it (another SelectObject or DeleteDC).
#include "headless_win32/gdi.h"

#include <algorithm>
#include <cstring>

#include "headless_win32/display.h"
#include "headless_win32/internal.h"

namespace headless_detail {

Raster* target_of(Display& d, const DeviceContext& dc) {
  if (dc.kind == DcKind::kWindow) {
    Window* w = d.window(dc.window);
    return w != nullptr ? &w->framebuffer : nullptr;
  }
  auto it = d.bitmaps.find(dc.bitmap);
  return it != d.bitmaps.end() ? &it->second.raster : nullptr;
}

}  // namespace headless_detail

namespace {

using headless_detail::Bitmap;
using headless_detail::creation_fails;
using headless_detail::DcKind;
using headless_detail::DeviceContext;
using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using Lock = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kInvalidHandle = 6;      // ERROR_INVALID_HANDLE
constexpr DWORD kNotEnoughMemory = 8;    // ERROR_NOT_ENOUGH_MEMORY
constexpr DWORD kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr DWORD kInvalidWindowHandle = 1400;
constexpr std::size_t kLargestBitmap = std::size_t(1) << 28;  // bytes

// Lets go of a DC's bitmap; one whose deletion was waiting goes now.
void deselect(Display& d, HGDIOBJ handle) {
  auto it = d.bitmaps.find(handle);
  if (it == d.bitmaps.end() || it->second.stock) return;
  it->second.selected_into = nullptr;
  if (it->second.delete_pending) d.bitmaps.erase(it);
}

}  // namespace

HDC GetDC(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  if (window != nullptr && d.window(window) == nullptr) {
    set_last_error(kInvalidWindowHandle);
    return nullptr;
  }
  auto handle = reinterpret_cast<HDC>(d.new_handle());
  d.dcs[handle] = DeviceContext{DcKind::kWindow, window, nullptr};
  return handle;
}

int ReleaseDC(HWND, HDC dc) {
  Display& d = display();
  Lock lock(d.mutex);
  auto it = d.dcs.find(dc);
  if (it == d.dcs.end() || it->second.kind != DcKind::kWindow) return 0;
  headless_detail::release_drawing_objects(d, it->second);
  d.dcs.erase(it);
  return 1;
}

HDC CreateCompatibleDC(HDC dc) {
  Display& d = display();
  Lock lock(d.mutex);
  if (dc != nullptr && d.dcs.count(dc) == 0) {
    set_last_error(kInvalidHandle);
    return nullptr;
  }
  if (creation_fails(d)) return nullptr;
  auto handle = reinterpret_cast<HDC>(d.new_handle());
  d.dcs[handle] = DeviceContext{DcKind::kMemory, nullptr, d.stock_bitmap};
  return handle;
}

BOOL DeleteDC(HDC dc) {
  Display& d = display();
  Lock lock(d.mutex);
  auto it = d.dcs.find(dc);
  if (it == d.dcs.end() || it->second.kind != DcKind::kMemory) {
    set_last_error(kInvalidHandle);  // window DCs go back with ReleaseDC
    return FALSE;
  }
  deselect(d, it->second.bitmap);
  headless_detail::release_drawing_objects(d, it->second);
  d.dcs.erase(it);
  return TRUE;
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel, const void* bits) {
  Display& d = display();
  Lock lock(d.mutex);
  if (width < 0 || height < 0 || planes != 1 ||
      (bits_per_pixel != 1 && bits_per_pixel != 24 && bits_per_pixel != 32)) {
    set_last_error(kInvalidParameter);
    return nullptr;
  }
  if (width == 0 || height == 0) return d.stock_bitmap;  // as Windows: the 1 x 1 stock bitmap
  std::size_t stride = headless_detail::Raster::stride_for(width, int(bits_per_pixel));
  if (stride * std::size_t(height) > kLargestBitmap) {
    set_last_error(kNotEnoughMemory);
    return nullptr;
  }
  if (creation_fails(d)) return nullptr;
  Bitmap bitmap;
  bitmap.raster.bits_per_pixel = int(bits_per_pixel);
  bitmap.raster.resize(width, height);
  if (bits != nullptr) std::memcpy(bitmap.raster.bytes.data(), bits, bitmap.raster.bytes.size());
  auto handle = reinterpret_cast<HBITMAP>(d.new_handle());
  d.bitmaps.emplace(handle, std::move(bitmap));
  return handle;
}

LONG SetBitmapBits(HBITMAP bitmap, DWORD count, const void* bits) {
  Display& d = display();
  Lock lock(d.mutex);
  auto it = d.bitmaps.find(bitmap);
  if (it == d.bitmaps.end() || bits == nullptr) {
    set_last_error(kInvalidParameter);
    return 0;
  }
  // Rows in Windows' bitmap layout (whole 16-bit words); at most the bitmap's own bytes.
  std::vector<uint8_t>& bytes = it->second.raster.bytes;
  std::size_t n = std::min<std::size_t>(count, bytes.size());
  std::memcpy(bytes.data(), bits, n);
  return LONG(n);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  Display& d = display();
  Lock lock(d.mutex);
  auto context = d.dcs.find(dc);
  if (context != d.dcs.end() && headless_detail::is_drawing_object(d, object))
    return headless_detail::select_drawing_object(d, context->second, object);
  auto bitmap = d.bitmaps.find(object);
  if (context == d.dcs.end() || bitmap == d.bitmaps.end() || bitmap->second.delete_pending) {
    set_last_error(kInvalidHandle);
    return nullptr;
  }
  DeviceContext& c = context->second;
  Bitmap& b = bitmap->second;
  // Bitmaps go into memory DCs only, and into one at a time (the stock one excepted).
  if (c.kind != DcKind::kMemory ||
      (!b.stock && b.selected_into != nullptr && b.selected_into != dc))
    return nullptr;
  HGDIOBJ previous = c.bitmap;
  if (previous == object) return previous;
  if (!b.stock) b.selected_into = dc;
  c.bitmap = object;
  deselect(d, previous);
  return previous;
}

BOOL DeleteObject(HGDIOBJ object) {
  Display& d = display();
  Lock lock(d.mutex);
  if (headless_detail::is_drawing_object(d, object))
    return headless_detail::delete_drawing_object(d, object);
  auto it = d.bitmaps.find(object);
  if (it == d.bitmaps.end() || it->second.delete_pending) {
    set_last_error(kInvalidHandle);
    return FALSE;
  }
  if (it->second.stock) return TRUE;  // stock objects are never deleted
  if (it->second.selected_into != nullptr)
    it->second.delete_pending = true;
  else
    d.bitmaps.erase(it);
  return TRUE;
}

int GetDeviceCaps(HDC dc, int index) {
  Display& d = display();
  Lock lock(d.mutex);
  if (d.dcs.count(dc) == 0) return 0;
  if (index == BITSPIXEL) return d.display_bits_per_pixel;
  if (index == PLANES) return d.display_planes;
  return 0;
}

int SetDIBitsToDevice(HDC dc, int x, int y, DWORD width, DWORD height, int source_x, int source_y,
                      UINT start_scan, UINT lines, const void* bits, const BITMAPINFO* info,
                      UINT usage) {
  Display& d = display();
  Lock lock(d.mutex);
  auto context = d.dcs.find(dc);
  if (context == d.dcs.end()) {
    set_last_error(kInvalidHandle);
    return 0;
  }
  // Bottom-up 24-bit DIBs: rows of whole 32-bit words, scan 0 the bottom row.
  if (bits == nullptr || info == nullptr || usage != DIB_RGB_COLORS ||
      info->bmiHeader.biBitCount != 24 || info->bmiHeader.biCompression != BI_RGB ||
      info->bmiHeader.biWidth <= 0 || info->bmiHeader.biHeight <= 0) {
    set_last_error(kInvalidParameter);
    return 0;
  }
  ++d.draw_stats.dib_calls;
  d.draw_stats.dib_pixels += std::size_t(width) * height;
  headless_detail::Raster* target = headless_detail::target_of(d, context->second);
  if (target == nullptr) return int(lines);  // the screen DC, or a window that has gone
  const LONG dib_width = info->bmiHeader.biWidth;
  const LONG dib_height = info->bmiHeader.biHeight;
  const std::size_t stride = (std::size_t(dib_width) * 3 + 3) & ~std::size_t(3);
  const auto* data = static_cast<const uint8_t*>(bits);
  // Destination row y + height - 1 - j shows scan source_y + j, when the given scans hold it.
  for (int64_t j = 0; j < int64_t(height); ++j) {
    int64_t scan = int64_t(source_y) + j;
    if (scan < int64_t(start_scan) || scan >= int64_t(start_scan) + lines || scan >= dib_height)
      continue;
    const uint8_t* row = data + std::size_t(scan - start_scan) * stride;
    int64_t to_y = int64_t(y) + int64_t(height) - 1 - j;
    if (to_y < 0 || to_y >= target->height) continue;
    // The columns that lie inside both the DIB and the target, as one run.
    int64_t first = std::max<int64_t>({0, -int64_t(source_x), -int64_t(x)});
    int64_t end = std::min<int64_t>(
        {int64_t(width), int64_t(dib_width) - source_x, int64_t(target->width) - x});
    if (first >= end) continue;
    const uint8_t* from = row + std::size_t(source_x + first) * 3;
    if (target->bits_per_pixel == 24) {
      // Both hold blue, green, red per pixel.
      std::memcpy(
          target->bytes.data() + std::size_t(to_y) * target->stride + std::size_t(x + first) * 3,
          from, std::size_t(end - first) * 3);
      continue;
    }
    for (int64_t i = first; i < end; ++i, from += 3)
      target->set_pixel(int(x + i), int(to_y),
                        COLORREF(from[2]) | (COLORREF(from[1]) << 8) | (COLORREF(from[0]) << 16));
  }
  return int(lines);
}
