// halcyrion:zorbel inside GEGL: the command's bytes for 8-bit gamma-encoded pictures in every
// kind, any region GEGL asks for, areas away from the origin, other precisions at their own
// precision with the untouched pixels exact, odd and empty extents, and worker threads.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/gegl/gegl_support.h"

namespace {

using gegl_test::filtered;
using gegl_test::make_buffer;
using gegl_test::Properties;
using gegl_test::random_pixels;
using gegl_test::settings_for;

const Properties kSettings[] = {
    {},
    {{"mode", "right-angle"}, {"fade", "true"}, {"angle", "90"}, {"regions", "20"}},
    {{"mode", "mixed"},
     {"intensity", "60"},
     {"angle", "200"},
     {"spacing", "5"},
     {"center-x", "0.3"},
     {"center-y", "0.7"}},
    {{"mode", "parallel"},
     {"fade", "true"},
     {"angle", "360"},
     {"spacing", "30"},
     {"center-x", "0"},
     {"center-y", "1"}},
};

class GeglOperation : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gegl_test::start_gegl()) << "halcyrion:zorbel not found"; }
};

TEST_F(GeglOperation, EightBitGammaPicturesGiveTheCommandsBytesInEveryKind) {
  const struct {
    const char* format;
    int32_t channels;
    bool alpha;
  } kinds[] = {
      {"Y' u8", 1, false}, {"Y'A u8", 2, true}, {"R'G'B' u8", 3, false}, {"R'G'B'A u8", 4, true}};
  const GeglRectangle area{0, 0, 173, 119};
  for (const auto& kind : kinds) {
    const std::vector<uint8_t> pixels = random_pixels(area.width, area.height, kind.format, 5);
    GeglBuffer* input = make_buffer(area, kind.format, kind.format, pixels);
    for (const Properties& properties : kSettings) {
      SCOPED_TRACE(testing::Message() << kind.format << ", " << properties.size() << " settings");
      EXPECT_EQ(filtered(input, properties, area, kind.format),
                gegl_test::expected_u8(pixels, area.width, area.height, kind.channels, kind.alpha,
                                       settings_for(properties)));
    }
    g_object_unref(input);
  }
}

TEST_F(GeglOperation, AnyRegionAskedForIsThatPartOfTheWholeResult) {
  const GeglRectangle area{0, 0, 150, 100};
  const std::vector<uint8_t> pixels = random_pixels(150, 100, "R'G'B'A u8", 9);
  GeglBuffer* input = make_buffer(area, "R'G'B'A u8", "R'G'B'A u8", pixels);
  const Properties& properties = kSettings[2];
  const std::vector<uint8_t> whole = filtered(input, properties, area, "R'G'B'A u8");
  for (const GeglRectangle& part : {GeglRectangle{0, 0, 1, 1}, GeglRectangle{37, 11, 50, 60},
                                    GeglRectangle{149, 99, 1, 1}, GeglRectangle{100, 0, 50, 100}}) {
    const std::vector<uint8_t> got = filtered(input, properties, part, "R'G'B'A u8");
    for (int32_t y = 0; y < part.height; ++y)
      ASSERT_EQ(0, std::memcmp(got.data() + size_t(y) * part.width * 4,
                               whole.data() + (size_t(part.y + y) * 150 + part.x) * 4,
                               size_t(part.width) * 4))
          << "row " << y << " of " << part.x << "," << part.y << " " << part.width << "x"
          << part.height;
  }
  g_object_unref(input);
}

TEST_F(GeglOperation, AnAreaAwayFromTheOriginIsFilteredAsTheAreaItself) {
  // In GIMP with a selection the operation is handed the selection's bounds: the effect's
  // centre and bands are those of that area, wherever it lies.
  const std::vector<uint8_t> pixels = random_pixels(90, 70, "R'G'B' u8", 2);
  GeglBuffer* at_origin = make_buffer({0, 0, 90, 70}, "R'G'B' u8", "R'G'B' u8", pixels);
  GeglBuffer* shifted = make_buffer({-40, 25, 90, 70}, "R'G'B' u8", "R'G'B' u8", pixels);
  EXPECT_EQ(filtered(shifted, kSettings[1], {-40, 25, 90, 70}, "R'G'B' u8"),
            filtered(at_origin, kSettings[1], {0, 0, 90, 70}, "R'G'B' u8"));
  g_object_unref(at_origin);
  g_object_unref(shifted);
}

