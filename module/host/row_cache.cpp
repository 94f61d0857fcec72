// The row cache: full-resolution source rows that the host delivered during the final pass
// of a reduced image, filed by filter-area row so the compositor can read displaced samples.
// Slots are refilled first in, first out; a slot number of 255 marks a row not cached.
#include <cstring>

#include "module/host/host.h"

namespace {
constexpr uint8_t kNotCached = 255;
}

int16_t row_cache_allocate() {
  ModuleState& s = module_state;
  if (s.decimation == 1) return 0;
  HGLOBAL reserve = block_alloc(2000);
  HGLOBAL block = nullptr;
  if (reserve != nullptr) {
    for (s.cache_slots = 255; s.cache_slots >= 32; s.cache_slots = int16_t(s.cache_slots - 4)) {
      int64_t size = int64_t(s.row_bytes + 1) * s.cache_slots + s.filter_height;
      // The cache, the reserve and the stored record stay within the host's allowance.
      if (size + 2000 + int64_t(sizeof(ParameterRecord)) > s.filter_record->maxSpace) continue;
      block = block_alloc(uint32_t(size));
      if (block != nullptr) break;
    }
    block_free(reserve);
  }
  if (block == nullptr) {
    release_all();
    s.result_code = filter_api::memFullErr;
    return 1;
  }
  s.cache_block = block;
  s.slot_of_row = static_cast<uint8_t*>(block_lock(block));
  s.slot_stamp = s.slot_of_row + s.filter_height;
  s.cache_data = s.slot_stamp + s.cache_slots;
  for (int32_t i = 0; i < s.filter_height; ++i) s.slot_of_row[i] = kNotCached;
  for (int32_t i = 0; i < s.cache_slots; ++i) s.slot_stamp[i] = kNotCached;
  for (int16_t& row : s.row_of_slot) row = -1;
  s.stamp_clock = 0;
  s.cache_active = 1;
  return 0;
}

void row_cache_store() {
  ModuleState& s = module_state;
  if (s.current_row == nullptr) return;
  int32_t chosen = 0;
  uint8_t best_age = 0;
  for (int32_t i = 0; i < s.cache_slots; ++i) {
    auto age = uint8_t(s.stamp_clock - s.slot_stamp[i]);
    if (age > best_age) {
      best_age = age;
      chosen = i;
    }
  }
  s.slot_stamp[chosen] = s.stamp_clock;
  s.stamp_clock = uint8_t(s.stamp_clock + 1);
  // The row the chosen slot holds, if it still refers to it (a row stored again has moved to
  // another slot), is no longer cached. A slot is referred to by one row at most.
  int16_t previous = s.row_of_slot[chosen];
  if (previous >= 0 && s.slot_of_row[previous] == chosen) s.slot_of_row[previous] = kNotCached;
  s.slot_of_row[s.delivered_row] = uint8_t(chosen);
  s.row_of_slot[chosen] = s.delivered_row;
  std::memcpy(s.cache_data + int64_t(chosen) * s.row_bytes, s.current_row, size_t(s.row_bytes));
}

const uint8_t* row_cache_lookup(int32_t offset, int32_t row) {
  const ModuleState& s = module_state;
  uint8_t slot = s.slot_of_row[row];
  if (slot == kNotCached) return nullptr;
  return s.cache_data + int64_t(slot) * s.row_bytes + offset;
}
