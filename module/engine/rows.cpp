// Row kernels: an output row is split into spans in which every pixel walks back the same
// number of bands, then each span is rendered over whole byte runs (copies, blends and the
// mixed average) from the source rows the caller hands in. Along a row the projections are
// monotone in the column, so every band edge is found by a binary search on exact values.
#include <cassert>
#include <cstring>
#include <type_traits>

#include "module/engine/engine.h"

namespace {

// Pixels rendered at a time through the stack buffers.
constexpr int32_t kChunk = 512;
constexpr int32_t kReciprocalShift = 19;

// The projections of one output row, evaluated exactly as the one-pixel function does.
struct RowLine {
  const EffectGeometry& g;
  const RowPlan& plan;
  int64_t along;   // dir_sin * dy - band_step
  int64_t across;  // dir_cos * dy
  int32_t origin;  // origin_h in 1/16 pixel

  int64_t dx(int32_t column) const {
    return ((plan.start_h + int64_t{column} * plan.step_h) >> 12) - origin;
  }
  int64_t d(int32_t column) const { return along + g.dir_cos * dx(column); }
  int64_t e(int32_t column) const { return across - g.dir_sin * dx(column); }

  // Bands walked back by the pixel at column: 0 when it stays as it is.
  int16_t steps(int32_t column) const {
    const int64_t value = d(column);
    if (g.band_step <= 0 || value < 0 || value >= g.band_extent) return 0;
    if (g.render_mode > 0) {
      const int64_t lateral = e(column);
      if ((lateral < 0 ? -lateral : lateral) >= g.half_band) return 0;
    }
    return static_cast<int16_t>(value / g.band_step + 1);
  }
};

// The first column in 1 .. width-1 where a predicate that is monotone along the row differs
// from its value at column 0, or 0 when it never does.
template <typename Predicate>
int32_t first_change(int32_t width, Predicate holds) {
  const bool at_start = holds(0);
  if (width < 2 || holds(width - 1) == at_start) return 0;
  int32_t same = 0, other = width - 1;
  while (other - same > 1) {
    const int32_t middle = same + (other - same) / 2;
    (holds(middle) == at_start ? same : other) = middle;
  }
  return other;
}

int16_t span_weight(const EffectGeometry& g, int16_t steps) {
  if (steps == 0) return 0;
  int32_t weight = g.blend_weight;
  if (g.render_fade != 0 && steps > 1) weight = (2 * weight) / (steps + 1);
  return static_cast<int16_t>(weight);
}

// Pixels of `row` at 16.16 columns pos + i * step, i = 0..count-1, folded into 0..bound-1.
// Returns the pixels' address: inside the row itself when they lie there in order, else in
// scratch.
template <int32_t B>
const uint8_t* gather(const uint8_t* row, int64_t pos, int32_t step, int32_t count, int32_t bound,
                      uint8_t* scratch) {
  const int64_t first = pos >> 16;
  const int64_t last = (pos + int64_t{count - 1} * step) >> 16;
  const bool inside = first >= 0 && last < bound;
  if (step == 65536) {
    if (inside) return row + first * B;
    // Unit steps fold into runs that go forwards or backwards through the row.
    const int64_t period = 2 * int64_t{bound} - 1;
    int64_t index = first;
    for (int32_t i = 0; i < count;) {
      int64_t folded = index % period;
      if (folded < 0) folded += period;
      if (folded < bound) {
        const int32_t run =
            static_cast<int32_t>(bound - folded < count - i ? bound - folded : count - i);
        std::memcpy(scratch + int64_t{i} * B, row + folded * B, size_t(run) * B);
        i += run;
        index += run;
      } else {
        const int64_t top = period - folded;
        const int32_t run =
            static_cast<int32_t>(period - folded < count - i ? period - folded : count - i);
        for (int32_t t = 0; t < run; ++t)
          std::memcpy(scratch + int64_t{i + t} * B, row + (top - t) * B, B);
        i += run;
        index += run;
      }
    }
    return scratch;
  }
  if (inside) {
    for (int32_t i = 0; i < count; ++i, pos += step)
      std::memcpy(scratch + i * B, row + (pos >> 16) * B, B);
  } else {
    for (int32_t i = 0; i < count; ++i, pos += step)
      std::memcpy(scratch + i * B, row + int64_t{mirror_index(pos >> 16, bound)} * B, B);
  }
  return scratch;
}

// dst = ((256 - w) * own + w * sample) >> 8 over n bytes; every sum fits 16 bits.
void blend_bytes(const uint8_t* own, const uint8_t* sample, int32_t weight, int32_t n,
                 uint8_t* dst) {
  const auto keep = static_cast<uint16_t>(256 - weight);
  const auto take = static_cast<uint16_t>(weight);
  for (int32_t i = 0; i < n; ++i)
    dst[i] = static_cast<uint8_t>(static_cast<uint16_t>(keep * own[i] + take * sample[i]) >> 8);
}

// The mixed average of the sums in acc (divided by k) blended with own.
void blend_average(const uint8_t* own, const uint16_t* acc, int32_t k, int32_t weight, int32_t n,
                   uint8_t* dst) {
  const auto keep = static_cast<uint16_t>(256 - weight);
  const auto take = static_cast<uint16_t>(weight);
  const uint32_t reciprocal = (uint32_t{1} << kReciprocalShift) / static_cast<uint32_t>(k) + 1;
  for (int32_t i = 0; i < n; ++i) {
    const auto average = static_cast<uint16_t>((acc[i] * reciprocal) >> kReciprocalShift);
    dst[i] = static_cast<uint8_t>(static_cast<uint16_t>(keep * own[i] + take * average) >> 8);
  }
}

template <int32_t B>
void render_span(const EffectGeometry& g, const EffectFrame& frame, const RowPlan& plan,
                 const RowSpan& span, const uint8_t* const* rows, uint8_t* dst) {
  uint8_t own_scratch[kChunk * B];
  uint8_t sample_scratch[kChunk * B];
  uint16_t acc[kChunk * B];
  const bool mixed = g.render_mode < 0;
  const uint8_t* own_row = rows[0];
  for (int32_t done = 0; done < span.count; done += kChunk) {
    const int32_t count = span.count - done < kChunk ? span.count - done : kChunk;
    const int32_t n = count * B;
    const int64_t pos = plan.start_h + int64_t{span.first + done} * plan.step_h;
    uint8_t* out = dst + int64_t{span.first + done} * B;
    // Pixels that end up unchanged in the output are gathered straight into it.
    auto put = [&](const uint8_t* pixels) {
      if (pixels != out) std::memcpy(out, pixels, size_t(n));
    };
    auto own_into = [&](uint8_t* scratch) {
      return gather<B>(own_row, pos, plan.step_h, count, frame.bound_h, scratch);
    };
    auto samples = [&](int32_t j, uint8_t* scratch) {
      return gather<B>(rows[plan.band_row[j]], pos - j * g.shift_h, plan.step_h, count,
                       frame.bound_h, scratch);
    };
    if (span.steps == 0 || span.weight == 0) {
      put(own_into(out));
      continue;
    }
    if (!mixed || span.steps == 1) {
      if (span.weight == 256) {
        put(samples(span.steps, out));
      } else {
        const uint8_t* own = own_into(own_scratch);
        blend_bytes(own, samples(span.steps, sample_scratch), span.weight, n, out);
      }
      continue;
    }
    const uint8_t* own = own_into(own_scratch);
    const uint8_t* first = samples(1, sample_scratch);
    for (int32_t i = 0; i < n; ++i) acc[i] = first[i];
    for (int32_t j = 2; j <= span.steps; ++j) {
      const uint8_t* sample = samples(j, sample_scratch);
      for (int32_t i = 0; i < n; ++i) acc[i] = static_cast<uint16_t>(acc[i] + sample[i]);
    }
    blend_average(own, acc, span.steps, span.weight, n, out);
  }
}

template <int32_t B>
void render_spans(const EffectGeometry& g, const EffectFrame& frame, const RowPlan& plan,
                  const uint8_t* const* rows, uint8_t* dst) {
  for (int32_t i = 0; i < plan.span_count; ++i)
    render_span<B>(g, frame, plan, plan.spans[i], rows, dst);
}

}  // namespace