TEST_F(GeglOperation, SixteenBitPixelsKeepTheirPrecision) {
  // Untouched pixels come back exactly; changed ones agree with the 8-bit result of the
  // picture's top bytes within one 8-bit step, or two where a mixed average is blended in
  // part (the 8-bit path truncates the average and then the blend).
  const int32_t width = 160, height = 120;
  const std::vector<uint8_t> raw = random_pixels(width, height, "R'G'B'A u16", 4);
  std::vector<uint16_t> samples(raw.size() / 2);
  std::memcpy(samples.data(), raw.data(), raw.size());
  std::vector<uint8_t> top(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) top[i] = uint8_t(samples[i] >> 8);
  GeglBuffer* input = make_buffer({0, 0, width, height}, "R'G'B'A u16", "R'G'B'A u16", raw);
  for (const Properties& properties : kSettings) {
    SCOPED_TRACE(testing::Message() << properties.size() << " settings");
    const gegl_op::Settings settings = settings_for(properties);
    const std::vector<uint8_t> bytes =
        filtered(input, properties, {0, 0, width, height}, "R'G'B'A u16");
    std::vector<uint16_t> out(samples.size());
    std::memcpy(out.data(), bytes.data(), bytes.size());
    const std::vector<uint8_t> expected =
        gegl_test::expected_u8(top, width, height, 4, true, settings);
    const std::vector<bool> same = gegl_test::untouched(width, height, 3, settings);
    const int32_t steps =
        settings.mode == kModeMixed && (settings.intensity < 100 || settings.fade) ? 2 : 1;
    size_t changed = 0;
    for (size_t i = 0; i < out.size(); ++i) {
      if (same[i / 4] || i % 4 == 3) {
        ASSERT_EQ(out[i], samples[i]) << "untouched sample " << i;
        continue;
      }
      ++changed;
      ASSERT_LE(std::abs(int32_t(out[i] >> 8) - int32_t(expected[i])), steps) << "sample " << i;
    }
    EXPECT_GT(changed, out.size() / 50);
  }
  g_object_unref(input);
}

TEST_F(GeglOperation, FloatPicturesAreFilteredInFloat) {
  // Linear and gamma-encoded float pictures: the operation's float rows, bit for bit, with
  // nothing converted on the way; half floats come back exact where untouched.
  const int32_t width = 120, height = 90;
  for (const char* format : {"RGBA float", "R'G'B' float", "Y float", "Y'A float"}) {
    const std::vector<uint8_t> raw = random_pixels(width, height, format, 8);
    const Babl* f = babl_format(format);
    const int32_t channels = babl_format_get_n_components(f);
    const bool alpha = babl_format_has_alpha(f) != 0;
    GeglBuffer* input = make_buffer({0, 0, width, height}, format, format, raw);
    for (const Properties& properties : kSettings) {
      SCOPED_TRACE(testing::Message() << format << ", " << properties.size() << " settings");
      const gegl_op::Settings settings = settings_for(properties);
      const gegl_op::Layout layout =
          gegl_op::command_layout(settings, width, height, int16_t(channels - (alpha ? 1 : 0)));
      std::vector<float> area(raw.size() / 4), expected(area.size());
      std::memcpy(area.data(), raw.data(), raw.size());
      for (int32_t y = 0; y < height; ++y) {
        RowPlan plan;
        gegl_op::plan_area_row(layout, y, 0, width, &plan);
        const float* rows[kMaxSourceRows];
        for (int32_t i = 0; i < plan.row_count; ++i)
          rows[i] = area.data() + int64_t{plan.rows[i]} * width * channels;
        gegl_op::render_row_samples<float>(layout, plan, rows, channels, alpha,
                                           expected.data() + int64_t{y} * width * channels);
      }
      const std::vector<uint8_t> got = filtered(input, properties, {0, 0, width, height}, format);
      ASSERT_EQ(0, std::memcmp(got.data(), expected.data(), got.size()));
    }
    g_object_unref(input);
  }
  // Half floats stored, handed over as floats: untouched pixels exact.
  const std::vector<uint8_t> raw = random_pixels(width, height, "RGBA float", 6);
  GeglBuffer* input = make_buffer({0, 0, width, height}, "RGBA half", "RGBA float", raw);
  std::vector<uint8_t> before(size_t(width) * height * 8);
  const GeglRectangle all{0, 0, width, height};
  gegl_buffer_get(input, &all, 1.0, babl_format("RGBA half"), before.data(), GEGL_AUTO_ROWSTRIDE,
                  GEGL_ABYSS_NONE);
  const std::vector<uint8_t> after = filtered(input, kSettings[0], all, "RGBA half");
  const std::vector<bool> same = gegl_test::untouched(width, height, 3, settings_for({}));
  for (size_t p = 0; p < same.size(); ++p) {
    if (!same[p]) continue;
    ASSERT_EQ(0, std::memcmp(after.data() + p * 8, before.data() + p * 8, 8)) << p;
  }
  g_object_unref(input);
}

