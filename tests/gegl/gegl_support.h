// What the GEGL operation's tests share: GEGL started once with the built operation loaded,
// buffers of any format, the operation's result read back, and the expected 8-bit result
// computed with the operation's own layout (itself held to the module's bytes).
#pragma once

#include <gegl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gegl_op/gegl_op.h"

namespace gegl_test {

// Starts GEGL with only its core and common operations and those in the folder `operations`;
// false when halcyrion:zorbel is not among them.
bool start_gegl_with(const char* operations);

// Starts GEGL once with the built operation; false when it cannot be found.
bool start_gegl();

// A buffer of format `storage` and the given extent holding `bytes`, pixels of `format`
// (rows without padding).
GeglBuffer* make_buffer(const GeglRectangle& extent, const char* storage, const char* format,
                        const std::vector<uint8_t>& bytes);

// Random bytes for width x height pixels of `format`; for float formats, values in 0..1.
std::vector<uint8_t> random_pixels(int32_t width, int32_t height, const char* format,
                                   uint32_t seed);

// The properties set on the operation, as GEGL's command line names them.
using Properties = std::vector<std::pair<std::string, std::string>>;

// The operation applied to `input`, its `rect` read in `format`.
std::vector<uint8_t> filtered(GeglBuffer* input, const Properties& properties,
                              const GeglRectangle& rect, const char* format);

// The operation's settings for the same properties.
gegl_op::Settings settings_for(const Properties& properties);

// The 8-bit result of the whole area through the layout, `channels` bytes a pixel.
std::vector<uint8_t> expected_u8(const std::vector<uint8_t>& pixels, int32_t width, int32_t height,
                                 int32_t channels, bool alpha, const gegl_op::Settings& settings);

// Whether the effect leaves pixel (x, y) of a width x height area as it is.
std::vector<bool> untouched(int32_t width, int32_t height, int16_t colour_planes,
                            const gegl_op::Settings& settings);

}  // namespace gegl_test
