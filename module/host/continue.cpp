// The Continue driver: samples the selection mask, gathers the working image, runs the
// dialog phase, then writes one full-resolution output row per call, asking the host for
// any source row that is not at hand and starting the row again when it arrives.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/outline/outline.h"
#include "module/ui/ui.h"

namespace {

const filter_api::Rect kEmpty{0, 0, 0, 0};

// The most output bytes asked for in one call when the whole area is delivered.
constexpr int64_t kBandBytes = 8 << 20;

void begin_final_pass();

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
  begin_final_pass();
  return true;
}

// The source rows of the final pass: the host's buffer when it holds the whole area, else the
// delivered row or the row cache. Null for a row not at hand.
const uint8_t* final_source_row(int32_t row) {
  const ModuleState& s = module_state;
  if (s.decimation == 1) return s.image_base + int64_t(row) * s.work_row_bytes;
  if (row == s.out_row && s.current_row != nullptr) return s.current_row;
  return row_cache_lookup(0, row);
}

// Output row out_row at destination. Returns false, having asked the host for the first source
// row that is missing, when the row cannot be rendered in this call.
bool render_final_row(uint8_t* destination) {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  RowPlan plan;
  plan_row(s.final_effect, s.final_frame, int32_t(uint32_t(uint16_t(s.out_row)) << 16) | 0x8000,
           0x8000, 0x10000, s.filter_width, &plan);
  const uint8_t* rows[kMaxSourceRows];
  for (int32_t i = 0; i < plan.row_count; ++i) {
    rows[i] = final_source_row(plan.rows[i]);
    if (rows[i] == nullptr) {
      // The output row's own source row goes into the cache before the request (it is not
      // delivered again while this row waits).
      row_cache_store();
      host->inRect.top = int16_t(host->filterRect.top + plan.rows[i]);
      host->inRect.bottom = int16_t(host->inRect.top + 1);
      s.continue_state = -1;
      return false;
    }
  }
  render_row(s.final_effect, s.final_frame, plan, rows, destination);
  return true;
}

// One call of the final pass: a band of output rows when the whole area is delivered, else
// one row, or the request of a source row it still needs.
bool final_rows() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  if (s.decimation == 1) {
    s.work_row_bytes = host->inRowBytes;
    s.image_base = static_cast<const uint8_t*>(host->inData);
  }
  if (s.continue_state < 0) {
    // The requested row has arrived: file it, ask for the output row's own row again, and
    // read every source row from the cache.
    s.delivered_row = int16_t(host->inRect.top - host->filterRect.top);
    row_cache_store();
    host->inRect = host->outRect;
    s.current_row = nullptr;
  }
  report_progress(s.out_row, s.filter_height);
  auto* destination = static_cast<uint8_t*>(host->outData);
  const int16_t last = int16_t(host->outRect.bottom - host->filterRect.top);
  for (; s.out_row < last; s.out_row = int16_t(s.out_row + 1)) {
    if (!render_final_row(destination)) return false;
    destination += host->outRowBytes;
  }
  host->outRect.top = host->outRect.bottom;
  host->outRect.bottom =
      int16_t(std::min<int32_t>(host->outRect.top + s.band_rows, host->filterRect.bottom));
  return true;
}

// The final pass's geometry, from the stored record, once per run; and the first output band.
void begin_final_pass() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.filter_record;
  ParameterRecord record = read_record();
  load_settings(&record);
  const EffectSettings settings{s.regions, s.intensity, s.angle, s.spacing, s.mode, s.fade};
  s.final_effect = derive_geometry(settings, s.preview_extent, s.image_step);
  s.final_frame = EffectFrame{record.center_h, record.center_v, s.filter_width, s.filter_height,
                              s.bytes_per_pixel};
  // With the whole area at hand each call writes a band of rows, keeping the host's output
  // buffer near kBandBytes; a reduced image is rendered a row at a time, as its rows arrive.
  s.band_rows = 1;
  if (s.decimation == 1)
    s.band_rows = int16_t(
        std::clamp<int64_t>(kBandBytes / std::max<int32_t>(s.row_bytes, 1), 1, s.filter_height));
  host->outRect.bottom =
      int16_t(std::min<int32_t>(host->outRect.top + s.band_rows, host->filterRect.bottom));
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
    // The input is asked for only once the mask is sampled, so that a host that copies every
    // requested rectangle does not copy the image on each mask call.
    if (s.mask_rows_built >= s.preview_height) host->inRect = s.first_input;
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
  } else if (!final_rows()) {
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
  const int32_t bytes = s.bytes_per_pixel;
  const int32_t stride = int32_t(s.decimation) * bytes;
  auto copy = [&](auto pixel_bytes) {
    for (int16_t i = 0; i < s.work_width; ++i, source += stride, destination += pixel_bytes)
      std::memcpy(destination, source, pixel_bytes);
  };
  switch (bytes) {
    case 1:
      copy(std::integral_constant<size_t, 1>());
      break;
    case 3:
      copy(std::integral_constant<size_t, 3>());
      break;
    case 4:
      copy(std::integral_constant<size_t, 4>());
      break;
    default:
      for (int16_t i = 0; i < s.work_width; ++i, source += stride - bytes)
        for (int32_t b = 0; b < bytes; ++b) *destination++ = *source++;
  }
}

void report_progress(int32_t done, int32_t total) {
  filter_api::FilterRecord* host = module_state.filter_record;
  if (host->progressProc != nullptr) host->progressProc(done, total);
}
