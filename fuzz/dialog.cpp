// Feeds a random user to the parameter dialog: the scripted user's steps (typing, clicks,
// keys, scroll codes, drags in and out of the two views, timer ticks) made from the input,
// over a small gray, RGB or CMYK image with or without a selection, the whole image in
// memory or reduced, drawn by the host or by the module on a 24- or 8-bit screen, with now
// and then a GDI object that cannot be made.
//
// The dialog ends with OK (0) or Cancel (1), or -108 when memory or a GDI object failed;
// after OK the stored settings are in their ranges, after anything else the stored bytes are
// the ones the run began with; a script that runs out cancels; nothing is left alive.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/module_fixture.h"
#include "module/host/parameter_record.h"

namespace fa = filter_api;
using fuzz_fixture::check;
using fuzz_fixture::Choices;

namespace {

const int kControls[] = {100, 101, 102, 2,   1,   103, 250, 251, 252,
                         223, 153, 115, 228, 117, 154, 120, 229, 122};
const int kFields[] = {153, 115, 228, 117};
const int kBars[] = {154, 120, 229, 122};

std::string number(int32_t n) { return std::to_string(n); }

// Typed text: digits and the signs around them mostly, now and then any byte but a line end.
std::string typed_text(Choices& in) {
  static const char kTyped[] = "0123456789-+ 0123456789x.";
  std::string text;
  for (int n = in.in(0, 6); n > 0; --n) {
    uint8_t c = in.byte();
    text += in.in(0, 7) != 0 ? kTyped[c % (sizeof kTyped - 1)] : char(c == '\n' ? ' ' : c);
  }
  return text;
}

std::string random_script(Choices& in) {
  std::string script;
  for (int steps = in.in(1, 30); steps > 0 && in.left() > 0; --steps) {
    const int control = in.in(0, 31) == 0 ? in.in(0, 300) : kControls[in.in(0, 17)];
    switch (in.in(0, 10)) {
      case 0:
        script += "click " + number(control) + "\n";
        break;
      case 1:
      case 2:
        script += "type " + number(kFields[in.in(0, 3)]) + " " + typed_text(in) + "\n";
        break;
      case 3: {
        const int position = in.in(0, 3) == 0 ? in.in(-32768, 32767) : in.in(-50, 450);
        script += "scroll " + number(kBars[in.in(0, 3)]) + " " + number(in.in(0, 9)) + " " +
                  number(position) + "\n";
        break;
      }
      case 4:
      case 5: {
        const std::string view = number(100 + in.in(0, 1));
        auto point = [&] { return number(in.in(-80, 400)) + " " + number(in.in(-80, 400)); };
        script += "press " + view + " " + point() + "\n";
        for (int m = in.in(0, 4); m > 0; --m) script += "move " + view + " " + point() + "\n";
        if (in.in(0, 3) != 0) script += "release " + view + " " + point() + "\n";
        break;
      }
      case 6:
        script += "tick " + number(in.in(1, 4)) + "\n";
        break;
      case 7: {
        static const char* const kKeys[] = {"enter", "esc", "tab", "tab"};
        script += std::string("key ") + kKeys[in.in(0, 3)] + "\n";
        break;
      }
      case 8:
        script += "focus " + number(control) + "\n";
        break;
      default:
        script += "click " + number(in.in(0, 4) == 0 ? 102 : 250 + in.in(0, 3)) + "\n";
        break;
    }
  }
  if (in.flag()) script += "click 1\n";
  return script;
}

bool settings_in_range(const ParameterRecord& r) {
  return r.regions >= 1 && r.regions <= 20 && r.intensity >= 0 && r.intensity <= 100 &&
         r.angle >= 0 && r.angle <= 360 && r.spacing >= 5 && r.spacing <= 100 && r.mode >= -1 &&
         r.mode <= 1 && (r.fade == 0 || r.fade == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Choices in(data, size);
  std::unique_ptr<plugin_host::Module> module = fuzz_fixture::fresh_module();
  const fuzz_fixture::Alive before = fuzz_fixture::alive_now();

  const int32_t width = in.in(1, 64), height = in.in(1, 64);
  const int32_t planes_choice[] = {1, 3, 4, 3};
  const int32_t planes = planes_choice[in.in(0, 3)];
  plugin_host::Image image(width, height, planes);
  for (size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = uint8_t(i * 37 + (i >> 7));
  std::vector<uint8_t> selection;
  plugin_host::RunOptions options;
  options.color_planes = planes;
  options.image_mode = planes == 1   ? fa::plugInModeGrayScale
                       : planes == 4 ? fa::plugInModeCMYKColor
                                     : fa::plugInModeRGBColor;
  options.window = fuzz_fixture::host_window();
  options.ask_for_dialog = in.flag();
  options.offer_display_pixels = in.flag();
  if (in.in(0, 2) == 0) {
    selection.resize(size_t(width) * height);
    const int32_t cx = in.in(0, width), cy = in.in(0, height), r = in.in(0, 40);
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        selection[size_t(y) * width + x] =
            (x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r ? 255 : uint8_t(in.in(0, 15) == 0);
    options.selection = &selection;
    options.floating = in.flag();
  }
  bool reduced = false;
  if (in.in(0, 3) == 0) {
    // Room for a fifth to a half of the image beside the fixed needs: a reduced working image.
    const int32_t row_bytes = width * planes, whole = row_bytes * height;
    const int32_t fixed = (row_bytes + 1) * 32 + height + 2000 + (planes == 1 ? 512 : 4352) + 8192 +
                          (options.offer_display_pixels ? 0 : 6144) +
                          (options.selection ? 20000 : 0);
    options.max_space = fixed + whole / 5 + in.in(0, whole / 3 + 1);
    reduced = true;
  }
  headless::set_display_depth(in.in(0, 5) == 0 ? 8 : 24, 1);
  headless::set_code_page(in.flag() ? 936 : 1252);
  const unsigned gdi_fault = in.in(0, 7) == 0 ? unsigned(in.in(1, 40)) : 0;

  // The stored record the dialog opens with: settings in range, or any bytes.
  ParameterRecord start{};
  if (in.flag()) {
    start =
        ParameterRecord{int16_t(in.in(-10, 70)), int16_t(in.in(-10, 70)), int16_t(in.in(1, 20)),
                        int16_t(in.in(0, 100)),  int16_t(in.in(0, 360)),  int16_t(in.in(5, 100)),
                        int16_t(in.in(-1, 1)),   int16_t(in.in(0, 1)),    1};
  } else {
    uint8_t raw[16];
    for (uint8_t& b : raw) b = in.byte();
    std::memcpy(&start, raw, sizeof raw);
    start.show_dialog = 1;
  }
  std::vector<uint8_t> start_bytes(sizeof start);
  std::memcpy(start_bytes.data(), &start, sizeof start);
  module->set_parameters(start_bytes);

  const std::string script = random_script(in);
  check(headless::set_ui_script(script), "the generated script parses");
  bool shown = false;
  headless::set_ui_observer([&](HWND, int) { shown = true; });
  headless::fail_gdi_creation(gdi_fault);
  plugin_host::RunResult run = module->run(image, options);
  headless::fail_gdi_creation(0);
  headless::set_ui_observer(nullptr);

  check(run.result == 0 || run.result == 1 ||
            ((gdi_fault != 0 || reduced) && run.result == fa::memFullErr),
        "the dialog ends with OK or Cancel, or -108 when memory or a GDI object failed");
  check(run.host_error.empty() && !run.continue_bound_reached,
        "requests lie inside the image and Continue calls stay bounded");
  check(!headless::last_dialog_ran_out_of_script() || run.result == 1,
        "a script that runs out with the dialog open cancels it");
  check(headless::memory_stats().invalid_calls == 0,
        "no block is locked, unlocked, sized or freed that is not alive");
  auto stored = module->parameters();
  check(stored && stored->size() == sizeof(ParameterRecord), "the record stays 20 bytes");
  ParameterRecord after;
  std::memcpy(&after, stored->data(), sizeof after);
  if (run.result == 0 && shown) {
    check(settings_in_range(after) && after.show_dialog == 0,
          "OK stores settings in their ranges and asks for no dialog next time");
  } else if (run.result != 0) {
    check(std::memcmp(&after, &start, 16) == 0, "only OK changes the stored settings");
  }

  module.reset();
  fuzz_fixture::check_nothing_left(before, 0);
  return 0;
}
