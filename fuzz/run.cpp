// Feeds random host values to the whole module through the host library: image size, mode
// and planes, filter area (empty, reversed, partly outside the image), maxSpace, the stored
// parameters (20 bytes, or a handle of another size), a random selection (floating or not),
// the host's habits (fresh or reused buffers, padded rows, pointers into the image,
// displayPixels offered or not, Finish called or not, its own heap for the parameters),
// failing allocations, and random selector sequences, two or three runs an input.
//
// Every run ends with a known result word after a bounded number of Continue calls, asks
// only for rectangles inside the image (inside the filter area for output), leaves the
// image's pixels outside the filter area and its extra planes as they were, and once the
// host calls Finish nothing of the module's is left alive; the bytes a run holds at its peak
// stay within maxSpace. With ZORBEL_FUZZ_TRACE set, each run is described on standard error.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/module_fixture.h"

namespace fa = filter_api;
using fuzz_fixture::check;
using fuzz_fixture::Choices;

namespace {

struct Setup {
  plugin_host::Image image;
  plugin_host::Area area;
  bool area_inside = true;  // the filter area lies inside the image (or has no pixels)
  std::vector<uint8_t> selection;
  plugin_host::RunOptions options;
  plugin_host::Image destination;
  bool faults = false;  // an allocation or a GDI object is made to fail
};

void choose_image(Choices& in, Setup& s) {
  int32_t width = in.in(0, 48), height = in.in(0, 48);
  if (in.in(0, 15) == 0) {  // a long strip
    width = in.in(1, 4000);
    height = in.in(1, 2);
  }
  const int16_t modes[] = {fa::plugInModeGrayScale,    fa::plugInModeRGBColor,
                           fa::plugInModeCMYKColor,    fa::plugInModeLabColor,
                           fa::plugInModeMultichannel, fa::plugInModeDuotone,
                           fa::plugInModeIndexedColor, int16_t(in.in(-2, 40))};
  const int16_t mode = modes[in.in(0, 7)];
  const int32_t planes = fa::color_planes_of(mode);
  s.image = plugin_host::Image(width, height, planes + in.in(0, 1));  // with alpha or not
  uint32_t state = in.u32();
  for (uint8_t& p : s.image.pixels) p = uint8_t((state = state * 1664525u + 1013904223u) >> 24);
  s.options.image_mode = mode;
  s.options.color_planes = planes;
}

void choose_area(Choices& in, Setup& s) {
  const int32_t w = s.image.width, h = s.image.height;
  s.area = plugin_host::Area{0, 0, w, h};
  switch (in.in(0, 5)) {
    case 0:
    case 1:
      return;  // the whole image
    case 2:
    case 3: {  // a rectangle inside, possibly empty
      int32_t left = in.in(0, w), top = in.in(0, h);
      s.area = plugin_host::Area{left, top, in.in(left, w), in.in(top, h)};
      break;
    }
    case 4:  // reversed
      s.area = plugin_host::Area{in.in(0, w), in.in(0, h), in.in(0, w), in.in(0, h)};
      break;
    default:  // partly outside
      s.area = plugin_host::Area{in.in(-20, w), in.in(-20, h), in.in(0, w + 20), in.in(0, h + 20)};
      break;
  }
  const plugin_host::Area& a = s.area;
  s.area_inside = a.left >= a.right || a.top >= a.bottom ||
                  (a.left >= 0 && a.top >= 0 && a.right <= w && a.bottom <= h);
  s.options.filter_area = s.area;
}

void choose_host(Choices& in, Setup& s) {
  plugin_host::RunOptions& o = s.options;
  const int32_t spaces[] = {0, -1, INT32_MIN, 5000, 40000, 200000, 100000000, INT32_MAX};
  o.max_space = in.flag() ? spaces[in.in(0, 7)] : int32_t(in.u32() % 3000000);
  if (in.in(0, 2) == 0) {
    s.selection.resize(size_t(s.image.width) * s.image.height);
    const int pattern = in.in(0, 3);
    const uint32_t seed = in.u32();
    for (size_t i = 0; i < s.selection.size(); ++i) {
      uint32_t r = (uint32_t(i) + seed) * 2654435761u;
      s.selection[i] =
          pattern == 0   ? 255
          : pattern == 1 ? uint8_t(r >> 24)
          : pattern == 2
              ? uint8_t((r >> 24) < 128 ? 0 : 255)
              : uint8_t(i % size_t(std::max(s.image.width, 1)) < size_t(s.image.width / 2) ? 255
                                                                                           : 0);
    }
    o.selection = &s.selection;
    o.floating = in.flag();
  }
  o.call_finish = in.in(0, 3) != 0;
  o.offer_display_pixels = in.flag();
  o.row_padding = in.flag() ? in.in(1, 7) : 0;
  o.reuse_buffers = in.flag();
  o.point_into_image = in.flag();
  o.parameters = plugin_host::RunOptions::Parameters(in.in(0, 2));
  o.ask_for_dialog = in.in(0, 3) == 0;
  o.window = in.in(0, 7) != 0 ? fuzz_fixture::host_window() : nullptr;
  if (in.flag()) {
    // An editor's layer buffer: the image's size, or another size that must be replaced.
    s.destination = in.flag() ? plugin_host::Image(s.image.width, s.image.height, s.image.planes)
                              : plugin_host::Image(3, 2, 1);
    o.destination = &s.destination;
  }
  // The user confirms or cancels a dialog that opens.
  const char* users[] = {"", "click 1\n", "key enter\n", "key esc\n", "click 251\nclick 1\n"};
  headless::set_ui_script(users[in.in(0, 4)]);
  headless::set_display_depth(in.in(0, 5) == 0 ? 8 : 24, 1);
  headless::set_code_page(in.flag() ? 936 : 1252);
  const int fault = in.in(0, 11);
  if (fault == 0) headless::fail_allocation(unsigned(in.in(1, 12)));
  if (fault == 1) headless::fail_gdi_creation(unsigned(in.in(1, 12)));
  s.faults = fault <= 1;
}

// Stored parameters: the ones the last run left, 20 random bytes, a record with its settings
// in range, or a handle of another size.
void choose_parameters(Choices& in, plugin_host::Module& module, bool first) {
  int how = in.in(0, 3);
  if (how == 0 && !first) return;
  std::vector<uint8_t> bytes(how == 3 ? size_t(in.in(0, 40)) : 20);
  for (uint8_t& b : bytes) b = in.byte();
  if (how == 2) {
    const int16_t fields[8] = {int16_t(in.in(-5, 60)), int16_t(in.in(-5, 60)),
                               int16_t(in.in(1, 20)),  int16_t(in.in(0, 100)),
                               int16_t(in.in(0, 360)), int16_t(in.in(5, 100)),
                               int16_t(in.in(-1, 1)),  int16_t(in.in(0, 1))};
    std::memcpy(bytes.data(), fields, sizeof fields);
    const int32_t show_dialog = in.in(0, 5) == 0 ? 1 : 0;
    std::memcpy(bytes.data() + 16, &show_dialog, 4);
  }
  module.set_parameters(bytes);
}

std::vector<int16_t> random_selectors(Choices& in) {
  std::vector<int16_t> selectors(size_t(in.in(1, 14)));
  const int16_t kinds[] = {2, 3, 4, 4, 4, 4, 5, 1, 0, 6, -1, 1000};
  for (int16_t& s : selectors) s = kinds[in.in(0, 11)];
  return selectors;
}

bool known_result(int16_t result, bool any_selector) {
  return result == 0 || result == 1 || result == fa::memFullErr || result == fa::userCanceledErr ||
         (any_selector && result == fa::filterBadParameters);
}

// The pixels outside the filter area, and the planes beyond the module's, as they were.
void check_untouched(const plugin_host::Image& before, const plugin_host::Image& after,
                     const plugin_host::Area& area, int32_t color_planes) {
  check(
      after.width == before.width && after.height == before.height && after.planes == before.planes,
      "the result has the image's size and planes");
  for (int32_t y = 0; y < before.height; ++y) {
    for (int32_t x = 0; x < before.width; ++x) {
      const bool inside = x >= area.left && x < area.right && y >= area.top && y < area.bottom;
      const int32_t from = inside ? color_planes : 0;
      check(std::memcmp(before.at(x, y) + from, after.at(x, y) + from,
                        size_t(before.planes - from)) == 0,
            "pixels outside the filter area and extra planes are left alone");
    }
  }
}

void one_run(Choices& in, plugin_host::Module& module, bool first) {
  Setup s;
  choose_image(in, s);
  choose_area(in, s);
  choose_host(in, s);
  choose_parameters(in, module, first);
  const bool sequence = in.in(0, 4) == 0;
  if (sequence) s.options.selectors = random_selectors(in);
  // Or a host that takes the result row by row, as the zorbel command does.
  plugin_host::Image handed_on(s.image.width, s.image.height, s.image.planes);
  int32_t next_row = 0;
  bool in_order = true;
  const bool streaming = in.in(0, 3) == 0;
  if (streaming) {
    s.options.rows = [&](int32_t y, const uint8_t* row) {
      in_order = in_order && y == next_row++;
      const size_t row_bytes = size_t(handed_on.width) * size_t(handed_on.planes);
      if (y >= 0 && y < handed_on.height && row_bytes > 0)
        std::memcpy(handed_on.at(0, y), row, row_bytes);
      return true;
    };
  }

  const plugin_host::Image original = s.image;
  // The peak counts from here: the parameters just handed over may have freed a larger block.
  headless::reset_memory_stats();
  headless::MemoryStats memory = headless::memory_stats();
  const std::size_t held_before = memory.live_bytes;
  const bool trace = std::getenv("ZORBEL_FUZZ_TRACE") != nullptr;
  if (trace) {
    const plugin_host::RunOptions& o = s.options;
    std::fprintf(stderr,
                 "run: %dx%dx%d mode %d area %d,%d-%d,%d maxSpace %d selection %d floating %d "
                 "finish %d display %d padding %d reuse %d in-image %d parameters %d dialog %d "
                 "faults %d rows %d selectors",
                 s.image.width, s.image.height, s.image.planes, o.image_mode, s.area.left,
                 s.area.top, s.area.right, s.area.bottom, o.max_space, o.selection != nullptr,
                 o.floating, o.call_finish, o.offer_display_pixels, o.row_padding, o.reuse_buffers,
                 o.point_into_image, int(o.parameters), o.ask_for_dialog, s.faults, streaming);
    for (int16_t selector : o.selectors) std::fprintf(stderr, " %d", selector);
    std::fprintf(stderr, "\n");
  }
  plugin_host::RunResult run = module.run(s.image, s.options);
  if (trace) {
    std::fprintf(stderr, "  -> result %d (selector %d), %lld Continue calls, error '%s'\n",
                 run.result, run.failed_selector, static_cast<long long>(run.continue_calls),
                 run.host_error.c_str());
  }
  headless::fail_allocation(0);
  headless::fail_gdi_creation(0);

  check(known_result(run.result, sequence), "the result word is a known one");
  check(!run.continue_bound_reached, "Continue calls stay bounded");
  check(run.host_error.empty() || !s.area_inside,
        "requests lie inside the image, and output inside the filter area");
  for (const plugin_host::Request& r : run.requests) {
    check(r.in.left >= r.in.right || r.in.top >= r.in.bottom ||
              (r.in.left >= s.area.left && r.in.right <= s.area.right && r.in.top >= s.area.top &&
               r.in.bottom <= s.area.bottom),
          "input requests lie inside the filter area");
  }
  if (!sequence && s.area_inside && !s.faults && s.options.max_space >= 64 * 1024 * 1024)
    check(run.result == 0 || run.result == 1, "with room and no faults the run succeeds");
  if (streaming) {
    // A run ended by the host's own selectors may stop before its last row.
    check(in_order && next_row <= s.image.height, "rows are handed on once each, in order");
    check(!run.ok() || sequence || next_row == s.image.height, "a whole run hands on every row");
    check(original.pixels == s.image.pixels, "rows handed on leave the image as it was");
    if (run.ok() && next_row == s.image.height)
      check_untouched(original, handed_on, s.area, s.options.color_planes);
  } else if (run.ok()) {
    const plugin_host::Image& result = s.options.destination ? s.destination : s.image;
    check_untouched(original, result, s.area, s.options.color_planes);
  } else {
    check(original.pixels == s.image.pixels, "a failed run leaves the image as it was");
  }
  if (s.options.parameters == plugin_host::RunOptions::Parameters::kGlobalBlock) {
    // (A handle of the host's own heap is asked about with GlobalSize on purpose.)
    check(headless::memory_stats().invalid_calls == 0,
          "no block is locked, unlocked, sized or freed that is not alive");
  }
  if (s.options.max_space >= 0) {
    memory = headless::memory_stats();
    check(memory.peak_bytes - held_before <= std::size_t(s.options.max_space),
          "a run holds no more than maxSpace at its peak");
  }
  headless::reset_memory_stats();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Choices in(data, size);
  std::unique_ptr<plugin_host::Module> module = fuzz_fixture::fresh_module();
  const fuzz_fixture::Alive before = fuzz_fixture::alive_now();
  const int runs = in.in(1, 3);
  for (int i = 0; i < runs; ++i) one_run(in, *module, i == 0);

  // The host ends with Finish, as every host does before it unloads the module.
  plugin_host::Image image(1, 1, 1);
  plugin_host::RunOptions finish;
  finish.selectors = {fa::filterSelectorFinish};
  module->run(image, finish);
  // Unloading gives back the stored parameters; the module must hold nothing else.
  module.reset();
  fuzz_fixture::check_nothing_left(before, 0);
  return 0;
}
