// What tests and the host can observe and steer in headless_win32, beside the Win32 calls
// themselves: memory accounting and fault injection, recorded message boxes and beeps,
// and the resources of the main program.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace headless {

// --- memory blocks ---
struct MemoryStats {
  std::size_t live_bytes = 0;     // bytes in blocks not yet freed
  std::size_t peak_bytes = 0;     // most live bytes since the last reset
  std::size_t live_blocks = 0;    // blocks not yet freed
  std::size_t allocations = 0;    // successful GlobalAlloc calls since the last reset
  std::size_t failed_allocations = 0;
  std::size_t invalid_calls = 0;  // lock, unlock, free or size of an unknown handle
};
MemoryStats memory_stats();
// Starts counting afresh from the blocks alive now (peak = live) and lifts fault injection.
void reset_memory_stats();
// The n-th GlobalAlloc from now fails (1: the next one); 0 switches this off.
void fail_allocation(unsigned n);
// Any GlobalAlloc that would take the live bytes past limit fails; 0 switches this off.
void set_byte_limit(std::size_t limit);
// Lock count of a live block, or -1 for an unknown handle.
int lock_count(HGLOBAL block);

// --- message boxes and beeps ---
struct MessageBoxCall {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
std::vector<MessageBoxCall> message_boxes();
std::vector<UINT> beeps();
void clear_records();

// --- modules ---
// Gives the main program a resource section (the bytes of a .res file), so that
// GetModuleHandleA(nullptr) finds resources as it does on Windows.
void set_main_resources(const unsigned char* res_bytes, std::size_t size);
// Why the last LoadLibraryA failed, in words.
std::string last_library_error();

}  // namespace headless

// Every module built for headless_win32 carries its compiled .res under these names.
extern "C" const unsigned char headless_resources[];
extern "C" const std::size_t headless_resources_size;
