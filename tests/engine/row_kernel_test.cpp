// The row kernels against the one-pixel compositor: the same bytes for random settings,
// sizes, centres, scales and column steps, the source rows listed in the order the pixel walk
// first reads them, and the exact division of the mixed average.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "module/engine/engine.h"

namespace {

struct Source {
  const uint8_t* base;
  int64_t stride;
  std::vector<int32_t>* reads;  // every row looked up, in order, when set
};

const uint8_t* lookup(const void* context, int32_t row) {
  const auto* source = static_cast<const Source*>(context);
  if (source->reads != nullptr) source->reads->push_back(row);
  return source->base + row * source->stride;
}

TEST(RowKernels, MatchTheOnePixelCompositorByteForByte) {
  std::mt19937 random(20261208);
  auto uniform = [&](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(random);
  };
  const int16_t kAngles[] = {0, 45, 90, 135, 180, 270, 360};
  int64_t pixels = 0, changed = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    const int16_t bytes = int16_t(std::vector<int16_t>{1, 3, 4}[size_t(uniform(0, 2))]);
    const int16_t width = int16_t(uniform(0, 3) == 0 ? uniform(1, 4) : uniform(1, 300));
    const int16_t height = int16_t(uniform(0, 3) == 0 ? uniform(1, 4) : uniform(1, 200));
    const int64_t stride = int64_t{width} * bytes + uniform(0, 5);
    std::vector<uint8_t> image(size_t(stride * height));
    for (uint8_t& b : image) b = uint8_t(uniform(0, 255));

    const EffectSettings settings{
        int16_t(uniform(1, 20)),
        int16_t(uniform(0, 4) == 0 ? 100 : uniform(0, 100)),
        uniform(0, 2) == 0 ? kAngles[uniform(0, 6)] : int16_t(uniform(0, 360)),
        int16_t(uniform(5, 100)),
        int16_t(uniform(-1, 1)),
        int16_t(uniform(0, 1))};
    // The final pass renders with decimation x the preview step at one pixel per column; the
    // previews with their own steps, above and below one pixel.
    const int32_t decimation = uniform(1, 5);
    const auto extent = int16_t(uniform(1, 512));
    const int32_t scale = decimation * (uniform(0, 1) ? uniform(300, 8000) : uniform(8000, 120000));
    const EffectGeometry g = derive_geometry(settings, extent, scale);
    const bool distant = uniform(0, 4) == 0;
    const EffectFrame frame{int16_t(distant ? uniform(-5000, 5000) : uniform(0, width - 1)),
                            int16_t(distant ? uniform(-5000, 5000) : uniform(0, height - 1)), width,
                            height, bytes};
    const bool final_pass = uniform(0, 1) == 0;
    const int32_t step = final_pass      ? 65536
                         : uniform(0, 1) ? uniform(8000, 65536)
                                         : uniform(65536, 5 * 65536);
    const int64_t start = final_pass ? 0x8000 : uniform(0, 65535);
    int32_t columns = width;
    while (columns > 0 && ((start + int64_t{columns - 1} * step) >> 16) >= width) --columns;
    const int32_t row = uniform(0, height - 1);
    const int32_t pos_v = (row << 16) | (final_pass ? 0x8000 : uniform(0, 65535));

    RowPlan plan;
    plan_row(g, frame, pos_v, start, step, columns, &plan);
    std::vector<const uint8_t*> rows(size_t(plan.row_count));
    for (int32_t i = 0; i < plan.row_count; ++i)
      rows[size_t(i)] = image.data() + plan.rows[i] * stride;
    std::vector<uint8_t> actual(size_t(columns) * bytes + 4, 0x5A);
    render_row(g, frame, plan, rows.data(), actual.data());

    std::vector<int32_t> reads;
    Source source{image.data(), stride, &reads};
    std::vector<uint8_t> expected(actual.size(), 0x5A);
    for (int32_t c = 0; c < columns; ++c) {
      const auto pos_h = int32_t(start + int64_t{c} * step);
      ASSERT_EQ(composite_pixel(g, frame, RowSource{nullptr, lookup, &source}, pos_h, pos_v,
                                expected.data() + c * bytes),
                -1);
      changed +=
          std::memcmp(expected.data() + c * bytes,
                      image.data() + row * stride + (pos_h >> 16) * bytes, size_t(bytes)) != 0;
    }
    ASSERT_EQ(actual, expected) << "trial " << trial << " angle " << settings.angle << " mode "
                                << settings.mode << " " << width << " x " << height;

    // The rows the pixel walk reads, each at its first read, are the plan's rows in order.
    std::vector<int32_t> first_reads;
    for (int32_t r : reads)
      if (std::find(first_reads.begin(), first_reads.end(), r) == first_reads.end())
        first_reads.push_back(r);
    if (columns > 0) {
      ASSERT_EQ(std::vector<int32_t>(plan.rows, plan.rows + plan.row_count), first_reads)
          << "trial " << trial;
    }
    pixels += columns;
  }
  EXPECT_GT(pixels, 200000);
  EXPECT_GT(changed, pixels / 10);  // many echoes, not only the picture, were compared
}

TEST(RowKernels, SpansCoverTheRowInOrderWithTheirBandsWeights) {
  // Angle 0, centre at column 0, bands of just over 4 pixels: columns 0-3 stay, band n covers
  // columns 4n to 4n + 3, and from column 20 on (past band 4) nothing changes.
  const EffectSettings settings{4, 50, 0, 32, 0, 1};
  const EffectGeometry g = derive_geometry(settings, 32, 65536);  // q 32: bands of 4 pixels
  const EffectFrame frame{0, 0, 40, 1, 1};
  RowPlan plan;
  plan_row(g, frame, 0x8000, 0x8000, 65536, 40, &plan);
  ASSERT_EQ(plan.span_count, 6);
  const int16_t expected_steps[] = {0, 1, 2, 3, 4, 0};
  const int16_t expected_weight[] = {0, 128, 85, 64, 51, 0};  // (2 * 128) / (k + 1)
  for (int32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(plan.spans[i].first, 4 * i);
    EXPECT_EQ(plan.spans[i].count, i < 5 ? 4 : 20);
    EXPECT_EQ(plan.spans[i].steps, expected_steps[i]);
    EXPECT_EQ(plan.spans[i].weight, expected_weight[i]);
  }
}

TEST(RowKernels, MixedAverageDividesExactlyForEverySumAndBandCount) {
  for (int32_t k = 1; k <= kMaxBands; ++k)
    for (uint32_t sum = 0; sum <= uint32_t(kMaxBands) * 255; ++sum)
      ASSERT_EQ(divide_by_steps(sum, k), sum / uint32_t(k)) << sum << " / " << k;
}

}  // namespace