uint32_t divide_by_steps(uint32_t sum, int32_t k) {
  const uint32_t reciprocal = (uint32_t{1} << kReciprocalShift) / static_cast<uint32_t>(k) + 1;
  return (sum * reciprocal) >> kReciprocalShift;
}

void plan_row(const EffectGeometry& g, const EffectFrame& frame, int32_t pos_v, int64_t start_h,
              int32_t step_h, int32_t width, RowPlan* plan) {
  assert(step_h > 0 && width >= 0);
  plan->pos_v = pos_v;
  plan->start_h = start_h;
  plan->step_h = step_h;
  plan->width = width;
  plan->span_count = 0;
  plan->row_count = 1;
  plan->rows[0] = pos_v >> 16;
  for (int8_t& index : plan->band_row) index = -1;
  if (width <= 0) return;

  const int32_t dy = (pos_v >> 12) - int32_t{frame.origin_v} * 16;
  const RowLine line{g, *plan, int64_t{g.dir_sin} * dy - g.band_step, int64_t{g.dir_cos} * dy,
                     int32_t{frame.origin_h} * 16};

  // Every column where the band number or the right-angle strip can change.
  int32_t edges[kMaxBands + 4];
  int32_t edge_count = 0;
  auto add_edge = [&](int32_t column) {
    if (column > 0) edges[edge_count++] = column;
  };
  if (g.band_step > 0) {
    const int64_t bands = g.band_extent / g.band_step;
    assert(bands <= kMaxBands);
    const int64_t d0 = line.d(0), d1 = line.d(width - 1);
    const int64_t low = d0 < d1 ? d0 : d1, high = d0 < d1 ? d1 : d0;
    for (int64_t i = 0; i <= bands && i <= kMaxBands; ++i) {
      const int64_t threshold = i * g.band_step;
      if (threshold <= low || threshold > high) continue;
      add_edge(first_change(width, [&](int32_t c) { return line.d(c) >= threshold; }));
    }
    if (g.render_mode > 0) {
      add_edge(first_change(width, [&](int32_t c) { return line.e(c) >= g.half_band; }));
      add_edge(first_change(width, [&](int32_t c) { return line.e(c) <= -g.half_band; }));
    }
  }
  for (int32_t i = 1; i < edge_count; ++i) {  // a few values: insertion sort
    const int32_t value = edges[i];
    int32_t j = i;
    for (; j > 0 && edges[j - 1] > value; --j) edges[j] = edges[j - 1];
    edges[j] = value;
  }
  edges[edge_count++] = width;

  int32_t start = 0;
  for (int32_t i = 0; i < edge_count; ++i) {
    const int32_t end = edges[i];
    if (end <= start) continue;
    const int16_t steps = line.steps(start);
    RowSpan* last = plan->span_count > 0 ? &plan->spans[plan->span_count - 1] : nullptr;
    if (last != nullptr && last->steps == steps) {
      last->count += end - start;
    } else {
      plan->spans[plan->span_count++] = RowSpan{start, end - start, steps, span_weight(g, steps)};
    }
    start = end;
  }

  // The source rows, in the order the one-pixel walk first reads them.
  const bool mixed = g.render_mode < 0;
  for (int32_t i = 0; i < plan->span_count; ++i) {
    const int16_t steps = plan->spans[i].steps;
    for (int32_t j = mixed ? 1 : steps; j >= 1 && j <= steps; ++j) {
      if (plan->band_row[j] >= 0) continue;
      const int32_t row = mirror_index((int64_t{pos_v} - j * g.shift_v) >> 16, frame.bound_v);
      int32_t index = 0;
      while (index < plan->row_count && plan->rows[index] != row) ++index;
      if (index == plan->row_count) plan->rows[plan->row_count++] = row;
      plan->band_row[j] = static_cast<int8_t>(index);
    }
  }
}

