// Reading and writing the host's action descriptors: the suite checks, the played settings
// (by key, dispatched on the type the host reports, so that no getter is asked for a type it
// does not hold) and the descriptor recorded after a run. The host's tokens are only compared
// with null, never read.
#include <algorithm>
#include <cmath>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/scripting/scripting.h"

namespace fa = filter_api;
namespace key = scripting_key;

namespace {

// The most keys read from one descriptor: a host that never says "no more" cannot hold the
// run in the loop.
constexpr int kMostKeys = 1024;

// The host's descriptor parameters, when both suites pass the checks hosts' own samples make
// (version 0, counts, every procedure used present) and the handle procedures can give a
// descriptor back; else null, and the run goes as in any host without scripting.
fa::PIDescriptorParameters* usable_parameters() {
  const fa::FilterRecord* host = module_state.host.filter_record;
  if (host == nullptr) return nullptr;
  auto* parameters = static_cast<fa::PIDescriptorParameters*>(host->descriptorParameters);
  const auto* handles = static_cast<const fa::HandleProcs*>(host->handleProcs);
  if (parameters == nullptr ||
      parameters->descriptorParametersVersion != fa::kCurrentDescriptorParametersVersion ||
      handles == nullptr || handles->numHandleProcs < 2 || handles->disposeProc == nullptr)
    return nullptr;
  const auto* read = static_cast<const fa::ReadDescriptorProcs*>(parameters->readDescriptorProcs);
  const auto* write =
      static_cast<const fa::WriteDescriptorProcs*>(parameters->writeDescriptorProcs);
  if (read == nullptr || write == nullptr ||
      read->readDescriptorProcsVersion != fa::kCurrentReadDescriptorProcsVersion ||
      write->writeDescriptorProcsVersion != fa::kCurrentWriteDescriptorProcsVersion ||
      read->numReadDescriptorProcs < fa::kCurrentReadDescriptorProcsCount ||
      write->numWriteDescriptorProcs < fa::kCurrentWriteDescriptorProcsCount)
    return nullptr;
  const bool reads = read->openReadDescriptorProc != nullptr &&
                     read->closeReadDescriptorProc != nullptr && read->getKeyProc != nullptr &&
                     read->getIntegerProc != nullptr && read->getFloatProc != nullptr &&
                     read->getUnitFloatProc != nullptr && read->getBooleanProc != nullptr &&
                     read->getEnumeratedProc != nullptr;
  const bool writes = write->openWriteDescriptorProc != nullptr &&
                      write->closeWriteDescriptorProc != nullptr &&
                      write->putIntegerProc != nullptr && write->putUnitFloatProc != nullptr &&
                      write->putBooleanProc != nullptr && write->putEnumeratedProc != nullptr;
  return reads && writes ? parameters : nullptr;
}

const fa::ReadDescriptorProcs* read_procs(const fa::PIDescriptorParameters* parameters) {
  return static_cast<const fa::ReadDescriptorProcs*>(parameters->readDescriptorProcs);
}
const fa::WriteDescriptorProcs* write_procs(const fa::PIDescriptorParameters* parameters) {
  return static_cast<const fa::WriteDescriptorProcs*>(parameters->writeDescriptorProcs);
}

// Gives a descriptor handle back to the host and forgets it.
void dispose_descriptor(fa::PIDescriptorParameters* parameters) {
  if (parameters->descriptor == nullptr) return;
  const auto* handles =
      static_cast<const fa::HandleProcs*>(module_state.host.filter_record->handleProcs);
  handles->disposeProc(parameters->descriptor);
  parameters->descriptor = nullptr;
}

// A number held to low..high and rounded to the nearest whole value (halves away from zero);
// false for a value that is no number.
bool whole_in_range(double value, int16_t low, int16_t high, int16_t* out) {
  if (std::isnan(value)) return false;
  *out = int16_t(std::lround(std::clamp(value, double(low), double(high))));
  return true;
}

// A number setting of the descriptor's current key, of integer or float type (and, for the
// angle, a unit float in degrees); false for any other type, or when the host refuses it.
bool read_number(const fa::ReadDescriptorProcs* read, fa::PIReadDescriptor token,
                 fa::DescriptorTypeID type, bool angle, int16_t low, int16_t high, int16_t* out) {
  if (type == fa::typeInteger) {
    int32_t value = 0;
    if (read->getIntegerProc(token, &value) != fa::noErr) return false;
    *out = int16_t(std::clamp<int32_t>(value, low, high));
    return true;
  }
  double value = 0;
  if (type == fa::typeFloat) {
    if (read->getFloatProc(token, &value) != fa::noErr) return false;
  } else if (type == fa::typeUnitFloat && angle) {
    fa::DescriptorUnitID unit = 0;
    if (read->getUnitFloatProc(token, &unit, &value) != fa::noErr || unit != fa::unitAngle)
      return false;
  } else {
    return false;
  }
  return whole_in_range(value, low, high, out);
}

// The mode of an enumerated value of the mode's enumeration; false for any other value.
bool mode_of(fa::DescriptorEnumID value, int16_t* mode) {
  if (value == key::kParallel)
    *mode = kModeParallel;
  else if (value == key::kRightAngle)
    *mode = kModeRightAngle;
  else if (value == key::kMixed)
    *mode = kModeMixed;
  else
    return false;
  return true;
}

// Takes the descriptor's current key into the played settings, when it is one of ours with a
// usable type and value.
void read_key(const fa::ReadDescriptorProcs* read, fa::PIReadDescriptor token,
              fa::DescriptorKeyID id, fa::DescriptorTypeID type) {
  ScriptingState& s = module_state.scripting;
  EffectSettings& v = s.played_values;
  uint8_t bit = 0;
  if (id == key::kAngle) {
    if (read_number(read, token, type, true, 0, 360, &v.angle)) bit = kPlayedAngle;
  } else if (id == key::kRegions) {
    if (read_number(read, token, type, false, 1, 20, &v.regions)) bit = kPlayedRegions;
  } else if (id == key::kSpacing) {
    if (read_number(read, token, type, false, 5, 100, &v.spacing)) bit = kPlayedSpacing;
  } else if (id == key::kIntensity) {
    if (read_number(read, token, type, false, 0, 100, &v.intensity)) bit = kPlayedIntensity;
  } else if (id == key::kMode) {
    // Hosts report an enumerated value as 'enum' or by its enumeration's type.
    fa::DescriptorEnumID value = 0;
    if ((type == fa::typeEnumerated || type == key::kModeType) &&
        read->getEnumeratedProc(token, &value) == fa::noErr && mode_of(value, &v.mode))
      bit = kPlayedMode;
  } else if (id == key::kFade) {
    fa::Boolean value = 0;
    if (type == fa::typeBoolean && read->getBooleanProc(token, &value) == fa::noErr) {
      v.fade = int16_t(value != 0 ? 1 : 0);
      bit = kPlayedFade;
    }
  }
  s.played_keys = uint8_t(s.played_keys | bit);
}

fa::DescriptorEnumID enum_of(int16_t mode) {
  return mode > 0 ? key::kRightAngle : mode < 0 ? key::kMixed : key::kParallel;
}

}  // namespace

