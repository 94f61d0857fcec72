// The four memory-block routines every part of the module allocates through: movable,
// zero-initialised global memory. block_alloc is also the one place where tests can make an
// allocation fail on a countdown.
#include "module/host/host.h"
#include "module/module_state.h"

HGLOBAL block_alloc(uint32_t size) {
  ModuleState& s = module_state;
  ++s.host.block_alloc_calls;
  if (s.host.block_alloc_fail_at != 0 && s.host.block_alloc_calls == s.host.block_alloc_fail_at)
    return nullptr;
  return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
}

void* block_lock(HGLOBAL handle) { return GlobalLock(handle); }

void block_unlock(HGLOBAL handle) { GlobalUnlock(handle); }

void block_free(HGLOBAL handle) { GlobalFree(handle); }
