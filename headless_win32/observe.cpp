// What tests observe and steer of the window layer (the headless.h calls): the screen, base
// units, code page and depth it reports, the windows, controls and timers, the GDI objects
// alive and the pixels drawn, and a window's picture as the screen would show it.
#include <algorithm>

#include "headless_win32/display.h"
#include "headless_win32/frames.h"
#include "headless_win32/headless.h"
#include "headless_win32/timers.h"

using headless_detail::DcKind;
using headless_detail::Display;
using headless_detail::display;
using headless_detail::Window;
using headless_detail::WindowClass;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace headless {

void set_screen_size(int width, int height) {
  Display& d = display();
  Lock lock(d.mutex);
  d.screen_width = width;
  d.screen_height = height;
}

void set_dialog_base_units(int x, int y) {
  Display& d = display();
  Lock lock(d.mutex);
  d.base_unit_x = x;
  d.base_unit_y = y;
}

void set_code_page(unsigned code_page) {
  Display& d = display();
  Lock lock(d.mutex);
  d.code_page = code_page;
}

void set_dialog_3d_look(bool on) {
  Display& d = display();
  Lock lock(d.mutex);
  d.dialog_3d_look = on;
}

bool last_dialog_ran_out_of_script() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.last_dialog_ran_out_of_script;
}

std::vector<std::string> registered_classes() {
  Display& d = display();
  Lock lock(d.mutex);
  std::vector<std::string> names;
  for (const WindowClass& c : d.classes)
    if (c.instance != nullptr) names.push_back(c.name);
  return names;
}

std::optional<WindowInfo> window_info(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return std::nullopt;
  WindowInfo info;
  info.class_name = w->window_class->name;
  info.text = w->text;
  info.style = w->style;
  info.ex_style = w->ex_style;
  info.id = w->id;
  info.parent = w->parent;
  info.owner = w->owner;
  info.children = w->children;
  info.is_dialog = w->dialog != nullptr;
  return info;
}

COLORREF window_pixel(HWND window, int x, int y) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  return w == nullptr ? CLR_INVALID : w->framebuffer.pixel(x, y);
}

namespace {

constexpr COLORREF kBorderGray = 0x808080;

// Puts a window's client pixels into the picture with the client's top-left corner at
// (left, top), clipped to clip; then its children over them, each inside its border.
void compose(headless_detail::Display& d, const Window& w, int left, int top, RECT clip,
             Picture& picture) {
  RECT client = headless_detail::client_rect(w.style, w.ex_style, w.rect);
  clip = {std::max<LONG>(clip.left, left), std::max<LONG>(clip.top, top),
          std::min<LONG>(clip.right, left + client.right),
          std::min<LONG>(clip.bottom, top + client.bottom)};
  for (LONG y = clip.top; y < clip.bottom; ++y) {
    for (LONG x = clip.left; x < clip.right; ++x) {
      COLORREF c = w.framebuffer.pixel(int(x - left), int(y - top));
      if (c == CLR_INVALID) c = 0;  // past the largest framebuffer
      unsigned char* p =
          picture.rgb.data() + (std::size_t(y) * std::size_t(picture.width) + std::size_t(x)) * 3;
      p[0] = GetRValue(c);
      p[1] = GetGValue(c);
      p[2] = GetBValue(c);
    }
  }
  for (HWND handle : w.children) {
    const Window* child = d.window(handle);
    if (child == nullptr) continue;
    headless_detail::Insets in = headless_detail::insets_for(child->style, child->ex_style);
    RECT outer{std::max<LONG>(clip.left, left + child->rect.left),
               std::max<LONG>(clip.top, top + child->rect.top),
               std::min<LONG>(clip.right, left + child->rect.right),
               std::min<LONG>(clip.bottom, top + child->rect.bottom)};
    for (LONG y = outer.top; y < outer.bottom; ++y) {
      for (LONG x = outer.left; x < outer.right; ++x) {
        unsigned char* p =
            picture.rgb.data() + (std::size_t(y) * std::size_t(picture.width) + std::size_t(x)) * 3;
        p[0] = p[1] = p[2] = GetRValue(kBorderGray);
      }
    }
    compose(d, *child, left + child->rect.left + in.left, top + child->rect.top + in.top, outer,
            picture);
  }
}

}  // namespace

std::optional<Picture> window_picture(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return std::nullopt;
  RECT client = headless_detail::client_rect(w->style, w->ex_style, w->rect);
  Picture picture;
  picture.width = client.right;
  picture.height = client.bottom;
  picture.rgb.assign(std::size_t(picture.width) * std::size_t(picture.height) * 3, 0);
  compose(d, *w, 0, 0, client, picture);
  return picture;
}

void reset_display_settings() {
  Display& d = display();
  Lock lock(d.mutex);
  d.screen_width = 1024;
  d.screen_height = 768;
  d.base_unit_x = 6;
  d.base_unit_y = 12;
  d.dialog_3d_look = false;
  d.code_page = 936;
  d.gdi_fail_countdown = 0;
  d.last_dialog_ran_out_of_script = false;
}

std::optional<ControlInfo> control_info(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return std::nullopt;
  ControlInfo info;
  info.text = w->text;
  info.selection_start = w->control.selection_start;
  info.selection_end = w->control.selection_end;
  info.text_limit = w->control.text_limit;
  info.check = w->control.check;
  info.scroll_min = w->control.scroll_min;
  info.scroll_max = w->control.scroll_max;
  info.scroll_pos = w->control.scroll_pos;
  info.needs_paint = w->needs_paint;
  return info;
}

std::vector<TimerInfo> timers() {
  Display& d = display();
  Lock lock(d.mutex);
  std::vector<TimerInfo> out;
  for (const auto& t : d.timers) out.push_back({t.window, t.id, t.period_ms, t.due_ms, t.pending});
  return out;
}

unsigned long long virtual_time_ms() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.clock_ms;
}

void advance_virtual_time(unsigned long long ms) { headless_detail::advance_clock(ms); }

DisplayCounts display_counts() {
  Display& d = display();
  Lock lock(d.mutex);
  DisplayCounts counts;
  counts.windows = d.windows.size();
  for (const auto& entry : d.dcs)
    ++(entry.second.kind == DcKind::kWindow ? counts.window_dcs : counts.memory_dcs);
  for (const auto& entry : d.bitmaps)
    if (!entry.second.stock) ++counts.bitmaps;
  for (const auto& entry : d.drawing_objects)
    ++(entry.second.is_pen ? counts.pens : counts.brushes);
  return counts;
}

DrawStats draw_stats() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.draw_stats;
}

void reset_draw_stats() {
  Display& d = display();
  Lock lock(d.mutex);
  d.draw_stats = DrawStats{};
}

void set_display_depth(int bits_per_pixel, int planes) {
  Display& d = display();
  Lock lock(d.mutex);
  d.display_bits_per_pixel = bits_per_pixel;
  d.display_planes = planes;
}

void fail_gdi_creation(unsigned n) {
  Display& d = display();
  Lock lock(d.mutex);
  d.gdi_fail_countdown = n;
}

COLORREF bitmap_pixel(HBITMAP bitmap, int x, int y) {
  Display& d = display();
  Lock lock(d.mutex);
  auto it = d.bitmaps.find(bitmap);
  return it == d.bitmaps.end() ? CLR_INVALID : it->second.raster.pixel(x, y);
}

}  // namespace headless
