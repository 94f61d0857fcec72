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

namespace {

// The host's handle procedures when it offers the three the record needs, else null.
const filter_api::HandleProcs* host_handle_procs() {
  filter_api::FilterRecord* host = module_state.host.filter_record;
  const auto* procs =
      host == nullptr ? nullptr : static_cast<const filter_api::HandleProcs*>(host->handleProcs);
  if (procs == nullptr || procs->numHandleProcs < 6 || procs->getSizeProc == nullptr ||
      procs->lockProc == nullptr || procs->unlockProc == nullptr)
    return nullptr;
  return procs;
}

}  // namespace

RecordAccess record_access() {
  HGLOBAL handle = record_handle();
  if (handle == nullptr) return RecordAccess::kNone;
  // The record as the module makes it: a global block. A handle some host rebuilt in a form
  // of its own (its own heap: GlobalSize gives nothing, or the few bytes of a pointer cell) is
  // read through the host's procedures, and never past its end.
  if (GlobalSize(handle) >= sizeof(ParameterRecord)) return RecordAccess::kGlobal;
  const filter_api::HandleProcs* procs = host_handle_procs();
  auto* host_handle = reinterpret_cast<char**>(handle);
  if (procs != nullptr && procs->getSizeProc(host_handle) >= int32_t(sizeof(ParameterRecord)))
    return RecordAccess::kHostProcs;
  return RecordAccess::kNone;
}

ParameterRecord* lock_record() {
  switch (record_access()) {
    case RecordAccess::kGlobal:
      return static_cast<ParameterRecord*>(block_lock(record_handle()));
    case RecordAccess::kHostProcs:
      return static_cast<ParameterRecord*>(
          host_handle_procs()->lockProc(reinterpret_cast<char**>(record_handle()), 0));
    default:
      return nullptr;
  }
}

void unlock_record() {
  switch (record_access()) {
    case RecordAccess::kGlobal:
      block_unlock(record_handle());
      break;
    case RecordAccess::kHostProcs:
      host_handle_procs()->unlockProc(reinterpret_cast<char**>(record_handle()));
      break;
    default:
      break;
  }
}

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
