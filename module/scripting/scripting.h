// The scripting subsystem (Photoshop actions, batches and smart filters): it reads the
// settings an action step plays from the host's descriptor, decides with the host's play
// option whether the dialog shows, and hands the host a descriptor of the six settings a run
// used, to be recorded. Hosts that offer no descriptor suites never reach any of it: the
// stored parameter record alone decides, as it always has.
#pragma once

#include <cstdint>

#include "filter_api/descriptors.h"
#include "module/engine/engine.h"

namespace scripting_key {
// The keys a recorded step holds, as the AETE resource declares them: the host's standard
// angle key, and codes of our own for the rest.
constexpr filter_api::DescriptorKeyID kAngle = filter_api::keyAngle;          // unit float, degrees
constexpr filter_api::DescriptorKeyID kRegions = filter_api::fourcc("zbRg");  // integer
constexpr filter_api::DescriptorKeyID kSpacing = filter_api::fourcc("zbSp");  // integer
constexpr filter_api::DescriptorKeyID kIntensity = filter_api::fourcc("zbIn");  // integer
constexpr filter_api::DescriptorKeyID kMode = filter_api::fourcc("zbMd");       // enumerated
constexpr filter_api::DescriptorKeyID kFade = filter_api::fourcc("zbFd");       // boolean
// The mode's enumeration and its three values.
constexpr filter_api::DescriptorEnumTypeID kModeType = filter_api::fourcc("zbMT");
constexpr filter_api::DescriptorEnumID kParallel = filter_api::fourcc("zbPL");    // mode 0
constexpr filter_api::DescriptorEnumID kRightAngle = filter_api::fourcc("zbRA");  // mode 1
constexpr filter_api::DescriptorEnumID kMixed = filter_api::fourcc("zbMP");       // mode -1
// The event class and id of the PiPL's terminology property and of the AETE.
constexpr filter_api::OSType kEvent = filter_api::fourcc("zorB");
}  // namespace scripting_key

// Which settings a played descriptor held: one bit each.
enum PlayedSetting : uint8_t {
  kPlayedRegions = 1,
  kPlayedIntensity = 2,
  kPlayedAngle = 4,
  kPlayedSpacing = 8,
  kPlayedMode = 16,
  kPlayedFade = 32,
};

// One run's scripting (scripting/): what the played descriptor held, and whether this run's
// settings went back to the host. Reset at Prepare and Start.
struct ScriptingState {
  bool played;                   // Start read a descriptor the host handed over
  bool superseded;               // the user confirmed the dialog: the stored record holds the run
  uint8_t played_keys;           // PlayedSetting bits of the settings it held
  EffectSettings played_values;  // those settings, each held to its range
  bool recorded;                 // this run's descriptor is with the host
};

// Forgets the last run's descriptor (Prepare and Start call it first).
void scripting_begin_run();
// Start, after the parameter record exists: reads the host's descriptor, when it hands one,
// then gives the handle back (disposes it and leaves descriptor null). A missing key keeps the
// setting, a key of another type is ignored, a value out of range is held to its range.
void read_played_settings();
// Whether this run shows the dialog, given the stored record's show_dialog: without descriptor
// suites that flag decides, as always; a host playing silently never gets the dialog, one
// that asks for display always does, and one that plays a descriptor without display runs
// without it.
bool dialog_wanted(int32_t stored_show_dialog);
// The settings a run uses: the stored ones, with what the played descriptor held in their
// place (until the user confirms the dialog, whose values the record then holds).
EffectSettings played_settings(const EffectSettings& stored);
// The user confirmed the dialog: from now on the stored record holds the run's settings.
void scripting_dialog_confirmed();
// A run completed: hands the host a descriptor of the six settings it used (the stored ones
// with the played values in their place), in place of any it still holds, and asks for it to
// be recorded (recordInfo optional). Once per run; without descriptor suites nothing at all,
// not even a look at the stored record.
void record_run_settings();
