// Protocol test support.
#include "tests/protocol/protocol_support.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "tests/support/host_window.h"

namespace protocol_test {

plugin_host::Module& linked_module() {
  static std::unique_ptr<plugin_host::Module> module = [] {
    std::string why;
    auto m = plugin_host::Module::linked(GetModuleHandleA(nullptr), ENTRYPOINT1, &why);
    if (!m) throw std::runtime_error(why);
    return m;
  }();
  return *module;
}

plugin_host::Image pattern_image(int32_t width, int32_t height, int32_t planes, uint32_t seed) {
  plugin_host::Image image(width, height, planes);
  uint32_t state = seed * 2654435761u + 12345u;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = image.at(x, y);
      for (int32_t c = 0; c < planes; ++c) {
        state = state * 1664525u + 1013904223u;
        p[c] = uint8_t((x * (3 + c) + y * (7 + 2 * c) + (state >> 28)) & 0xFF);
      }
    }
  }
  return image;
}

std::vector<uint8_t> record_bytes(const ParameterRecord& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

ParameterRecord settings(int16_t regions, int16_t intensity, int16_t angle, int16_t spacing,
                         int16_t mode, int16_t fade, int16_t center_h, int16_t center_v) {
  return ParameterRecord{center_h, center_v, regions, intensity, angle, spacing, mode, fade, 0};
}

plugin_host::Image reference_render(const plugin_host::Image& image, const plugin_host::Area& area,
                                    int32_t color_planes, const ParameterRecord& record,
                                    int32_t image_step, int16_t preview_extent) {
  int32_t width = area.right - area.left, height = area.bottom - area.top;
  std::vector<uint8_t> source(size_t(width) * height * color_planes);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      std::memcpy(&source[(size_t(y) * width + x) * color_planes],
                  image.at(area.left + x, area.top + y), size_t(color_planes));
  plugin_host::Image result = image;
  const EffectGeometry geometry =
      derive_geometry(settings_from_record(record), preview_extent, image_step);
  const EffectFrame frame{record.center_h, record.center_v, int16_t(width), int16_t(height),
                          int16_t(color_planes)};
  const size_t stride = size_t(width) * color_planes;
  struct Rows {
    const uint8_t* base;
    size_t stride;
  } rows{source.data(), stride};
  RowSource source_rows{nullptr,
                        [](const void* context, int32_t row) -> const uint8_t* {
                          const auto* r = static_cast<const Rows*>(context);
                          return r->base + size_t(row) * r->stride;
                        },
                        &rows};
  for (int32_t y = 0; y < height; ++y) {
    source_rows.own_row = source.data() + size_t(y) * stride;
    for (int32_t x = 0; x < width; ++x)
      composite_pixel(geometry, frame, source_rows, (x << 16) | 0x8000, (y << 16) | 0x8000,
                      result.at(area.left + x, area.top + y));
  }
  return result;
}

plugin_host::RunOptions options_for(int32_t color_planes) {
  plugin_host::RunOptions options;
  options.color_planes = color_planes;
  options.image_mode = color_planes == 1   ? filter_api::plugInModeGrayScale
                       : color_planes == 4 ? filter_api::plugInModeCMYKColor
                                           : filter_api::plugInModeRGBColor;
  options.window = test_support::host_window();
  return options;
}

}  // namespace protocol_test
