// The stored parameter record: its defaults, reading it safely through the host's handle,
// and loading the settings from it clamped into their ranges.
#include <algorithm>

#include "module/host/host.h"
#include "module/module_state.h"

void fill_default_record(ParameterRecord* record) {
  record->center_h = 0;
  record->center_v = 0;
  record->regions = 8;
  record->intensity = 100;
  record->angle = 50;
  record->spacing = 50;
  record->mode = 0;
  record->fade = 0;
  record->show_dialog = 1;
}

static int16_t clamp16(int16_t value, int16_t low, int16_t high) {
  return std::min(std::max(value, low), high);
}

EffectSettings settings_from_record(const ParameterRecord& record) {
  return EffectSettings{clamp16(record.regions, 1, 20),
                        clamp16(record.intensity, 0, 100),
                        clamp16(record.angle, 0, 360),
                        clamp16(record.spacing, 5, 100),
                        int16_t(record.mode > 0   ? 1
                                : record.mode < 0 ? -1
                                                  : 0),
                        int16_t(record.fade != 0 ? 1 : 0)};
}

HGLOBAL record_handle() {
  filter_api::FilterRecord* host = module_state.host.filter_record;
  return host == nullptr ? nullptr : reinterpret_cast<HGLOBAL>(host->parameters);
}

ParameterRecord* lock_record() {
  HGLOBAL handle = record_handle();
  if (handle == nullptr) return nullptr;
  // A handle some host rebuilt in a form of its own, or a block too small to be ours, is
  // left alone rather than read past its end.
  if (GlobalSize(handle) < sizeof(ParameterRecord)) return nullptr;
  return static_cast<ParameterRecord*>(block_lock(handle));
}

void unlock_record() { block_unlock(record_handle()); }

ParameterRecord read_record() {
  ParameterRecord copy;
  ParameterRecord* record = lock_record();
  if (record == nullptr) {
    fill_default_record(&copy);
  } else {
    copy = *record;
    unlock_record();
  }
  return copy;
}
