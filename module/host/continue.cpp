// The Continue driver: samples the selection mask, gathers the working image, runs the
// dialog phase, then writes one full-resolution output row per call, asking the host for
// any source row that is not at hand and starting the row again when it arrives.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/outline/outline.h"
#include "module/scripting/scripting.h"
#include "module/ui/ui.h"

namespace {

const filter_api::Rect kEmpty{0, 0, 0, 0};

// The most output bytes asked for in one call when the whole area is delivered.
constexpr int64_t kBandBytes = 8 << 20;

// What one call of the final pass came to.
enum class PassStep {
  kWritten,      // its rows are written
  kAwaitingRow,  // a source row is asked for; the output row is started again when it comes
  kStopped,      // the user asked to stop (abortProc): nothing more is written
};

// Whether the host's abortProc, when it offers one, says the user asked to stop.
bool stop_requested() {
  const filter_api::FilterRecord* host = module_state.host.filter_record;
  return host->abortProc != nullptr && host->abortProc() != 0;
}

// The run ends before its last row (the dialog cancelled, no memory for the row cache, or the
// user stopping the final pass): everything is given back and nothing more is asked for.
void end_run_early() {
  ModuleState& s = module_state;
  release_all();
  s.plan.run_active = false;
  end_requests();
}

void begin_final_pass();

// Everything after the working image is complete: the dialog, then the final pass's setup.
// Returns false when the run ends here (cancelled, or no memory for the row cache).
bool dialog_phase() {
  ModuleState& s = module_state;
  s.plan.preview_pixels = static_cast<uint8_t*>(block_lock(s.plan.preview_block));
  if (s.plan.mask_block != kNotNeeded) {
    lock_selection(s.plan.mask_block, s.plan.outline_block, s.plan.mask_saved_block);
  }
  if (!run_dialog()) s.host.result_code = 1;
  release_all();
  if (s.host.result_code != 0) return false;
  if (row_cache_allocate() != 0) return false;
  s.plan.current_row = nullptr;
  begin_final_pass();
  return true;
}

// The source rows of the final pass: the host's buffer when it holds the whole area, else the
// delivered row or the row cache. Null for a row not at hand.
const uint8_t* final_source_row(int32_t row) {
  const ModuleState& s = module_state;
  if (s.plan.decimation == 1) return s.plan.image_base + int64_t(row) * s.plan.work_row_bytes;
  if (row == s.plan.out_row && s.plan.current_row != nullptr) return s.plan.current_row;
  return row_cache_lookup(0, row);
}

// Output row out_row at destination. Returns false, having asked the host for the first source
// row that is missing, when the row cannot be rendered in this call.
bool render_final_row(uint8_t* destination) {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  RowPlan plan;
  plan_row(s.plan.final_effect, s.plan.final_frame,
           int32_t(uint32_t(uint16_t(s.plan.out_row)) << 16) | 0x8000, 0x8000, 0x10000,
           s.host.filter_width, &plan);
  const uint8_t* rows[kMaxSourceRows];
  for (int32_t i = 0; i < plan.row_count; ++i) {
    rows[i] = final_source_row(plan.rows[i]);
    if (rows[i] == nullptr) {
      // The output row's own source row goes into the cache before the request (it is not
      // delivered again while this row waits).
      row_cache_store();
      host->inRect.top = int16_t(host->filterRect.top + plan.rows[i]);
      host->inRect.bottom = int16_t(host->inRect.top + 1);
      s.plan.continue_phase = ContinuePhase::kAwaitingRow;
      return false;
    }
  }
  render_row(s.plan.final_effect, s.plan.final_frame, plan, rows, destination);
  return true;
}

// One call of the final pass: a band of output rows when the whole area is delivered, else
// one row, or the request of a source row it still needs. abortProc is asked before every
// output row, so a row is written whole or not at all and none follows the user's stop.
PassStep final_rows() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  if (s.plan.decimation == 1) {
    s.plan.work_row_bytes = host->inRowBytes;
    s.plan.image_base = static_cast<const uint8_t*>(host->inData);
  }
  if (s.plan.continue_phase == ContinuePhase::kAwaitingRow) {
    // The requested row has arrived: file it, ask for the output row's own row again, and
    // read every source row from the cache.
    s.plan.delivered_row = int16_t(host->inRect.top - host->filterRect.top);
    row_cache_store();
    host->inRect = host->outRect;
    s.plan.current_row = nullptr;
  }
  report_progress(s.plan.out_row, s.host.filter_height);
  auto* destination = static_cast<uint8_t*>(host->outData);
  const int16_t last = int16_t(host->outRect.bottom - host->filterRect.top);
  for (; s.plan.out_row < last; s.plan.out_row = int16_t(s.plan.out_row + 1)) {
    if (stop_requested()) return PassStep::kStopped;
    if (!render_final_row(destination)) return PassStep::kAwaitingRow;
    destination += host->outRowBytes;
  }
  host->outRect.top = host->outRect.bottom;
  host->outRect.bottom =
      int16_t(std::min<int32_t>(host->outRect.top + s.plan.band_rows, host->filterRect.bottom));
  return PassStep::kWritten;
}

