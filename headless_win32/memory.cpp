// KERNEL32 global memory blocks: movable blocks with lock counts, accounting of live and
// peak bytes, and fault injection for tests.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "headless_win32/headless.h"
#include "headless_win32/internal.h"

namespace {

struct Block {
  std::unique_ptr<unsigned char[]> data;
  std::size_t size = 0;
  int locks = 0;
};

struct Memory {
  std::mutex mutex;
  std::map<HGLOBAL, Block> blocks;  // keyed by handle
  headless::MemoryStats stats;
  unsigned fail_countdown = 0;
  std::size_t byte_limit = 0;
  uintptr_t next_handle = 0x10000;  // movable handles are opaque numbers, never addresses
};

Memory& memory() {
  static Memory& m = *new Memory;  // never destroyed: blocks may be freed during exit
  return m;
}

}  // namespace

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  bool fail = false;
  if (m.fail_countdown > 0 && --m.fail_countdown == 0) fail = true;
  if (m.byte_limit != 0 && m.stats.live_bytes + bytes > m.byte_limit) fail = true;
  if (fail) {
    ++m.stats.failed_allocations;
    headless_detail::set_last_error(8);  // ERROR_NOT_ENOUGH_MEMORY
    return nullptr;
  }
  Block block;
  block.size = bytes;
  block.data.reset(new unsigned char[bytes == 0 ? 1 : bytes]);
  // Without GMEM_ZEROINIT Windows leaves old contents; a pattern makes reliance on zero show.
  std::memset(block.data.get(), (flags & GMEM_ZEROINIT) ? 0 : 0xCD, bytes == 0 ? 1 : bytes);
  HGLOBAL handle;
  if (flags & GMEM_MOVEABLE) {
    handle = reinterpret_cast<HGLOBAL>(m.next_handle);
    m.next_handle += 8;
  } else {
    handle = block.data.get();  // a fixed block's handle is its address
  }
  m.blocks.emplace(handle, std::move(block));
  m.stats.live_bytes += bytes;
  ++m.stats.live_blocks;
  ++m.stats.allocations;
  if (m.stats.live_bytes > m.stats.peak_bytes) m.stats.peak_bytes = m.stats.live_bytes;
  return handle;
}

LPVOID GlobalLock(HGLOBAL mem) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.blocks.find(mem);
  if (it == m.blocks.end()) {
    ++m.stats.invalid_calls;
    headless_detail::set_last_error(6);  // ERROR_INVALID_HANDLE
    return nullptr;
  }
  if (it->second.size == 0) return nullptr;  // a zero-sized movable block has no memory
  ++it->second.locks;
  return it->second.data.get();
}

BOOL GlobalUnlock(HGLOBAL mem) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.blocks.find(mem);
  if (it == m.blocks.end()) {
    ++m.stats.invalid_calls;
    headless_detail::set_last_error(6);
    return FALSE;
  }
  if (it->second.locks == 0) {
    headless_detail::set_last_error(158);  // ERROR_NOT_LOCKED: harmless, as on Windows
    return FALSE;
  }
  --it->second.locks;
  return it->second.locks > 0 ? TRUE : FALSE;
}

HGLOBAL GlobalFree(HGLOBAL mem) {
  if (mem == nullptr) return nullptr;
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.blocks.find(mem);
  if (it == m.blocks.end()) {
    ++m.stats.invalid_calls;  // freed twice, or never ours
    headless_detail::set_last_error(6);
    return mem;
  }
  m.stats.live_bytes -= it->second.size;
  --m.stats.live_blocks;
  m.blocks.erase(it);
  return nullptr;
}

SIZE_T GlobalSize(HGLOBAL mem) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.blocks.find(mem);
  if (it == m.blocks.end()) {
    ++m.stats.invalid_calls;
    return 0;
  }
  return it->second.size;
}

namespace headless {

MemoryStats memory_stats() {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.stats;
}

void reset_memory_stats() {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.stats.peak_bytes = m.stats.live_bytes;
  m.stats.allocations = 0;
  m.stats.failed_allocations = 0;
  m.stats.invalid_calls = 0;
  m.fail_countdown = 0;
  m.byte_limit = 0;
}

void fail_allocation(unsigned n) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.fail_countdown = n;
}

void set_byte_limit(std::size_t limit) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.byte_limit = limit;
}

int lock_count(HGLOBAL block) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.blocks.find(block);
  return it == m.blocks.end() ? -1 : it->second.locks;
}

}  // namespace headless