void scripting_begin_run() { module_state.scripting = ScriptingState{}; }

void read_played_settings() {
  ScriptingState& s = module_state.scripting;
  scripting_begin_run();
  fa::PIDescriptorParameters* parameters = usable_parameters();
  if (parameters == nullptr || parameters->descriptor == nullptr) return;
  const fa::ReadDescriptorProcs* read = read_procs(parameters);
  // The host may mark the keys it found in this array; it is ours to lose.
  fa::DescriptorKeyID keys[] = {
      key::kAngle, key::kRegions, key::kSpacing, key::kIntensity, key::kMode, key::kFade, 0};
  fa::PIReadDescriptor token = read->openReadDescriptorProc(parameters->descriptor, keys);
  if (token != nullptr) {
    s.played = true;
    fa::DescriptorKeyID id = 0;
    fa::DescriptorTypeID type = 0;
    int32_t flags = 0;
    for (int n = 0; n < kMostKeys && read->getKeyProc(token, &id, &type, &flags) != 0; ++n)
      read_key(read, token, id, type);
    read->closeReadDescriptorProc(token);  // its sticky error says no more than each getter did
  }
  dispose_descriptor(parameters);
}

bool dialog_wanted(int32_t stored_show_dialog) {
  const fa::PIDescriptorParameters* parameters = usable_parameters();
  if (parameters == nullptr) return stored_show_dialog != 0;
  switch (parameters->playInfo) {
    case fa::plugInDialogSilent:
      return false;
    case fa::plugInDialogDisplay:
      return true;
    default:
      // Before Start has read it, the descriptor still sits in the parameters.
      if (module_state.scripting.played || parameters->descriptor != nullptr) return false;
      return stored_show_dialog != 0;
  }
}

EffectSettings played_settings(const EffectSettings& stored) {
  const ScriptingState& s = module_state.scripting;
  EffectSettings out = stored;
  if (!s.played || s.superseded) return out;
  const EffectSettings& v = s.played_values;
  if (s.played_keys & kPlayedRegions) out.regions = v.regions;
  if (s.played_keys & kPlayedIntensity) out.intensity = v.intensity;
  if (s.played_keys & kPlayedAngle) out.angle = v.angle;
  if (s.played_keys & kPlayedSpacing) out.spacing = v.spacing;
  if (s.played_keys & kPlayedMode) out.mode = v.mode;
  if (s.played_keys & kPlayedFade) out.fade = v.fade;
  return out;
}

void scripting_dialog_confirmed() { module_state.scripting.superseded = true; }

void record_run_settings() {
  ScriptingState& s = module_state.scripting;
  fa::PIDescriptorParameters* parameters = usable_parameters();
  if (parameters == nullptr || s.recorded) return;
  s.recorded = true;
  const EffectSettings settings = played_settings(settings_from_record(read_record()));
  const fa::WriteDescriptorProcs* write = write_procs(parameters);
  fa::PIWriteDescriptor token = write->openWriteDescriptorProc();
  if (token == nullptr) return;
  const double angle = settings.angle;
  write->putUnitFloatProc(token, key::kAngle, fa::unitAngle, &angle);
  write->putIntegerProc(token, key::kRegions, settings.regions);
  write->putIntegerProc(token, key::kSpacing, settings.spacing);
  write->putIntegerProc(token, key::kIntensity, settings.intensity);
  write->putEnumeratedProc(token, key::kMode, key::kModeType, enum_of(settings.mode));
  write->putBooleanProc(token, key::kFade, fa::Boolean(settings.fade != 0 ? 1 : 0));
  // A descriptor the host still left in place gives way to this one, which the host owns
  // from now on.
  dispose_descriptor(parameters);
  fa::PIDescriptorHandle recorded = nullptr;
  const fa::OSErr closed = write->closeWriteDescriptorProc(token, &recorded);
  parameters->descriptor = recorded;
  if (closed == fa::noErr && recorded != nullptr) parameters->recordInfo = fa::plugInDialogOptional;
}