// The final pass's geometry, from the stored record, once per run; and the first output band.
void begin_final_pass() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  ParameterRecord record = read_record();
  const EffectSettings settings = played_settings(settings_from_record(record));
  s.plan.final_effect = derive_geometry(settings, s.preview.preview_extent, s.preview.image_step);
  s.plan.final_frame = EffectFrame{record.center_h, record.center_v, s.host.filter_width,
                                   s.host.filter_height, s.host.bytes_per_pixel};
  // With the whole area at hand each call writes a band of rows, keeping the host's output
  // buffer near kBandBytes; a reduced image is rendered a row at a time, as its rows arrive.
  s.plan.band_rows = 1;
  if (s.plan.decimation == 1)
    s.plan.band_rows = int16_t(std::clamp<int64_t>(
        kBandBytes / std::max<int32_t>(s.host.row_bytes, 1), 1, s.host.filter_height));
  host->outRect.bottom =
      int16_t(std::min<int32_t>(host->outRect.top + s.plan.band_rows, host->filterRect.bottom));
}

}  // namespace

void continue_filter() {
  ModuleState& s = module_state;
  filter_api::FilterRecord* host = s.host.filter_record;
  if (!s.plan.run_active) {
    // After a failure, a cancel or the end of the run: nothing more to ask for.
    end_requests();
    return;
  }
  if (s.selection.mask_rows_built < s.preview.preview_height) {
    sample_mask_row();
    // The input is asked for only once the mask is sampled, so that a host that copies every
    // requested rectangle does not copy the image on each mask call.
    if (s.selection.mask_rows_built >= s.preview.preview_height) host->inRect = s.plan.first_input;
    return;
  }
  s.plan.current_row = static_cast<const uint8_t*>(host->inData);
  s.plan.image_base = s.plan.current_row;
  s.plan.out_row = int16_t(host->outRect.top - host->filterRect.top);
  s.plan.delivered_row = s.plan.out_row;

  if (s.plan.continue_phase == ContinuePhase::kCollecting) {
    if (s.plan.decimation > 1) {
      s.plan.image_base = static_cast<const uint8_t*>(block_lock(s.plan.image_copy));
      copy_reduced_row();
      host->inRect.top = int16_t(host->inRect.top + s.plan.decimation);
      host->inRect.bottom = int16_t(host->inRect.top + 1);
    } else {
      s.plan.work_row_bytes = host->inRowBytes;
    }
    s.plan.rows_collected = int16_t(s.plan.rows_collected + 1);
    if (s.plan.rows_collected < s.plan.work_height) {
      block_unlock(s.plan.image_copy);
      return;
    }
    if (!dialog_phase()) {
      end_run_early();
      return;
    }
  } else {
    const PassStep step = final_rows();
    if (step == PassStep::kStopped) {
      s.host.result_code = filter_api::userCanceledErr;
      end_run_early();
      return;
    }
    if (step == PassStep::kAwaitingRow) return;
  }

  if (s.plan.decimation > 1) {
    row_cache_store();
    host->inRect = host->outRect;
  }
  if (host->outRect.top >= host->filterRect.bottom) {
    // The last row is written: the run is complete, and everything is given back now, since
    // some hosts never call Finish after a successful run. A scripting host gets the run's
    // settings to record.
    end_requests();
    release_all();
    s.plan.run_active = false;
    record_run_settings();
  }
  s.plan.continue_phase = ContinuePhase::kFiltering;
}

void end_requests() {
  filter_api::FilterRecord* host = module_state.host.filter_record;
  host->inRect = host->outRect = host->maskRect = kEmpty;
}

void copy_reduced_row() {
  ModuleState& s = module_state;
  const uint8_t* source = s.plan.current_row;
  auto* destination = const_cast<uint8_t*>(s.plan.image_base) +
                      int64_t(s.plan.rows_collected) * s.plan.work_row_bytes;
  const int32_t bytes = s.host.bytes_per_pixel;
  const int32_t stride = int32_t(s.plan.decimation) * bytes;
  auto copy = [&](auto pixel_bytes) {
    for (int16_t i = 0; i < s.plan.work_width; ++i, source += stride, destination += pixel_bytes)
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
      for (int16_t i = 0; i < s.plan.work_width; ++i, source += stride - bytes)
        for (int32_t b = 0; b < bytes; ++b) *destination++ = *source++;
  }
}

void report_progress(int32_t done, int32_t total) {
  filter_api::FilterRecord* host = module_state.host.filter_record;
  if (host->progressProc != nullptr) host->progressProc(done, total);
}
