// Photoshop actions through a scripting host: a run recorded with the dialog and played back
// over other last settings, played with display, descriptors missing keys, holding keys of
// other types or values out of range, damaged descriptors, and hosts without usable suites,
// which must see the filter exactly as before.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "module/module_state.h"
#include "module/scripting/scripting.h"
#include "tests/protocol/protocol_support.h"
#include "tests/support/message_boxes.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#endif

namespace pt = protocol_test;
namespace fa = filter_api;
namespace key = scripting_key;
using plugin_host::Descriptor;
using plugin_host::DescriptorItem;
using plugin_host::Image;
using plugin_host::Scripting;

namespace {

constexpr int32_t kWidth = 120, kHeight = 90;

struct Outcome {
  plugin_host::RunResult run;
  Image image;
  std::vector<uint8_t> stored;  // the parameter bytes after the run
};

struct Host {
  Host() = default;
  explicit Host(Scripting s) : scripting(std::move(s)) {}
  std::optional<Scripting> scripting;
  bool ask_for_dialog = false;
  int16_t image_mode = fa::plugInModeRGBColor;
  std::optional<plugin_host::Area> area;
};

// One run over the test picture with this stored record.
Outcome run_with(const ParameterRecord& stored, const Host& host) {
  plugin_host::Module& module = pt::linked_module();
  module.set_parameters(pt::record_bytes(stored));
  plugin_host::RunOptions options = pt::options_for(3);
  options.image_mode = host.image_mode;
  options.scripting = host.scripting;
  options.ask_for_dialog = host.ask_for_dialog;
  options.filter_area = host.area;
  Outcome out;
  out.image = pt::pattern_image(kWidth, kHeight, 3, 11);
  out.run = module.run(out.image, options);
  out.stored = *module.parameters();
  return out;
}

Scripting playing(int16_t play, std::optional<Descriptor> descriptor = std::nullopt) {
  Scripting s;
  s.play = play;
  s.descriptor = std::move(descriptor);
  return s;
}

// A descriptor of six settings as the filter records them.
Descriptor six(double angle, int32_t regions, int32_t spacing, int32_t intensity, uint32_t mode,
               bool fade) {
  Descriptor d;
  d.put_unit_float(key::kAngle, fa::unitAngle, angle)
      .put_integer(key::kRegions, regions)
      .put_integer(key::kSpacing, spacing)
      .put_integer(key::kIntensity, intensity)
      .put_enumerated(key::kMode, key::kModeType, mode)
      .put_boolean(key::kFade, fade);
  return d;
}

// A record with the six settings of `s` and everything else of `base`.
ParameterRecord with_settings(ParameterRecord base, const EffectSettings& s) {
  base.regions = s.regions;
  base.intensity = s.intensity;
  base.angle = s.angle;
  base.spacing = s.spacing;
  base.mode = s.mode;
  base.fade = s.fade;
  return base;
}

// The recorded descriptor holds exactly the six settings, each with its type.
void expect_recorded(const plugin_host::ScriptingOutcome& s, const EffectSettings& want) {
  ASSERT_TRUE(s.recorded.has_value());
  const Descriptor& d = *s.recorded;
  EXPECT_EQ(d.items.size(), 6u);
  const DescriptorItem* angle = d.find(key::kAngle);
  ASSERT_NE(angle, nullptr);
  EXPECT_EQ(angle->type, fa::typeUnitFloat);
  EXPECT_EQ(angle->unit, fa::unitAngle);
  EXPECT_EQ(angle->number, double(want.angle));
  for (auto [k, v] : {std::pair<uint32_t, int16_t>{key::kRegions, want.regions},
                      {key::kSpacing, want.spacing},
                      {key::kIntensity, want.intensity}}) {
    const DescriptorItem* item = d.find(k);
    ASSERT_NE(item, nullptr) << fa::fourcc_text(k);
    EXPECT_EQ(item->type, fa::typeInteger);
    EXPECT_EQ(item->integer, v) << fa::fourcc_text(k);
  }
  const DescriptorItem* mode = d.find(key::kMode);
  ASSERT_NE(mode, nullptr);
  EXPECT_EQ(mode->type, fa::typeEnumerated);
  EXPECT_EQ(mode->enum_type, key::kModeType);
  EXPECT_EQ(mode->enum_value, want.mode > 0   ? key::kRightAngle
                              : want.mode < 0 ? key::kMixed
                                              : key::kParallel);
  const DescriptorItem* fade = d.find(key::kFade);
  ASSERT_NE(fade, nullptr);
  EXPECT_EQ(fade->type, fa::typeBoolean);
  EXPECT_EQ(fade->boolean, want.fade != 0);
  EXPECT_EQ(s.record_info, fa::plugInDialogOptional);
}

// Nothing of the host's was kept or lost by the module.
void expect_tidy(const plugin_host::ScriptingOutcome& s) {
  EXPECT_EQ(s.leaked_handles, 0);
  EXPECT_EQ(s.unclosed_tokens, 0);
  EXPECT_EQ(s.refused_calls, 0);  // no getter was asked for a type it does not hold
}

const ParameterRecord kLast = pt::settings(3, 60, 10, 70, 1, 1, 40, 30);

TEST(ActionRecording, EveryRunRecordsTheSixSettingsItUsed) {
  for (int16_t mode : {0, 1, -1}) {
    for (int16_t fade : {0, 1}) {
      ParameterRecord stored = pt::settings(7, 80, 200, 25, mode, fade, 10, 20);
      Outcome out = run_with(stored, Host{playing(fa::plugInDialogDontDisplay)});
      ASSERT_TRUE(out.run.ok()) << out.run.result;
      ASSERT_TRUE(out.run.scripting.has_value());
      expect_recorded(*out.run.scripting, EffectSettings{7, 80, 200, 25, mode, fade});
      expect_tidy(*out.run.scripting);
      EXPECT_EQ(out.stored, pt::record_bytes(stored));
    }
  }
  // A filter area without pixels is a run too.
  Host empty{playing(fa::plugInDialogDontDisplay)};
  empty.area = plugin_host::Area{5, 5, 5, 60};
  Outcome out = run_with(kLast, empty);
  ASSERT_TRUE(out.run.ok());
  expect_recorded(*out.run.scripting, EffectSettings{3, 60, 10, 70, 1, 1});
}

TEST(ActionPlaying, ARecordedStepPlaysOverOtherLastSettingsAndRecordsItselfAgain) {
  const Descriptor step = six(90, 12, 50, 100, key::kMixed, false);
  Outcome played = run_with(kLast, Host{playing(fa::plugInDialogDontDisplay, step)});
  ASSERT_TRUE(played.run.ok()) << played.run.result;
  const EffectSettings wanted{12, 100, 90, 50, -1, 0};
  Outcome direct = run_with(with_settings(kLast, wanted), Host{});
  EXPECT_EQ(played.image.pixels, direct.image.pixels);
  EXPECT_NE(played.image.pixels, run_with(kLast, Host{}).image.pixels);
  // The last settings are as they were: "Last Filter" and hosts without scripting still
  // repeat what the user last confirmed.
  EXPECT_EQ(played.stored, pt::record_bytes(kLast));
  EXPECT_TRUE(played.run.scripting->played_disposed);
  expect_recorded(*played.run.scripting, wanted);
  expect_tidy(*played.run.scripting);
  // Silently, the same.
  Outcome silent = run_with(kLast, Host{playing(fa::plugInDialogSilent, step)});
  ASSERT_TRUE(silent.run.ok());
  EXPECT_EQ(silent.image.pixels, direct.image.pixels);
}

TEST(ActionPlaying, AMissingKeyKeepsTheSettingItWouldOtherwiseHave) {
  Descriptor partial;
  partial.put_integer(key::kRegions, 12).put_boolean(key::kFade, false);
  Outcome played = run_with(kLast, Host{playing(fa::plugInDialogDontDisplay, partial)});
  ASSERT_TRUE(played.run.ok());
  const EffectSettings wanted{12, 60, 10, 70, 1, 0};
  EXPECT_EQ(played.image.pixels, run_with(with_settings(kLast, wanted), Host{}).image.pixels);
  expect_recorded(*played.run.scripting, wanted);
  // An empty step plays the last settings.
  Outcome empty = run_with(kLast, Host{playing(fa::plugInDialogDontDisplay, Descriptor{})});
  ASSERT_TRUE(empty.run.ok());
  EXPECT_EQ(empty.image.pixels, run_with(kLast, Host{}).image.pixels);
  expect_tidy(*empty.run.scripting);
}

TEST(ActionPlaying, KeysOfAnotherTypeAreIgnored) {
  Descriptor wrong;
  wrong.put_text(key::kAngle, "90")
      .put_boolean(key::kRegions, true)
      .put_enumerated(key::kIntensity, key::kModeType, key::kMixed)
      .put_unit_float(key::kSpacing, fa::unitPercent, 30)  // a unit float is the angle's only
      .put_integer(key::kMode, -1)
      .put_integer(key::kFade, 1)
      .put_enumerated(key::kMode + 1, key::kModeType, key::kMixed);  // not a key of ours
  Outcome played = run_with(kLast, Host{playing(fa::plugInDialogDontDisplay, wrong)});
  ASSERT_TRUE(played.run.ok());
  EXPECT_EQ(played.image.pixels, run_with(kLast, Host{}).image.pixels);
  expect_recorded(*played.run.scripting, EffectSettings{3, 60, 10, 70, 1, 1});
  expect_tidy(*played.run.scripting);  // every getter was asked for the type it holds
}

TEST(ActionPlaying, NumbersComeAsIntegersFloatsOrTheAngleInDegrees) {
  Descriptor forms;
  forms.put_integer(key::kAngle, 135)
      .put_float(key::kRegions, 11.5)  // to nearest, halves away from zero
      .put_float(key::kSpacing, 20.49)
      .put_enumerated(key::kMode, key::kModeType, key::kParallel);
  Outcome played = run_with(kLast, Host{playing(fa::plugInDialogDontDisplay, forms)});
  ASSERT_TRUE(played.run.ok());
  expect_recorded(*played.run.scripting, EffectSettings{12, 60, 135, 20, 0, 1});
  // An enumerated value reported by its enumeration's type, as some hosts do.
  Scripting by_type = playing(fa::plugInDialogDontDisplay, forms);
  by_type.enum_type_as_type = true;
  Outcome typed = run_with(kLast, Host{by_type});
  expect_recorded(*typed.run.scripting, EffectSettings{12, 60, 135, 20, 0, 1});
  expect_tidy(*typed.run.scripting);
  // A unit float of another unit is no angle; one in degrees is.
  Descriptor radians;
  radians.put_unit_float(key::kAngle, fa::fourcc("#Rdn"), 1.5);
  expect_recorded(
      *run_with(kLast, Host{playing(fa::plugInDialogDontDisplay, radians)}).run.scripting,
      EffectSettings{3, 60, 10, 70, 1, 1});
}

TEST(ActionPlaying, ValuesOutOfRangeAreHeldToTheirRanges) {
  struct Case {
    Descriptor step;
    EffectSettings want;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double huge = 1e300;
  const Case cases[] = {
      {six(720, 99, 1, -5, key::kParallel, true), {20, 0, 360, 5, 0, 1}},
      {six(-30, -7, 1000, 101, key::kRightAngle, false), {1, 100, 0, 100, 1, 0}},
      {six(huge, 2147483647, -2147483647 - 1, 2147483647, fa::fourcc("zbXX"), false),
       {20, 100, 360, 5, 1, 0}},  // an unknown mode keeps the last one
      {six(nan, 20, 5, 0, key::kMixed, true), {20, 0, 10, 5, -1, 1}},  // no number: kept
      {six(-huge, 1, 100, 100, key::kMixed, true), {1, 100, 0, 100, -1, 1}},
  };
  for (const Case& c : cases) {
    Outcome played = run_with(kLast, Host{playing(fa::plugInDialogSilent, c.step)});
    ASSERT_TRUE(played.run.ok());
    expect_recorded(*played.run.scripting, c.want);
    EXPECT_EQ(played.image.pixels, run_with(with_settings(kLast, c.want), Host{}).image.pixels);
  }
}

TEST(ActionPlaying, ADamagedStepIsGivenBackAndTheLastSettingsPlay) {
  for (std::vector<uint8_t> bytes :
       {std::vector<uint8_t>{}, std::vector<uint8_t>{1, 0, 0},
        std::vector<uint8_t>{2, 0, 0, 0, 'g', 'R', 'b', 'z'}, std::vector<uint8_t>(64, 0xFF)}) {
    Scripting s = playing(fa::plugInDialogDontDisplay);
    s.descriptor_bytes = bytes;
    Outcome played = run_with(kLast, Host{s});
    ASSERT_TRUE(played.run.ok());
    EXPECT_EQ(played.image.pixels, run_with(kLast, Host{}).image.pixels);
    EXPECT_TRUE(played.run.scripting->played_disposed);
    expect_recorded(*played.run.scripting, EffectSettings{3, 60, 10, 70, 1, 1});
  }
}

TEST(HostWithoutScripting, SeesTheSameRequestsBytesAndImage) {
  Outcome plain = run_with(kLast, Host{});
  Outcome scripted = run_with(kLast, Host{playing(fa::plugInDialogDontDisplay)});
  ASSERT_TRUE(plain.run.ok());
  EXPECT_FALSE(plain.run.scripting.has_value());
  EXPECT_EQ(plain.image.pixels, scripted.image.pixels);
  EXPECT_EQ(plain.stored, scripted.stored);
  EXPECT_EQ(plain.stored, pt::record_bytes(kLast));
  ASSERT_EQ(plain.run.requests.size(), scripted.run.requests.size());
  for (std::size_t i = 0; i < plain.run.requests.size(); ++i)
    EXPECT_EQ(std::memcmp(&plain.run.requests[i], &scripted.run.requests[i],
                          sizeof plain.run.requests[i]),
              0)
        << i;
  // Tables short of the interface's are not used: the step is not played, nothing recorded,
  // the handle left to the host.
  Scripting short_tables = playing(fa::plugInDialogDontDisplay, six(90, 12, 50, 100, 0, true));
  short_tables.short_tables = true;
  Outcome old = run_with(kLast, Host{short_tables});
  ASSERT_TRUE(old.run.ok());
  EXPECT_EQ(old.image.pixels, plain.image.pixels);
  EXPECT_FALSE(old.run.scripting->recorded.has_value());
  EXPECT_FALSE(old.run.scripting->played_disposed);
  EXPECT_EQ(old.run.scripting->record_info, -1);
  EXPECT_EQ(old.run.scripting->leaked_handles, 0);
}

#ifndef _WIN32
// The dialog is played by the headless scripted user; a dialog nobody answers is cancelled,
// so a run that succeeds without a script showed none.

ParameterRecord stored_record(const plugin_host::Module& module) {
  ParameterRecord record{};
  auto bytes = module.parameters();
  if (bytes && bytes->size() >= sizeof record) std::memcpy(&record, bytes->data(), sizeof record);
  return record;
}

TEST(ActionRecording, RecordedWithTheDialogThenPlayedOverOtherLastSettingsWithoutIt) {
  ParameterRecord first = pt::settings(8, 100, 50, 50, 0, 0, 0, 0);
  first.show_dialog = 1;
  headless::clear_records();
  ASSERT_TRUE(headless::set_ui_script("type 153 90\ntype 115 12\nclick 252\nclick 1\n"));
  Host recording{playing(fa::plugInDialogDisplay)};
  recording.ask_for_dialog = true;
  Outcome recorded = run_with(first, recording);
  ASSERT_TRUE(recorded.run.ok()) << recorded.run.result;
  EXPECT_TRUE(headless::ui_script_failures().empty());
  const EffectSettings wanted{12, 100, 90, 50, -1, 0};
  expect_recorded(*recorded.run.scripting, wanted);
  expect_tidy(*recorded.run.scripting);
  const ParameterRecord confirmed = stored_record(pt::linked_module());
  EXPECT_EQ(confirmed.regions, 12);

  // Later, other settings are the last ones (and the dialog is due, as after Parameters);
  // the step plays its own without showing it.
  ParameterRecord other = with_settings(confirmed, EffectSettings{2, 30, 300, 90, 1, 1});
  other.show_dialog = 1;
  ASSERT_TRUE(headless::set_ui_script(""));
  Host playback{playing(fa::plugInDialogDontDisplay, *recorded.run.scripting->recorded)};
  playback.ask_for_dialog = true;
  Outcome played = run_with(other, playback);
  ASSERT_TRUE(played.run.ok()) << played.run.result;
  EXPECT_EQ(headless::ui_script_steps_left(), 0u);
  EXPECT_EQ(played.image.pixels, recorded.image.pixels);
  EXPECT_EQ(played.stored, pt::record_bytes(other));
  expect_recorded(*played.run.scripting, wanted);
}

TEST(ActionPlaying, WithDisplayTheDialogOpensOnTheRecordedValues) {
  std::string angle, regions, spacing, intensity;
  UINT mixed = 0, fade = 0;
  headless::set_ui_observer([&](HWND dialog, int line) {
    if (line != 0) return;
    auto text = [&](int id) { return headless::control_info(GetDlgItem(dialog, id))->text; };
    angle = text(153);
    regions = text(115);
    spacing = text(228);
    intensity = text(117);
    mixed = headless::control_info(GetDlgItem(dialog, 252))->check;
    fade = headless::control_info(GetDlgItem(dialog, 223))->check;
  });
  ASSERT_TRUE(headless::set_ui_script("click 1\n"));
  const Descriptor step = six(90, 12, 20, 40, key::kMixed, true);
  Outcome shown = run_with(kLast, Host{playing(fa::plugInDialogDisplay, step)});
  headless::set_ui_observer(nullptr);
  ASSERT_TRUE(shown.run.ok()) << shown.run.result;
  EXPECT_EQ(angle, "90");
  EXPECT_EQ(regions, "12");
  EXPECT_EQ(spacing, "20");
  EXPECT_EQ(intensity, "40");
  EXPECT_EQ(mixed, UINT(BST_CHECKED));
  EXPECT_EQ(fade, UINT(BST_CHECKED));
  // Confirmed, the values are the user's last settings, as after any confirmed dialog.
  const EffectSettings wanted{12, 40, 90, 20, -1, 1};
  const ParameterRecord stored = stored_record(pt::linked_module());
  EXPECT_EQ(stored.regions, 12);
  EXPECT_EQ(stored.mode, -1);
  EXPECT_EQ(stored.show_dialog, 0);
  expect_recorded(*shown.run.scripting, wanted);

  // Cancelled: the run stops, nothing is recorded, the last settings stay.
  ASSERT_TRUE(headless::set_ui_script("type 153 45\nclick 2\n"));
  Outcome cancelled = run_with(kLast, Host{playing(fa::plugInDialogDisplay, step)});
  EXPECT_EQ(cancelled.run.result, 1);
  EXPECT_FALSE(cancelled.run.scripting->recorded.has_value());
  EXPECT_TRUE(cancelled.run.scripting->played_disposed);
  EXPECT_EQ(cancelled.stored, pt::record_bytes(kLast));
}

TEST(ActionPlaying, SilentPlayShowsNeitherTheDialogNorTheLabWarning) {
  ParameterRecord due = kLast;
  due.show_dialog = 1;
  for (int16_t play : {fa::plugInDialogSilent, fa::plugInDialogDontDisplay}) {
    ASSERT_TRUE(headless::set_ui_script(""));
    test_support::MessageBoxWatch boxes;
    Host lab{playing(play, six(90, 12, 50, 100, key::kMixed, false))};
    lab.ask_for_dialog = true;
    lab.image_mode = fa::plugInModeLabColor;
    Outcome out = run_with(due, lab);
    EXPECT_TRUE(out.run.ok()) << play << " " << out.run.result;
    EXPECT_TRUE(boxes.boxes().empty()) << play;
  }
  // Silent without a step: the last settings, still without the dialog.
  ASSERT_TRUE(headless::set_ui_script(""));
  Host silent{playing(fa::plugInDialogSilent)};
  silent.ask_for_dialog = true;
  Outcome out = run_with(due, silent);
  ASSERT_TRUE(out.run.ok());
  EXPECT_EQ(out.image.pixels, run_with(kLast, Host{}).image.pixels);
  // Asked to display, the Lab warning comes before the dialog, as in an interactive run.
  test_support::MessageBoxWatch boxes;
  Host display{playing(fa::plugInDialogDisplay)};
  display.image_mode = fa::plugInModeLabColor;
  ASSERT_TRUE(headless::set_ui_script("click 2\n"));
  EXPECT_EQ(run_with(kLast, display).run.result, 1);
  EXPECT_EQ(boxes.boxes().size(), 1u);
}
#endif

}  // namespace
