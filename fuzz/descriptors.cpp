// Feeds random action descriptors to the module through a scripting host: values under the
// filter's keys and others, of every type a step can hold and some no host knows, numbers
// from the whole double range (infinities and NaN among them), damaged handle bytes, any play
// option, tables short of the interface's, enumerated values reported either way, with or without
// the dialog asked for and answered, over a small image and a stored record of settings in range or
// of any bytes.
//
// The run ends with 0 or, when the dialog showed and was cancelled, 1; the module asks the
// host's getters only for the types they hold, gives back every handle and token, and after
// a run that succeeded leaves a descriptor of the six settings, each in range, which filter
// the image exactly as those settings stored in the record do; the stored bytes change only
// when the user confirms the dialog; nothing is left alive.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/module_fixture.h"
#include "module/host/parameter_record.h"
#include "module/scripting/scripting.h"

namespace fa = filter_api;
namespace key = scripting_key;
using fuzz_fixture::check;
using fuzz_fixture::Choices;

namespace {

const uint32_t kKeys[] = {key::kAngle,     key::kRegions, key::kSpacing,
                          key::kIntensity, key::kMode,    key::kFade};
const uint32_t kTypes[] = {fa::typeInteger,    fa::typeFloat, fa::typeUnitFloat, fa::typeBoolean,
                           fa::typeEnumerated, fa::typeText,  fa::typeAlias,     fa::typeClass,
                           fa::typeObject,     fa::typeNull};

double any_double(Choices& in) {
  switch (in.in(0, 3)) {
    case 0:
      return double(in.in(-400, 800));
    case 1:
      return double(in.in(-400, 800)) + double(in.byte()) / 256.0;
    default: {
      uint64_t bits = uint64_t(in.u32()) | uint64_t(in.u32()) << 32;
      double value = 0;
      std::memcpy(&value, &bits, sizeof value);
      return value;
    }
  }
}

plugin_host::Descriptor random_descriptor(Choices& in) {
  plugin_host::Descriptor d;
  for (int n = in.in(0, 12); n > 0 && in.left() > 0; --n) {
    plugin_host::DescriptorItem item;
    item.key = in.in(0, 7) == 0 ? in.u32() : kKeys[in.in(0, 5)];
    item.type = in.in(0, 15) == 0 ? in.u32() : kTypes[in.in(0, 9)];
    item.integer = in.in(0, 3) == 0 ? int32_t(in.u32()) : in.in(-30, 400);
    item.number = any_double(in);
    const uint32_t units[] = {fa::unitAngle, fa::unitPercent, fa::unitPixels, in.u32()};
    item.unit = units[in.in(0, 3)];
    item.boolean = in.flag();
    item.enum_type = in.flag() ? key::kModeType : in.u32();
    const uint32_t values[] = {key::kParallel, key::kRightAngle, key::kMixed, in.u32()};
    item.enum_value = values[in.in(0, 3)];
    for (int c = in.in(0, 6); c > 0; --c) item.bytes += char(in.byte());
    if (in.in(0, 3) == 0) {
      d.items.push_back(item);  // a key may come twice
    } else {
      d.put(item);
    }
  }
  return d;
}

bool in_range(const plugin_host::Descriptor& d) {
  const plugin_host::DescriptorItem* angle = d.find(key::kAngle);
  const plugin_host::DescriptorItem* regions = d.find(key::kRegions);
  const plugin_host::DescriptorItem* spacing = d.find(key::kSpacing);
  const plugin_host::DescriptorItem* intensity = d.find(key::kIntensity);
  const plugin_host::DescriptorItem* mode = d.find(key::kMode);
  const plugin_host::DescriptorItem* fade = d.find(key::kFade);
  return d.items.size() == 6 && angle && regions && spacing && intensity && mode && fade &&
         angle->type == fa::typeUnitFloat && angle->unit == fa::unitAngle && angle->number >= 0 &&
         angle->number <= 360 && regions->integer >= 1 && regions->integer <= 20 &&
         spacing->integer >= 5 && spacing->integer <= 100 && intensity->integer >= 0 &&
         intensity->integer <= 100 && mode->enum_type == key::kModeType &&
         (mode->enum_value == key::kParallel || mode->enum_value == key::kRightAngle ||
          mode->enum_value == key::kMixed) &&
         fade->type == fa::typeBoolean;
}

// A record holding the recorded settings and the centre of `base`, asking for no dialog.
ParameterRecord record_of(const plugin_host::Descriptor& d, ParameterRecord base) {
  base.angle = int16_t(d.find(key::kAngle)->number);
  base.regions = int16_t(d.find(key::kRegions)->integer);
  base.spacing = int16_t(d.find(key::kSpacing)->integer);
  base.intensity = int16_t(d.find(key::kIntensity)->integer);
  const uint32_t mode = d.find(key::kMode)->enum_value;
  base.mode = int16_t(mode == key::kMixed ? -1 : mode == key::kRightAngle ? 1 : 0);
  base.fade = int16_t(d.find(key::kFade)->boolean ? 1 : 0);
  base.show_dialog = 0;
  return base;
}

std::vector<uint8_t> bytes_of(const ParameterRecord& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Choices in(data, size);
  std::unique_ptr<plugin_host::Module> module = fuzz_fixture::fresh_module();
  const fuzz_fixture::Alive before = fuzz_fixture::alive_now();

  const int32_t width = in.in(1, 24), height = in.in(1, 24);
  const int32_t planes_choice[] = {1, 3, 4};
  const int32_t planes = planes_choice[in.in(0, 2)];
  plugin_host::Image image(width, height, planes);
  for (size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = uint8_t(i * 41 + (i >> 5));
  plugin_host::RunOptions options;
  options.color_planes = planes;
  options.image_mode = planes == 1   ? fa::plugInModeGrayScale
                       : planes == 4 ? fa::plugInModeCMYKColor
                                     : fa::plugInModeRGBColor;
  options.window = fuzz_fixture::host_window();
  options.ask_for_dialog = in.flag();
  if (in.in(0, 3) == 0) options.parameters = plugin_host::RunOptions::Parameters::kHostHeap;

  ParameterRecord start{};
  if (in.flag()) {
    start =
        ParameterRecord{int16_t(in.in(0, width)), int16_t(in.in(0, height)), int16_t(in.in(1, 20)),
                        int16_t(in.in(0, 100)),   int16_t(in.in(0, 360)),    int16_t(in.in(5, 100)),
                        int16_t(in.in(-1, 1)),    int16_t(in.in(0, 1)),      int32_t(in.in(0, 1))};
  } else {
    uint8_t raw[sizeof start];
    for (uint8_t& b : raw) b = in.byte();
    std::memcpy(&start, raw, sizeof raw);
  }
  module->set_parameters(bytes_of(start));

  plugin_host::Scripting scripting;
  const int16_t plays[] = {fa::plugInDialogDontDisplay, fa::plugInDialogDisplay,
                           fa::plugInDialogSilent, int16_t(in.in(-3, 9))};
  scripting.play = plays[in.in(0, 3)];
  switch (in.in(0, 5)) {
    case 0:
      break;  // no step: an interactive run, or one without a recorded step
    case 1: {
      std::vector<uint8_t> raw(size_t(in.in(0, 40)));
      for (uint8_t& b : raw) b = in.byte();
      scripting.descriptor_bytes = raw;
      break;
    }
    default:
      scripting.descriptor = random_descriptor(in);
      break;
  }
  scripting.short_tables = in.in(0, 7) == 0;
  scripting.enum_type_as_type = in.flag();
  options.scripting = scripting;

  const char* const kAnswers[] = {"", "click 1\n", "click 2\n", "type 153 77\nclick 1\n"};
  check(headless::set_ui_script(kAnswers[in.in(0, 3)]), "the script parses");
  bool shown = false;
  headless::set_ui_observer([&](HWND, int) { shown = true; });
  plugin_host::Image result = image;
  plugin_host::RunResult run = module->run(result, options);
  headless::set_ui_observer(nullptr);

  check(run.result == 0 || (shown && run.result == 1),
        "the run succeeds, or ends with 1 after a cancelled dialog");
  check(run.host_error.empty() && !run.continue_bound_reached, "requests stay bounded");
  check(run.scripting.has_value(), "a scripting run reports on the suites");
  const plugin_host::ScriptingOutcome& s = *run.scripting;
  check(s.refused_calls == 0, "no getter or put is asked for what it cannot do");
  check(s.leaked_handles == 0 && s.unclosed_tokens == 0, "every handle and token goes back");
  auto stored = module->parameters();
  check(stored && stored->size() == sizeof(ParameterRecord), "the record stays 20 bytes");
  ParameterRecord after;
  std::memcpy(&after, stored->data(), sizeof after);
  if (!(shown && run.result == 0))
    check(std::memcmp(&after, &start, 16) == 0, "only a confirmed dialog changes the record");
  if (run.result != 0 || scripting.short_tables) {
    check(!s.recorded.has_value(), "nothing is recorded without a completed run and suites");
  } else {
    check(s.recorded.has_value() && in_range(*s.recorded) &&
              s.record_info == fa::plugInDialogOptional,
          "a completed run records its six settings in range");
    // The recorded settings, stored and played without scripting, give the same image.
    module->set_parameters(bytes_of(record_of(*s.recorded, after)));
    plugin_host::RunOptions plain = options;
    plain.scripting.reset();
    plain.ask_for_dialog = false;
    plugin_host::Image direct = image;
    check(module->run(direct, plain).result == 0, "the recorded settings run");
    check(direct.pixels == result.pixels, "the played run used the recorded settings");
  }

  module.reset();
  fuzz_fixture::check_nothing_left(before, 0);
  return 0;
}
