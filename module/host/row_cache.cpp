// The row cache: full-resolution source rows that the host delivered during the final pass
// of a reduced image, filed by filter-area row so the compositor can read displaced samples.
// Slots are refilled first in, first out; a slot number of 255 marks a row not cached.
#include <cstring>

#include "module/host/host.h"
#include "module/module_state.h"

namespace {
constexpr uint8_t kNotCached = 255;
constexpr int32_t kReserveBytes = 2000;  // held while the cache's size is tried
constexpr int16_t kFewestSlots = 35;     // the last size tried: 255, 251, ..., 39, 35

// The cache's block for `slots` slots: the row map, the stamps and the rows.
int64_t cache_bytes(int16_t slots) {
  const ModuleState& s = module_state;
  return int64_t(s.host.row_bytes + 1) * slots + s.host.filter_height;
}
}  // namespace

int64_t row_cache_least_bytes() {
  return cache_bytes(kFewestSlots) + kReserveBytes + int64_t(sizeof(ParameterRecord));
}

void row_cache_release() {
  ModuleState& s = module_state;
  if (s.plan.cache_block != nullptr && s.plan.cache_block != kNotNeeded) {
    block_unlock(s.plan.cache_block);
    block_free(s.plan.cache_block);
  }
  s.plan.cache_block = nullptr;
  s.cache.cache_active = 0;
  s.cache.slot_of_row = s.cache.slot_stamp = s.cache.cache_data = nullptr;
}

int16_t row_cache_allocate() {
  ModuleState& s = module_state;
  if (s.plan.decimation == 1) return 0;
  HGLOBAL reserve = block_alloc(kReserveBytes);
  HGLOBAL block = nullptr;
  if (reserve != nullptr) {
    for (s.cache.cache_slots = 255; s.cache.cache_slots >= kFewestSlots;
         s.cache.cache_slots = int16_t(s.cache.cache_slots - 4)) {
      int64_t size = cache_bytes(s.cache.cache_slots);
      // The cache, the reserve and the stored record stay within the host's allowance.
      if (size + kReserveBytes + int64_t(sizeof(ParameterRecord)) > s.host.filter_record->maxSpace)
        continue;
      block = block_alloc(uint32_t(size));
      if (block != nullptr) break;
    }
    block_free(reserve);
  }
  if (block == nullptr) {
    release_all();
    s.host.result_code = filter_api::memFullErr;
    return 1;
  }
  s.plan.cache_block = block;
  s.cache.slot_of_row = static_cast<uint8_t*>(block_lock(block));
  s.cache.slot_stamp = s.cache.slot_of_row + s.host.filter_height;
  s.cache.cache_data = s.cache.slot_stamp + s.cache.cache_slots;
  for (int32_t i = 0; i < s.host.filter_height; ++i) s.cache.slot_of_row[i] = kNotCached;
  for (int32_t i = 0; i < s.cache.cache_slots; ++i) s.cache.slot_stamp[i] = kNotCached;
  for (int16_t& row : s.cache.row_of_slot) row = -1;
  s.cache.stamp_clock = 0;
  s.cache.cache_active = 1;
  return 0;
}

void row_cache_store() {
  ModuleState& s = module_state;
  if (s.plan.current_row == nullptr) return;
  int32_t chosen = 0;
  uint8_t best_age = 0;
  for (int32_t i = 0; i < s.cache.cache_slots; ++i) {
    auto age = uint8_t(s.cache.stamp_clock - s.cache.slot_stamp[i]);
    if (age > best_age) {
      best_age = age;
      chosen = i;
    }
  }
  s.cache.slot_stamp[chosen] = s.cache.stamp_clock;
  s.cache.stamp_clock = uint8_t(s.cache.stamp_clock + 1);
  // The row the chosen slot holds, if it still refers to it (a row stored again has moved to
  // another slot), is no longer cached. A slot is referred to by one row at most.
  int16_t previous = s.cache.row_of_slot[chosen];
  if (previous >= 0 && s.cache.slot_of_row[previous] == chosen)
    s.cache.slot_of_row[previous] = kNotCached;
  s.cache.slot_of_row[s.plan.delivered_row] = uint8_t(chosen);
  s.cache.row_of_slot[chosen] = s.plan.delivered_row;
  std::memcpy(s.cache.cache_data + int64_t(chosen) * s.host.row_bytes, s.plan.current_row,
              size_t(s.host.row_bytes));
}

const uint8_t* row_cache_lookup(int32_t offset, int32_t row) {
  const ModuleState& s = module_state;
  uint8_t slot = s.cache.slot_of_row[row];
  if (slot == kNotCached) return nullptr;
  return s.cache.cache_data + int64_t(slot) * s.host.row_bytes + offset;
}
