// Shared pieces of the protocol tests: the module driven through the host library, test
// images, stored records, and a reference render with the whole filter area in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "module/module_state.h"
#include "plugin_host/plugin_host.h"

namespace protocol_test {

// The module code linked into this test program, driven through the host library, so a
// test can look at module_state after a run.
plugin_host::Module& linked_module();

// An image whose every pixel differs from its neighbours and from its mirror images, so
// that flips, swaps and off-by-one reads show.
plugin_host::Image pattern_image(int32_t width, int32_t height, int32_t planes, uint32_t seed);

// The 20 stored bytes of a record.
std::vector<uint8_t> record_bytes(const ParameterRecord& record);

// A record with these settings that asks for no dialog.
ParameterRecord settings(int16_t regions, int16_t intensity, int16_t angle, int16_t spacing,
                         int16_t mode, int16_t fade, int16_t center_h, int16_t center_v);

// The final image computed directly by the compositor over the whole filter area held in
// memory, with the scale and preview extent a run used.
plugin_host::Image reference_render(const plugin_host::Image& image, const plugin_host::Area& area,
                                    int32_t color_planes, const ParameterRecord& record,
                                    int32_t image_step, int16_t preview_extent);

// Options for a plain run of the given image kind.
plugin_host::RunOptions options_for(int32_t color_planes);

}  // namespace protocol_test