TEST_F(GeglOperation, OddSizesAndEmptyOrEndlessExtents) {
  for (const GeglRectangle& area : {GeglRectangle{0, 0, 1, 1}, GeglRectangle{0, 0, 1, 40},
                                    GeglRectangle{0, 0, 40, 1}, GeglRectangle{0, 0, 32767, 2}}) {
    SCOPED_TRACE(testing::Message() << area.width << "x" << area.height);
    const std::vector<uint8_t> pixels =
        random_pixels(area.width, area.height, "R'G'B'A u8", uint32_t(area.width));
    GeglBuffer* input = make_buffer(area, "R'G'B'A u8", "R'G'B'A u8", pixels);
    for (const Properties& properties : kSettings)
      ASSERT_EQ(filtered(input, properties, area, "R'G'B'A u8"),
                gegl_test::expected_u8(pixels, area.width, area.height, 4, true,
                                       settings_for(properties)));
    g_object_unref(input);
  }
  // An empty input and an endless one (a plain colour) give nothing to filter.
  GeglNode* graph = gegl_node_new();
  GeglBuffer* empty = make_buffer({0, 0, 0, 0}, "R'G'B'A u8", "R'G'B'A u8", {});
  GeglNode* source =
      gegl_node_new_child(graph, "operation", "gegl:buffer-source", "buffer", empty, nullptr);
  GeglNode* zorbel = gegl_node_new_child(graph, "operation", "halcyrion:zorbel", nullptr);
  gegl_node_link(source, zorbel);
  EXPECT_TRUE(gegl_rectangle_is_empty(
      &static_cast<const GeglRectangle&>(gegl_node_get_bounding_box(zorbel))));
  GeglNode* colour = gegl_node_new_child(graph, "operation", "gegl:color", nullptr);
  gegl_node_link(colour, zorbel);
  const GeglRectangle box = gegl_node_get_bounding_box(zorbel);
  EXPECT_TRUE(gegl_rectangle_is_empty(&box));
  uint8_t pixel[4] = {1, 2, 3, 4};
  const GeglRectangle one{5, 5, 1, 1};
  gegl_node_blit(zorbel, 1.0, &one, babl_format("R'G'B'A u8"), pixel, GEGL_AUTO_ROWSTRIDE,
                 GEGL_BLIT_DEFAULT);
  g_object_unref(graph);
  g_object_unref(empty);
}

TEST_F(GeglOperation, WorkerThreadsGiveTheSameBytes) {
  const GeglRectangle area{0, 0, 640, 480};
  const std::vector<uint8_t> pixels = random_pixels(640, 480, "R'G'B' u8", 12);
  GeglBuffer* input = make_buffer(area, "R'G'B' u8", "R'G'B' u8", pixels);
  const std::vector<uint8_t> expected =
      gegl_test::expected_u8(pixels, 640, 480, 3, false, settings_for(kSettings[2]));
  for (int threads : {1, 4}) {
    g_object_set(gegl_config(), "threads", threads, nullptr);
    EXPECT_EQ(filtered(input, kSettings[2], area, "R'G'B' u8"), expected) << threads;
  }
  g_object_unref(input);
}

}  // namespace
