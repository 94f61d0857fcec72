// Drives halcyrion:zorbel's process inside GEGL with random sizes, formats, properties and
// requested regions, the pixels taken from the input.
//
// Any region GEGL asks for is that part of the whole result; 8-bit gamma-encoded pictures
// give the layout's bytes (the module's, as the tests hold); every other format comes back
// exact wherever the effect leaves a pixel alone.
#include <dlfcn.h>
#include <gegl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "gegl_op/gegl_op.h"
#include "tests/gegl/gegl_support.h"

namespace {

void check(bool holds) {
  if (!holds) std::abort();
}

struct Reader {
  const uint8_t* data;
  size_t size, at = 0;
  uint32_t take(uint32_t bound) {  // 0 .. bound-1
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | (at < size ? data[at++] : 0);
    return bound == 0 ? 0 : v % bound;
  }
};

const char* const kFormats[] = {
    "Y' u8",   "Y'A u8",    "R'G'B' u8",     "R'G'B'A u8", "Y u8",       "RGBA u16",  "R'G'B' u16",
    "Y'A u16", "RGBA half", "R'G'B'A float", "Y float",    "CMYK float", "RGB double"};
const char* const kModes[] = {"parallel", "right-angle", "mixed"};

void blit(GeglNode* node, const GeglRectangle& rect, const Babl* format, uint8_t* out) {
  gegl_node_blit(node, 1.0, &rect, format, out, GEGL_AUTO_ROWSTRIDE, GEGL_BLIT_DEFAULT);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // GEGL unloads an operation module while none of its types is in use; the fuzzer's
  // coverage counters live in it, so it stays loaded.
  check(dlopen(ZORBEL_GEGL_MODULE, RTLD_NOW | RTLD_NODELETE) != nullptr);
  check(gegl_test::start_gegl_with(ZORBEL_GEGL_DIR));
  // GEGL and babl make their caches (format conversions, operation classes) on first use and
  // keep them: every format goes through once here, so no later input counts them as leaks.
  for (uint8_t format = 0; format < std::size(kFormats); ++format) {
    for (uint8_t mode = 0; mode < 3; ++mode) {
      uint8_t input[64] = {};  // four bytes a value, big-endian, in the order read below
      input[11] = 9;           // width - 1
      input[15] = 5;           // height - 1
      input[19] = format;
      input[35] = 70;  // intensity
      input[39] = mode;
      LLVMFuzzerTestOneInput(input, sizeof input);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const GeglRectangle area{int32_t(in.take(201)) - 100, int32_t(in.take(201)) - 100,
                           int32_t(in.take(160)) + 1, int32_t(in.take(120)) + 1};
  const char* name = kFormats[in.take(std::size(kFormats))];
  gegl_op::Settings s;
  s.angle = int32_t(in.take(361));
  s.regions = int32_t(in.take(20)) + 1;
  s.spacing = int32_t(in.take(96)) + 5;
  s.intensity = int32_t(in.take(101));
  const uint32_t mode = in.take(3);
  s.mode = mode == 0 ? kModeParallel : mode == 1 ? kModeRightAngle : kModeMixed;
  s.fade = in.take(2) != 0;
  s.center_x = in.take(1001) / 1000.0;
  s.center_y = in.take(1001) / 1000.0;
  const GeglRectangle part{area.x + int32_t(in.take(uint32_t(area.width))),
                           area.y + int32_t(in.take(uint32_t(area.height))),
                           int32_t(in.take(uint32_t(area.width))) + 1,
                           int32_t(in.take(uint32_t(area.height))) + 1};

  const Babl* format = babl_format(name);
  const size_t pixel = size_t(babl_format_get_bytes_per_pixel(format));
  std::vector<uint8_t> pixels(size_t(area.width) * size_t(area.height) * pixel);
  // Float samples come from bytes as fractions, so no NaN reaches the comparison.
  const Babl* type = babl_format_get_type(format, 0);
  const bool floating = type != babl_type("u8") && type != babl_type("u16");
  std::vector<float> fractions(pixels.size() / pixel *
                               size_t(babl_format_get_n_components(format)));
  for (size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = in.at < size ? data[in.at + i % (size - in.at)] : uint8_t(i * 37);
  for (size_t i = 0; i < fractions.size(); ++i) fractions[i] = pixels[i % pixels.size()] / 255.0f;
  GeglBuffer* input = gegl_buffer_new(&area, format);
  if (floating) {
    char float_name[64];
    std::snprintf(float_name, sizeof float_name, "%.*s float", int(std::strchr(name, ' ') - name),
                  name);
    gegl_buffer_set(input, &area, 0, babl_format(float_name), fractions.data(),
                    GEGL_AUTO_ROWSTRIDE);
  } else {
    gegl_buffer_set(input, &area, 0, format, pixels.data(), GEGL_AUTO_ROWSTRIDE);
  }
  std::vector<uint8_t> before(pixels.size());
  gegl_buffer_get(input, &area, 1.0, format, before.data(), GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);

  GeglNode* graph = gegl_node_new();
  GeglNode* source =
      gegl_node_new_child(graph, "operation", "gegl:buffer-source", "buffer", input, nullptr);
  GeglNode* zorbel = gegl_node_new_child(graph, "operation", "halcyrion:zorbel", nullptr);
  GParamSpec* spec = gegl_node_find_property(zorbel, "mode");
  GEnumClass* modes = G_ENUM_CLASS(g_type_class_ref(spec->value_type));
  gegl_node_set(zorbel, "angle", s.angle, "regions", s.regions, "spacing", s.spacing, "intensity",
                s.intensity, "mode", g_enum_get_value_by_nick(modes, kModes[mode])->value, "fade",
                gboolean(s.fade), "center-x", s.center_x, "center-y", s.center_y, nullptr);
  g_type_class_unref(modes);
  gegl_node_link(source, zorbel);

  std::vector<uint8_t> whole(before.size()),
      piece(size_t(part.width) * size_t(part.height) * pixel);
  blit(zorbel, area, format, whole.data());
  blit(zorbel, part, format, piece.data());
  // The part, where it overlaps the area, is that part of the whole; outside it, nothing.
  for (int32_t y = 0; y < part.height; ++y) {
    for (int32_t x = 0; x < part.width; ++x) {
      const int32_t ax = part.x + x - area.x, ay = part.y + y - area.y;
      if (ax >= area.width || ay >= area.height) continue;
      check(std::memcmp(piece.data() + (size_t(y) * size_t(part.width) + size_t(x)) * pixel,
                        whole.data() + (size_t(ay) * size_t(area.width) + size_t(ax)) * pixel,
                        pixel) == 0);
    }
  }

  const BablModelFlag flags = babl_get_model_flags(babl_format_get_model(format));
  const int32_t channels = babl_format_get_n_components(format);
  const bool alpha = babl_format_has_alpha(format) != 0;
  const int16_t colour = int16_t(channels - (alpha ? 1 : 0));
  const gegl_op::Layout layout = gegl_op::command_layout(s, area.width, area.height, colour);
  const bool gamma_u8 = type == babl_type("u8") && (flags & BABL_MODEL_FLAG_NONLINEAR);
  std::vector<uint8_t> row(size_t(area.width) * pixel);
  for (int32_t y = 0; y < area.height; ++y) {
    RowPlan plan;
    gegl_op::plan_area_row(layout, y, 0, area.width, &plan);
    const uint8_t* own = before.data() + size_t(y) * row.size();
    const uint8_t* got = whole.data() + size_t(y) * row.size();
    if (gamma_u8) {
      const uint8_t* rows[kMaxSourceRows];
      for (int32_t i = 0; i < plan.row_count; ++i)
        rows[i] = before.data() + size_t(plan.rows[i]) * row.size();
      gegl_op::render_row_u8(layout, plan, rows, channels, alpha, row.data());
      check(std::memcmp(row.data(), got, row.size()) == 0);
      continue;
    }
    for (int32_t i = 0; i < plan.span_count; ++i) {
      const RowSpan& span = plan.spans[i];
      if (span.steps != 0 && span.weight != 0) continue;
      check(std::memcmp(own + size_t(span.first) * pixel, got + size_t(span.first) * pixel,
                        size_t(span.count) * pixel) == 0);
    }
  }
  g_object_unref(graph);
  g_object_unref(input);
  return 0;
}
