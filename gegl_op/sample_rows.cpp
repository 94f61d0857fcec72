// Output rows of the operation: 8-bit rows through the engine's row kernels with alpha kept,
// and rows at floating-point precision over the same row plans, with the one-pixel reference
// that the fast floating-point path is held to.
#include <cstring>
#include <type_traits>

#include "gegl_op/gegl_op.h"

namespace gegl_op {
namespace {

constexpr int32_t kChunk = 256;

// Alpha of every output pixel from its own source pixel.
template <typename T>
void restore_alpha(const T* own, int32_t count, int32_t channels, T* dst) {
  for (int32_t i = 0; i < count; ++i)
    dst[i * channels + channels - 1] = own[i * channels + channels - 1];
}

// Pixels first .. first + count - 1 of a row of `bound` pixels, folded into the row where
// they fall outside it: their address, inside the row itself when they lie there in order,
// else in scratch.
template <typename T, int32_t N>
const T* gather(const T* row, int64_t first, int32_t count, int32_t bound, T* scratch) {
  if (first >= 0 && first + count <= bound) return row + first * N;
  for (int32_t i = 0; i < count; ++i)
    std::memcpy(scratch + i * N, row + int64_t{mirror_index(first + i, bound)} * N, sizeof(T) * N);
  return scratch;
}

template <typename T, int32_t N>
void render_spans(const EffectGeometry& g, const EffectFrame& frame, const RowPlan& plan,
                  const T* const* rows, int32_t colour, T* dst) {
  T own_scratch[kChunk * N], sample_scratch[kChunk * N], acc[kChunk * N];
  const bool mixed = g.render_mode < 0;
  for (int32_t s = 0; s < plan.span_count; ++s) {
    const RowSpan& span = plan.spans[s];
    for (int32_t done = 0; done < span.count; done += kChunk) {
      const int32_t count = span.count - done < kChunk ? span.count - done : kChunk;
      const int64_t pos = plan.start_h + int64_t{span.first + done} * plan.step_h;
      T* out = dst + int64_t{span.first + done} * N;
      const T* own = gather<T, N>(rows[0], pos >> 16, count, frame.bound_h, own_scratch);
      if (span.steps == 0 || span.weight == 0) {
        std::memcpy(out, own, sizeof(T) * N * size_t(count));
        continue;
      }
      auto samples = [&](int32_t j) {
        return gather<T, N>(rows[plan.band_row[j]], (pos - j * g.shift_h) >> 16, count,
                            frame.bound_h, sample_scratch);
      };
      // ((256 - w) * own + w * echo) / 256, the 8-bit blend without its truncation.
      const T keep = T(256 - span.weight), take = T(span.weight), scale = T(1) / T(256);
      if (!mixed || span.steps == 1) {
        const T* sample = samples(span.steps);
        for (int32_t i = 0; i < count * N; i += N)
          for (int32_t c = 0; c < N; ++c)
            out[i + c] =
                c < colour ? (keep * own[i + c] + take * sample[i + c]) * scale : own[i + c];
        continue;
      }
      std::memcpy(acc, samples(1), sizeof(T) * N * size_t(count));
      for (int32_t j = 2; j <= span.steps; ++j) {
        const T* sample = samples(j);
        for (int32_t i = 0; i < count * N; ++i) acc[i] += sample[i];
      }
      const T steps = T(span.steps);
      for (int32_t i = 0; i < count * N; i += N)
        for (int32_t c = 0; c < N; ++c)
          out[i + c] =
              c < colour ? (keep * own[i + c] + take * (acc[i + c] / steps)) * scale : own[i + c];
    }
  }
}

}  // namespace

void render_row_u8(const Layout& layout, const RowPlan& plan, const uint8_t* const* rows,
                   int32_t channels, bool has_alpha, uint8_t* dst) {
  EffectFrame frame = layout.frame;
  frame.bytes_per_pixel = int16_t(channels);
  render_row(layout.geometry, frame, plan, rows, dst);
  // The kernels treat every byte alike; the alpha bytes they blended go back as they were.
  if (has_alpha)
    restore_alpha(rows[0] + (plan.start_h >> 16) * channels, plan.width, channels, dst);
}

template <typename T>
void render_row_samples(const Layout& layout, const RowPlan& plan, const T* const* rows,
                        int32_t channels, bool has_alpha, T* dst) {
  const int32_t colour = channels - (has_alpha ? 1 : 0);
  switch (channels) {
    case 1:
      render_spans<T, 1>(layout.geometry, layout.frame, plan, rows, colour, dst);
      break;
    case 2:
      render_spans<T, 2>(layout.geometry, layout.frame, plan, rows, colour, dst);
      break;
    case 3:
      render_spans<T, 3>(layout.geometry, layout.frame, plan, rows, colour, dst);
      break;
    case 4:
      render_spans<T, 4>(layout.geometry, layout.frame, plan, rows, colour, dst);
      break;
    default:
      render_spans<T, 5>(layout.geometry, layout.frame, plan, rows, colour, dst);
      break;
  }
}

template <typename T>
void reference_pixel_samples(const Layout& layout, const T* area, int32_t width, int32_t channels,
                             bool has_alpha, int32_t column, int32_t row, T* dst) {
  const EffectGeometry& g = layout.geometry;
  const EffectFrame& f = layout.frame;
  const int32_t colour = channels - (has_alpha ? 1 : 0);
  const T* own = area + (int64_t{row} * width + column) * channels;
  for (int32_t c = 0; c < channels; ++c) dst[c] = own[c];
  const int32_t pos_h = int32_t(uint32_t(column) << 16) | 0x8000;
  const int32_t pos_v = int32_t(uint32_t(row) << 16) | 0x8000;
  const int32_t dx = (pos_h >> 12) - int32_t{f.origin_h} * 16;
  const int32_t dy = (pos_v >> 12) - int32_t{f.origin_v} * 16;
  int64_t d = int64_t{g.dir_sin} * dy + int64_t{g.dir_cos} * dx - g.band_step;
  if (g.band_step <= 0 || d < 0 || d >= g.band_extent) return;
  if (g.render_mode > 0) {
    const int64_t e = int64_t{g.dir_cos} * dy - int64_t{g.dir_sin} * dx;
    if ((e < 0 ? -e : e) >= g.half_band) return;
  }
  T sum[8] = {};
  int32_t steps = 0;
  int64_t sample_h = pos_h, sample_v = pos_v;
  for (; d >= 0; ++steps) {
    sample_h -= g.shift_h;
    sample_v -= g.shift_v;
    d -= g.band_step;
    if (g.render_mode < 0 || d < 0) {
      const T* sample = area + (int64_t{mirror_index(sample_v >> 16, f.bound_v)} * width +
                                mirror_index(sample_h >> 16, f.bound_h)) *
                                   channels;
      for (int32_t c = 0; c < colour; ++c) sum[c] += sample[c];
    }
  }
  int32_t weight = g.blend_weight;
  if (g.render_fade != 0 && steps > 1) weight = (2 * weight) / (steps + 1);
  const T divisor = T(g.render_mode < 0 ? steps : 1);
  for (int32_t c = 0; c < colour; ++c)
    dst[c] = (T(256 - weight) * own[c] + T(weight) * (sum[c] / divisor)) * (T(1) / T(256));
}

template void render_row_samples<float>(const Layout&, const RowPlan&, const float* const*, int32_t,
                                        bool, float*);
template void render_row_samples<double>(const Layout&, const RowPlan&, const double* const*,
                                         int32_t, bool, double*);
template void reference_pixel_samples<float>(const Layout&, const float*, int32_t, int32_t, bool,
                                             int32_t, int32_t, float*);
template void reference_pixel_samples<double>(const Layout&, const double*, int32_t, int32_t, bool,
                                              int32_t, int32_t, double*);

}  // namespace gegl_op
