// The row cache: full-resolution source rows that the host delivered during the final pass
// of a reduced image, filed by filter-area row so the compositor can read displaced samples.
#include "module/host/host.h"

const uint8_t* row_cache_lookup(int32_t offset, int32_t row) {
  const ModuleState& s = module_state;
  uint8_t slot = s.slot_of_row[row];
  if (slot == 255) return nullptr;
  return s.cache_data + int64_t(slot) * s.row_bytes + offset;
}