void render_row(const EffectGeometry& g, const EffectFrame& frame, const RowPlan& plan,
                const uint8_t* const* rows, uint8_t* dst) {
  switch (frame.bytes_per_pixel) {
    case 1:
      render_spans<1>(g, frame, plan, rows, dst);
      break;
    case 2:
      render_spans<2>(g, frame, plan, rows, dst);
      break;
    case 3:
      render_spans<3>(g, frame, plan, rows, dst);
      break;
    default:
      render_spans<4>(g, frame, plan, rows, dst);
      break;
  }
}

void sample_row(const uint8_t* row, int64_t start_h, int32_t step_h, int32_t count,
                int16_t bytes_per_pixel, uint8_t* dst) {
  auto sample = [&](auto pixel_bytes) {
    constexpr int32_t B = decltype(pixel_bytes)::value;
    int64_t pos = start_h;
    for (int32_t i = 0; i < count; ++i, pos += step_h, dst += B) {
      std::memcpy(dst, row + (pos >> 16) * B, B);  // a fixed size: plain moves
    }
  };
  switch (bytes_per_pixel) {
    case 1:
      sample(std::integral_constant<int32_t, 1>());
      break;
    case 2:
      sample(std::integral_constant<int32_t, 2>());
      break;
    case 3:
      sample(std::integral_constant<int32_t, 3>());
      break;
    default:
      sample(std::integral_constant<int32_t, 4>());
      break;
  }
}
