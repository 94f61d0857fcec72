// The GEGL operation's computation against the module itself: its 8-bit rows against whole
// runs of the module through the host, its layout against the module's memory plan, and its
// floating-point rows against their one-pixel reference and against the 8-bit bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "gegl_op/gegl_op.h"
#include "tests/protocol/protocol_support.h"

namespace {

using protocol_test::linked_module;
using protocol_test::options_for;
using protocol_test::pattern_image;
using protocol_test::settings;

struct Case {
  int16_t regions, intensity, angle, spacing, mode, fade;
  double center_x, center_y;
};

// The settings' corners: every mode, fade, partial intensity, both ends of every range, the
// four axis directions, and centres on and off the picture's middle and edges.
const Case kCases[] = {
    {8, 100, 50, 50, kModeParallel, 0, 0.5, 0.5},
    {20, 60, 0, 5, kModeMixed, 1, 0.3, 0.8},
    {1, 100, 90, 100, kModeRightAngle, 0, 0.5, 0.5},
    {12, 35, 180, 20, kModeParallel, 1, 1, 0},
    {5, 100, 270, 12, kModeMixed, 0, 0, 1},
    {20, 100, 360, 7, kModeRightAngle, 1, 0.71, 0.2},
    {3, 0, 133, 40, kModeMixed, 1, 0.5, 0.5},
    {9, 81, 315, 9, kModeRightAngle, 0, 0.12, 0.5},
};

gegl_op::Settings gegl_settings(const Case& c) {
  gegl_op::Settings s;
  s.regions = c.regions;
  s.intensity = c.intensity;
  s.angle = c.angle;
  s.spacing = c.spacing;
  s.mode = c.mode;
  s.fade = c.fade != 0;
  s.center_x = c.center_x;
  s.center_y = c.center_y;
  return s;
}

// The whole picture through the operation's 8-bit rows.
plugin_host::Image render_u8(const plugin_host::Image& image, const gegl_op::Layout& layout,
                             bool alpha) {
  plugin_host::Image out(image.width, image.height, image.planes);
  const int64_t stride = int64_t{image.width} * image.planes;
  RowPlan plan;
  for (int32_t y = 0; y < image.height; ++y) {
    gegl_op::plan_area_row(layout, y, 0, image.width, &plan);
    const uint8_t* rows[kMaxSourceRows];
    for (int32_t i = 0; i < plan.row_count; ++i)
      rows[i] = image.pixels.data() + plan.rows[i] * stride;
    gegl_op::render_row_u8(layout, plan, rows, image.planes, alpha, out.at(0, y));
  }
  return out;
}

// The module's result for the same picture, settings and allowance, as the command runs it;
// nothing when the module refuses the run.
std::optional<plugin_host::Image> module_run(const plugin_host::Image& image, int32_t colour_planes,
                                             const Case& c, int64_t max_space) {
  plugin_host::Image result = image;
  plugin_host::RunOptions options = options_for(colour_planes);
  options.max_space = int32_t(max_space);
  linked_module().set_parameters(
      protocol_test::record_bytes(settings(c.regions, c.intensity, c.angle, c.spacing, c.mode,
                                           c.fade, gegl_op::center_pixel(c.center_x, image.width),
                                           gegl_op::center_pixel(c.center_y, image.height))));
  const plugin_host::RunResult run = linked_module().run(result, options);
  if (!run.ok()) return std::nullopt;
  return result;
}

plugin_host::Image module_result(const plugin_host::Image& image, int32_t colour_planes,
                                 const Case& c) {
  std::optional<plugin_host::Image> result =
      module_run(image, colour_planes, c, gegl_op::kCommandMaxSpace);
  EXPECT_TRUE(result.has_value()) << "the module refused the run";
  return result ? *result : plugin_host::Image();
}

TEST(GeglOperationRows, EightBitRowsAreTheModulesBytesForEverySizeAndSetting) {
  const int32_t sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {37, 23}, {64, 301}, {300, 17}};
  for (const auto& size : sizes) {
    for (int32_t planes : {1, 2, 3, 4}) {
      const bool alpha = planes == 2 || planes == 4;
      const int32_t colour = alpha ? planes - 1 : planes;
      const plugin_host::Image image = pattern_image(size[0], size[1], planes, 7u * planes);
      for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1] << " planes " << planes
                                        << " angle " << c.angle << " mode " << c.mode);
        const gegl_op::Layout layout = gegl_op::command_layout(
            gegl_settings(c), size[0], size[1], int16_t(colour), gegl_op::kCommandMaxSpace);
        const plugin_host::Image ours = render_u8(image, layout, alpha);
        ASSERT_EQ(ours.pixels, module_result(image, colour, c).pixels);
      }
    }
  }
}

TEST(GeglOperationRows, ReducedWorkingImagesGiveTheModulesScale) {
  // Allowances from the whole area down to the smallest plan the module takes: the module's
  // decimation and the layout's agree, and so do the bytes, which depend on the scale that
  // decimation gives.
  const plugin_host::Image image = pattern_image(403, 297, 3, 11);
  int16_t seen_most = 1;
  for (int64_t max_space = 520000; max_space >= 40000; max_space -= 9000) {
    SCOPED_TRACE(testing::Message() << "max_space " << max_space);
    const int16_t decimation = gegl_op::command_decimation(403, 297, 3, max_space);
    const Case c = kCases[1];
    const std::optional<plugin_host::Image> expected = module_run(image, 3, c, max_space);
    if (!expected) break;
    EXPECT_EQ(module_state.plan.decimation, decimation);
    const gegl_op::Layout layout =
        gegl_op::command_layout(gegl_settings(c), 403, 297, 3, max_space);
    ASSERT_EQ(render_u8(image, layout, false).pixels, expected->pixels);
    seen_most = std::max(seen_most, decimation);
  }
  EXPECT_GE(seen_most, 4);  // the sweep reached well-reduced plans
}

