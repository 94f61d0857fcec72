// GEGL started for the tests, buffers in and results out, and the expected results.
#include "tests/gegl/gegl_support.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace gegl_test {

bool start_gegl_with(const char* operations) {
  // GEGL's file loaders and savers pull in codec libraries whose start-up blocks outlive the
  // process; a graph needs only its core and common operations.
  char folder[] = "/tmp/zorbel-gegl-operations-XXXXXX";
  if (mkdtemp(folder) == nullptr) return false;
  for (const char* module : {"gegl-core.so", "gegl-common.so"}) {
    const std::string target = std::string(GEGL_SYSTEM_OPERATIONS "/") + module;
    if (symlink(target.c_str(), (std::string(folder) + "/" + module).c_str()) != 0) return false;
  }
  setenv("GEGL_PATH", folder, 1);
  // GEGL's common operations bring GNU OpenMP, whose start-up block LeakSanitizer is told to
  // pass over; kept loaded, it can still be named when the leaks are counted at exit.
  dlopen("libgomp.so.1", RTLD_NOW | RTLD_NODELETE);
  gegl_init(nullptr, nullptr);
  gegl_load_module_directory(operations);
  return gegl_has_operation("halcyrion:zorbel") != 0;
}

bool start_gegl() {
  static const bool started = start_gegl_with(ZORBEL_GEGL_DIR);
  return started;
}

GeglBuffer* make_buffer(const GeglRectangle& extent, const char* storage, const char* format,
                        const std::vector<uint8_t>& bytes) {
  GeglBuffer* buffer = gegl_buffer_new(&extent, babl_format(storage));
  if (!bytes.empty())
    gegl_buffer_set(buffer, &extent, 0, babl_format(format), bytes.data(), GEGL_AUTO_ROWSTRIDE);
  return buffer;
}

std::vector<uint8_t> random_pixels(int32_t width, int32_t height, const char* format,
                                   uint32_t seed) {
  const Babl* f = babl_format(format);
  const int32_t components = babl_format_get_n_components(f);
  const size_t count = size_t(width) * size_t(height) * size_t(components);
  std::vector<uint8_t> bytes(count * size_t(babl_format_get_bytes_per_pixel(f) / components));
  std::mt19937 random(seed);
  const Babl* type = babl_format_get_type(f, 0);
  if (type == babl_type("float")) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (size_t i = 0; i < count; ++i) {
      const float v = unit(random);
      std::memcpy(bytes.data() + i * 4, &v, 4);
    }
  } else {
    for (uint8_t& b : bytes) b = uint8_t(random());
  }
  return bytes;
}

std::vector<uint8_t> filtered(GeglBuffer* input, const Properties& properties,
                              const GeglRectangle& rect, const char* format) {
  GeglNode* graph = gegl_node_new();
  GeglNode* source =
      gegl_node_new_child(graph, "operation", "gegl:buffer-source", "buffer", input, nullptr);
  GeglNode* zorbel = gegl_node_new_child(graph, "operation", "halcyrion:zorbel", nullptr);
  for (const auto& [name, value] : properties) {
    GParamSpec* spec = gegl_node_find_property(zorbel, name.c_str());
    if (spec == nullptr) continue;
    GValue v = G_VALUE_INIT;
    g_value_init(&v, spec->value_type);
    if (G_IS_PARAM_SPEC_ENUM(spec)) {
      GEnumClass* kind = G_ENUM_CLASS(g_type_class_ref(spec->value_type));
      g_value_set_enum(&v, g_enum_get_value_by_nick(kind, value.c_str())->value);
      g_type_class_unref(kind);
    } else if (spec->value_type == G_TYPE_INT) {
      g_value_set_int(&v, std::stoi(value));
    } else if (spec->value_type == G_TYPE_BOOLEAN) {
      g_value_set_boolean(&v, value == "true");
    } else {
      g_value_set_double(&v, std::stod(value));
    }
    gegl_node_set_property(zorbel, name.c_str(), &v);
    g_value_unset(&v);
  }
  gegl_node_link(source, zorbel);
  const Babl* f = babl_format(format);
  std::vector<uint8_t> out(size_t(rect.width) * size_t(rect.height) *
                           size_t(babl_format_get_bytes_per_pixel(f)));
  gegl_node_blit(zorbel, 1.0, &rect, f, out.data(), GEGL_AUTO_ROWSTRIDE, GEGL_BLIT_DEFAULT);
  g_object_unref(graph);
  return out;
}

gegl_op::Settings settings_for(const Properties& properties) {
  gegl_op::Settings s;
  for (const auto& [name, value] : properties) {
    if (name == "angle") s.angle = std::stoi(value);
    if (name == "regions") s.regions = std::stoi(value);
    if (name == "spacing") s.spacing = std::stoi(value);
    if (name == "intensity") s.intensity = std::stoi(value);
    if (name == "fade") s.fade = value == "true";
    if (name == "center-x") s.center_x = std::stod(value);
    if (name == "center-y") s.center_y = std::stod(value);
    if (name == "mode")
      s.mode = value == "mixed" ? kModeMixed : value == "right-angle" ? kModeRightAngle : 0;
  }
  return s;
}

std::vector<uint8_t> expected_u8(const std::vector<uint8_t>& pixels, int32_t width, int32_t height,
                                 int32_t channels, bool alpha, const gegl_op::Settings& settings) {
  const gegl_op::Layout layout =
      gegl_op::command_layout(settings, width, height, int16_t(channels - (alpha ? 1 : 0)));
  std::vector<uint8_t> out(pixels.size());
  const int64_t stride = int64_t{width} * channels;
  RowPlan plan;
  for (int32_t y = 0; y < height; ++y) {
    gegl_op::plan_area_row(layout, y, 0, width, &plan);
    const uint8_t* rows[kMaxSourceRows];
    for (int32_t i = 0; i < plan.row_count; ++i) rows[i] = pixels.data() + plan.rows[i] * stride;
    gegl_op::render_row_u8(layout, plan, rows, channels, alpha, out.data() + y * stride);
  }
  return out;
}

std::vector<bool> untouched(int32_t width, int32_t height, int16_t colour_planes,
                            const gegl_op::Settings& settings) {
  const gegl_op::Layout layout = gegl_op::command_layout(settings, width, height, colour_planes);
  std::vector<bool> result(size_t(width) * size_t(height));
  RowPlan plan;
  for (int32_t y = 0; y < height; ++y) {
    gegl_op::plan_area_row(layout, y, 0, width, &plan);
    for (int32_t s = 0; s < plan.span_count; ++s) {
      const RowSpan& span = plan.spans[s];
      for (int32_t x = span.first; x < span.first + span.count; ++x)
        result[size_t(y) * size_t(width) + size_t(x)] = span.steps == 0 || span.weight == 0;
    }
  }
  return result;
}

}  // namespace gegl_test
