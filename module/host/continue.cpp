// The Continue driver: samples the selection mask, gathers the working image, runs the
// dialog phase, then writes one full-resolution output row per call, asking the host for
// any source row that is not at hand and starting the row again when it arrives.
#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/outline/outline.h"
#include "module/ui/ui.h"

namespace {

const filter_api::Rect kEmpty{0, 0, 0, 0};

// Everything after the working image is complete: the dialog, then the final pass's setup.
// Returns false when the run ends here (cancelled, or no memory for the row cache).
bool dialog_phase() {
  ModuleState& s = module_state;
  s.preview_pixels = static_cast<uint8_t*>(block_lock(s.preview_block));
  if (s.mask_block != kNotNeeded) {
    s.mask_guard = static_cast<uint8_t*>(block_lock(s.mask_block));
    s.mask_bits = s.mask_guard + s.mask_row_bytes;
    s.outline_bits = static_cast<uint8_t*>(block_lock(s.outline_block));
    s.mask_saved = static_cast<uint8_t*>(block_lock(s.mask_saved_block));
  }
  run_dialog();
  release_all();
  if (s.result_code != 0) return false;
  if (row_cache_allocate() != 0) return false;
  s.current_row = nullptr;
  return true;
}

// One attempt at output row out_row. Returns false when a source row had to be requested.
bool final_row() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  if (s.decimation == 1) {
    // The whole filter area is delivered on every call.
    s.work_row_bytes = host->inRowBytes;
    s.image_base = static_cast<const uint8_t*>(host->inData);
    s.current_row = s.image_base + int64_t(s.out_row) * s.work_row_bytes;
  }
  if (s.continue_state < 0) {
    // The requested row has arrived: file it, ask for the output row's own row again, and
    // read every source row from the cache.
    s.delivered_row = int16_t(host->inRect.top - host->filterRect.top);
    row_cache_store();
    host->inRect = host->outRect;
    s.current_row = nullptr;
  }
  ParameterRecord record = read_record();
  report_progress(s.out_row, s.filter_height);
  load_settings(&record);
  s.origin_h = record.center_h;
  s.origin_v = record.center_v;
  derive_geometry(s.image_step);

  // Half a pixel into each pixel, like the previews, whatever the dialog left behind.
  s.pos_v = int32_t(uint32_t(uint16_t(s.out_row)) << 16) | 0x8000;
  s.pos_h = 0x8000;
  auto* destination = static_cast<uint8_t*>(host->outData);
  for (int16_t column = 0; column < s.filter_width; ++column) {
    s.pos_h = int32_t(uint32_t(uint16_t(column)) << 16) | 0x8000;
    int16_t missing = composite_pixel(destination);
    if (missing >= 0) {
      row_cache_store();
      host->inRect.top = int16_t(host->filterRect.top + missing);
      host->inRect.bottom = int16_t(host->inRect.top + 1);
      s.continue_state = -1;
      return false;
    }
    destination += s.bytes_per_pixel;
  }
  host->outRect.top = int16_t(host->outRect.top + 1);
  host->outRect.bottom = int16_t(host->outRect.top + 1);
  return true;
}

}  // namespace

void continue_filter() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  if (!s.run_active) {
    // After a failure, a cancel or the end of the run: nothing more to ask for.
    host->inRect = host->outRect = host->maskRect = kEmpty;
    return;
  }
  if (s.mask_rows_built < s.preview_height) {
    sample_mask_row();
    return;
  }
  s.current_row = static_cast<const uint8_t*>(host->inData);
  s.image_base = s.current_row;
  s.out_row = int16_t(host->outRect.top - host->filterRect.top);
  s.delivered_row = s.out_row;

  if (s.continue_state > 0) {
    if (s.decimation > 1) {
      s.image_base = static_cast<const uint8_t*>(block_lock(s.image_copy));
      copy_reduced_row();
      host->inRect.top = int16_t(host->inRect.top + s.decimation);
      host->inRect.bottom = int16_t(host->inRect.top + 1);
    } else {
      s.work_row_bytes = host->inRowBytes;
    }
    s.rows_collected = int16_t(s.rows_collected + 1);
    if (s.rows_collected < s.work_height) {
      block_unlock(s.image_copy);
      return;
    }
    if (!dialog_phase()) {
      s.run_active = false;
      return;
    }
  } else if (!final_row()) {
    return;
  }

  if (s.decimation > 1) {
    row_cache_store();
    host->inRect = host->outRect;
  }
  if (host->outRect.top >= host->filterRect.bottom) {
    // The last row is written: the run is complete, and everything is given back now, since
    // some hosts never call Finish after a successful run.
    host->inRect = host->outRect = kEmpty;
    host->maskRect = kEmpty;
    release_all();
    s.run_active = false;
  }
  s.continue_state = 0;
}

void copy_reduced_row() {
  ModuleState& s = module_state;
  const uint8_t* source = s.current_row;
  auto* destination =
      const_cast<uint8_t*>(s.image_base) + int64_t(s.rows_collected) * s.work_row_bytes;
  for (int16_t i = 0; i < s.work_width; ++i) {
    for (int16_t b = 0; b < s.bytes_per_pixel; ++b) *destination++ = *source++;
    source += s.pixel_skip;
  }
}

void report_progress(int32_t done, int32_t total) {
  filter_api::FilterRecord* host = module_state.filter_record;
  if (host->progressProc != nullptr) host->progressProc(done, total);
}
