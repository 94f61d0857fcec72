// The host protocol subsystem: the entry point's selector handlers, the parameter record,
// the memory-block routines every part uses, warnings, and the row cache.
#pragma once

#include <windows.h>

#include <cstdint>

#include "filter_api/filter_api.h"
#include "module/engine/engine.h"
#include "module/host/parameter_record.h"

// The current host call (host/entry): the records the host handed over, the result word and
// what Prepare learnt of the image. Written by the entry point and the selector handlers.
struct HostCallState {
  filter_api::FilterRecord* filter_record;  // host record of the current call (selectors 1..5)
  filter_api::AboutRecord* about_record;    // host record of the current About call
  int16_t result_code;                      // status of the current call, written to *result
  HINSTANCE module_instance;                // our library's instance handle
  int16_t bytes_per_pixel;                  // 1, 3 or 4 interleaved bytes per pixel
  int16_t filter_width;                     // filterRect width, pixels
  int16_t filter_height;                    // filterRect height, pixels
  int32_t row_bytes;                        // filter_width * bytes_per_pixel
  int32_t record_bytes_made;                // bytes of a parameter record this Start made, else 0
  uint32_t block_alloc_calls;               // block_alloc calls since load (test seam)
  uint32_t block_alloc_fail_at;  // 0, or the block_alloc call number that fails (test seam)
  uint32_t gdi_create_calls;     // bitmap and memory DC creations since load (test seam)
  uint32_t gdi_create_fail_at;   // 0, or the creation number that fails (test seam)
};

// Where the Continue driver is in a run: gathering the working image's rows, filtering (the
// dialog has been shown, or was not asked for), or waiting for a source row it requested.
enum class ContinuePhase : int16_t { kAwaitingRow = -1, kFiltering = 0, kCollecting = 1 };

// Start's plan and the Continue driver (host/start, host/continue): the working image, every
// block and GDI object of the run, and the final pass.
struct RunPlanState {
  int16_t decimation;            // 1..5: the working image keeps every decimation-th pixel and row
  int16_t work_width;            // working image width, pixels
  int16_t work_height;           // working image height, pixels
  int32_t work_row_bytes;        // working image stride, bytes
  int16_t rows_collected;        // working-image rows gathered so far
  ContinuePhase continue_phase;  // what the next Continue call does
  int16_t out_row;               // output row of this call, filter-area rows
  int16_t delivered_row;         // filter-area row whose data the host delivered in this call
  int16_t pixel_skip;          // (decimation - 1) * bytes_per_pixel: bytes skipped per copied pixel
  int16_t view_width;          // client width of the big preview control, as measured
  int16_t view_height;         // client height of the big preview control
  bool classes_registered;     // the two preview window classes are registered
  bool run_active;             // a planned run is under way (Start succeeded, not yet ended)
  HGLOBAL image_copy;          // reduced working image; kNotNeeded with the whole area in memory
  HGLOBAL preview_block;       // preview_pixels' block
  HGLOBAL dib_block;           // the screen output's bitmap block; null when the host draws
  HGLOBAL mask_block;          // guard row, mask rows, guard row; kNotNeeded without a selection
  HGLOBAL outline_block;       // outline_bits' block (selection only)
  HGLOBAL mask_saved_block;    // mask_saved's block (selection only)
  HGLOBAL cache_block;         // the row cache's block, locked through the final pass
  HBITMAP marker_bitmap;       // 16 x 8 monochrome centre marker
  HBITMAP mask_bitmap;         // monochrome outline bitmap (selection only)
  HDC mask_dc;                 // memory DC holding mask_bitmap
  uint8_t* preview_pixels;     // locked preview_block: four preview rows, or the marker block
  const uint8_t* current_row;  // the delivered row of this call, or null once it is filed
  const uint8_t* image_base;   // the working image: the host's inData or image_copy
  filter_api::Rect first_input;  // the first input request, held back while the mask is sampled
  // The final pass: its geometry and frame, fixed once per run from the stored record, and
  // the output rows written per call (bands when the whole area is delivered).
  EffectGeometry final_effect;
  EffectFrame final_frame;
  int16_t band_rows;
};

// The row cache (host/row_cache), present through the final pass of a reduced image.
struct RowCacheState {
  int16_t cache_active;      // 1: rows other than the current one come from the cache
  int16_t cache_slots;       // slots in the cache, 35..255
  uint8_t stamp_clock;       // fill counter, wraps
  uint8_t* slot_of_row;      // filter_height bytes: slot of each row, 255 = not cached
  uint8_t* slot_stamp;       // cache_slots bytes: stamp_clock when each slot was filled
  uint8_t* cache_data;       // cache_slots rows of row_bytes bytes
  int16_t row_of_slot[255];  // the row each slot was last filled with (it may have moved since)
};

// A block handle that stands for "not needed" (the working image is the host's buffer, or
// there is no selection), as opposed to null for "allocation failed".
inline HGLOBAL const kNotNeeded = reinterpret_cast<HGLOBAL>(intptr_t{-1});

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
// Makes a record of the defaults when the host has none the module can read; result_code
// -108 when it cannot be allocated or does not fit maxSpace.
void create_parameter_record();
void prepare_filter();
void show_warning(const char* text);  // "Warning" box owned by the host's window

// The host's window from the current record's platformData, or null.
HWND host_window();

// --- parameter record (host/parameter_record; the record itself: parameter_record.h) ---

// Address of byte `offset` of cached filter-area row `row`, or null when not cached.
const uint8_t* row_cache_lookup(int32_t offset, int32_t row);

// The host's parameters handle, or null when there is none.
HGLOBAL record_handle();
// How the stored record can be read: a global block of at least 20 bytes (as the module makes
// it), through the host's handle procedures (a handle of the host's own heap), or not at all.
enum class RecordAccess { kNone, kGlobal, kHostProcs };
RecordAccess record_access();
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
// output row (a band with the whole area delivered) of the final pass. When the host's
// abortProc says the user asked to stop, the final pass writes no further row, everything
// is released and result_code is -128 (userCanceledErr).
void continue_filter();
// Empties inRect, outRect and maskRect: the module asks the host for nothing more. Every run
// that ends, completed, cancelled or failed, leaves the rectangles so.
void end_requests();
// Copies the delivered row, every decimation-th pixel, into row rows_collected of image_copy.
void copy_reduced_row();
// The host's progress callback, when it offers one.
void report_progress(int32_t done, int32_t total);
// Frees every block and GDI object the run holds and unregisters the window classes; safe to
// call any number of times.
void release_all();

// The stored record's values, or the defaults when there is no usable record.
ParameterRecord read_record();

// Frees the row cache's block, when there is one, and forgets the cache.
void row_cache_release();
// The least the final pass of a reduced image takes: the smallest cache, the reserve held
// while its size is tried, and the stored record. Start plans a reduced image only when this
// fits maxSpace.
int64_t row_cache_least_bytes();
// Allocates the row cache for a reduced image's final pass (nothing with decimation 1).
// Returns 0, or 1 after a failure (everything released, result_code -108).
int16_t row_cache_allocate();
// Files the row at current_row under delivered_row; nothing when current_row is null.
void row_cache_store();
