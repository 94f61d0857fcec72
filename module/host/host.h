// The host protocol subsystem: the entry point's selector handlers, the parameter record,
// the memory-block routines every part uses, warnings, and the row cache.
#pragma once

#include <cstdint>

#include "module/module_state.h"

// --- exported entry and library entry routine ---
// The host's filter entry: selector, FilterRecord (AboutRecord for About), the host's data
// pointer (never used) and the result word, written on every call.
extern "C" void ENTRYPOINT1(int16_t selector, void* parameter_block, intptr_t* data,
                            int16_t* result);
// Keeps the instance handle at process attach; loads for every reason.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// --- memory blocks: movable, zero-initialised global memory ---
// Returns the handle, or null when the allocation failed. Callers test the handle.
HGLOBAL block_alloc(uint32_t size);
void* block_lock(HGLOBAL handle);
void block_unlock(HGLOBAL handle);
void block_free(HGLOBAL handle);

// GDI object creation, through one place so that tests can count and fail it.
HBITMAP create_bitmap(int32_t width, int32_t height, const void* bits);  // monochrome
HDC create_compatible_dc(HDC dc);

// --- selector handlers (host/entry) ---
void show_about();
void set_show_dialog(uint8_t value);  // stores into an existing record only
int32_t get_show_dialog();            // 1 when there is no record
void create_parameter_record();       // defaults; result_code -108 when allocation fails
void prepare_filter();
void show_warning(const char* text);  // "Warning" box owned by the host's window

// The host's window from the current record's platformData, or null.
HWND host_window();

// --- parameter record (host/parameter_record) ---
// Writes the defaults into a record: centre 0/0, regions 8, intensity 100, angle 50,
// spacing 50, mode 0, fade 0, show_dialog 1.
void fill_default_record(ParameterRecord* record);
// Loads the six settings from a stored record into the module state, each clamped into its
// range (a record written by another version or damaged on disk never reaches the engine
// out of range).
void load_settings(const ParameterRecord* record);

// Address of byte `offset` of cached filter-area row `row`, or null when not cached.
const uint8_t* row_cache_lookup(int32_t offset, int32_t row);

// The host's parameters handle, or null when there is none.
HGLOBAL record_handle();
// Locks the stored record; null when there is none or the handle is not a usable block of
// at least 20 bytes. Pair a non-null result with unlock_record().
ParameterRecord* lock_record();
void unlock_record();

// --- Start, Continue, Finish (host/start, host/continue) ---
// Start, first step: the window classes and the parameter record.
void start_setup();
// Start, second step: measure the preview, plan memory, allocate, set the first requests.
// On failure everything is released and result_code is -108 (or 1 after a message).
void start_filter();
// One Continue call: mask sampling, gathering the working image, the dialog phase, or one
// output row of the final pass.
void continue_filter();
// Copies the delivered row, every decimation-th pixel, into row rows_collected of image_copy.
void copy_reduced_row();
// The host's progress callback, when it offers one.
void report_progress(int32_t done, int32_t total);
// Frees every block and GDI object the run holds and unregisters the window classes; safe to
// call any number of times.
void release_all();

// The stored record's values, or the defaults when there is no usable record.
ParameterRecord read_record();

// Allocates the row cache for a reduced image's final pass (nothing with decimation 1).
// Returns 0, or 1 after a failure (everything released, result_code -108).
int16_t row_cache_allocate();
// Files the row at current_row under delivered_row; nothing when current_row is null.
void row_cache_store();