TEST(GeglOperationRows, CentreFractionsAreTheCommandsPercentages) {
  // --center X% is floor(X * side / 100 + 0.5); one half is the default centre, side / 2.
  EXPECT_EQ(gegl_op::center_pixel(0.5, 601), 300);
  EXPECT_EQ(gegl_op::center_pixel(0.5, 600), 300);
  EXPECT_EQ(gegl_op::center_pixel(0.25, 601), 150);  // 150.25 + 0.5
  EXPECT_EQ(gegl_op::center_pixel(0.3, 5), 2);       // 1.5 + 0.5 rounds up
  EXPECT_EQ(gegl_op::center_pixel(0.0, 77), 0);
  EXPECT_EQ(gegl_op::center_pixel(1.0, 77), 77);
}

template <typename T>
std::vector<T> random_samples(int32_t width, int32_t height, int32_t channels, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<T> samples(size_t(width) * height * channels);
  for (T& v : samples) v = T(unit(random));
  return samples;
}

template <typename T>
void expect_rows_match_reference() {
  for (int32_t channels = 1; channels <= 5; ++channels) {
    for (bool alpha : {false, true}) {
      if (alpha && channels == 1) continue;
      const int32_t width = 131, height = 77;
      const std::vector<T> area = random_samples<T>(width, height, channels, uint32_t(channels));
      for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "channels " << channels << " alpha " << alpha
                                        << " angle " << c.angle << " mode " << c.mode);
        const gegl_op::Layout layout = gegl_op::command_layout(gegl_settings(c), width, height,
                                                               int16_t(channels - (alpha ? 1 : 0)));
        std::vector<T> row(size_t(width) * channels), part(size_t(width) * channels);
        std::vector<T> pixel(static_cast<size_t>(channels));
        for (int32_t y = 0; y < height; ++y) {
          RowPlan plan;
          gegl_op::plan_area_row(layout, y, 0, width, &plan);
          const T* rows[kMaxSourceRows];
          for (int32_t i = 0; i < plan.row_count; ++i)
            rows[i] = area.data() + int64_t{plan.rows[i]} * width * channels;
          gegl_op::render_row_samples<T>(layout, plan, rows, channels, alpha, row.data());
          for (int32_t x = 0; x < width; ++x) {
            gegl_op::reference_pixel_samples<T>(layout, area.data(), width, channels, alpha, x, y,
                                                pixel.data());
            for (int32_t k = 0; k < channels; ++k)
              ASSERT_EQ(row[size_t(x) * channels + k], pixel[size_t(k)])
                  << "pixel " << x << "," << y << " channel " << k;
          }
          // A part of the row, as GEGL may ask for one, is that part of the whole row.
          const int32_t first = (y * 7) % width, count = std::min(width - first, 45);
          gegl_op::plan_area_row(layout, y, first, count, &plan);
          for (int32_t i = 0; i < plan.row_count; ++i)
            rows[i] = area.data() + int64_t{plan.rows[i]} * width * channels;
          gegl_op::render_row_samples<T>(layout, plan, rows, channels, alpha, part.data());
          for (int32_t k = 0; k < count * channels; ++k)
            ASSERT_EQ(part[size_t(k)], row[size_t(first) * channels + k]) << "part at " << first;
        }
      }
    }
  }
}

TEST(GeglOperationRows, FloatRowsMatchTheOnePixelReference) {
  expect_rows_match_reference<float>();
}

TEST(GeglOperationRows, DoubleRowsMatchTheOnePixelReference) {
  expect_rows_match_reference<double>();
}

TEST(GeglOperationRows, FloatRowsAgreeWithTheEightBitBytesWithinOneStep) {
  // The same picture in 8 bits and as floats: the same pixels change, the unchanged ones are
  // equal, and the changed ones lie above the bytes by less than one 8-bit step, two in the
  // mixed mode (the bytes truncate the average and then the blend).
  const int32_t width = 240, height = 160;
  const plugin_host::Image image = pattern_image(width, height, 4, 3);
  std::vector<float> area(image.pixels.size());
  for (size_t i = 0; i < area.size(); ++i) area[i] = float(image.pixels[i]) / 255.0f;
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "angle " << c.angle << " mode " << c.mode);
    const gegl_op::Layout layout = gegl_op::command_layout(gegl_settings(c), width, height, 3);
    const plugin_host::Image bytes = render_u8(image, layout, true);
    const double steps = c.mode == kModeMixed ? 2.0 : 1.0;
    std::vector<float> row(size_t(width) * 4);
    for (int32_t y = 0; y < height; ++y) {
      RowPlan plan;
      gegl_op::plan_area_row(layout, y, 0, width, &plan);
      const float* rows[kMaxSourceRows];
      for (int32_t i = 0; i < plan.row_count; ++i)
        rows[i] = area.data() + int64_t{plan.rows[i]} * width * 4;
      gegl_op::render_row_samples<float>(layout, plan, rows, 4, true, row.data());
      for (int32_t i = 0; i < width * 4; ++i) {
        const double exact = double(row[size_t(i)]) * 255.0;
        const int32_t byte = bytes.at(0, y)[i];
        ASSERT_GT(exact, byte - 1e-3) << "sample " << i << " of row " << y;
        ASSERT_LT(exact, byte + steps + 1e-3) << "sample " << i << " of row " << y;
        if (i % 4 == 3) {
          ASSERT_EQ(row[size_t(i)], area[size_t(y) * width * 4 + size_t(i)]);
        }
      }
    }
  }
}

}  // namespace
