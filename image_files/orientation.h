// Pictures turned upright as their EXIF orientation tag asks: the tag read, the stored rows
// placed into the upright picture strip by strip as they are decoded (so no second whole
// picture is needed), and the metadata told that the picture now stands upright.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "image_files/image_io.h"

namespace image_io {

// The orientation a TIFF structure's first IFD gives (tag 274): 1 to 8, 1 when it gives none
// or a value outside 1..8.
int exif_orientation(const uint8_t* data, std::size_t size);
int exif_orientation(const std::vector<uint8_t>& exif);

// Orientations 5 to 8 turn the picture a quarter: its width and height change places.
inline bool swaps_sides(int orientation) { return orientation >= 5 && orientation <= 8; }

// Where the stored pixel (x, y) of a width x height picture lies once it is upright.
std::pair<int32_t, int32_t> upright_position(int32_t x, int32_t y, int32_t width, int32_t height,
                                             int orientation);

// Places `rows` stored rows of `width` pixels, `planes` bytes each (the first at stored column
// `left`, stored row `top`; `stride` bytes from one to the next), where they lie in the upright
// picture `upright` of a stored_width x stored_height picture.
void place_upright(const uint8_t* strip, std::size_t stride, int32_t left, int32_t top,
                   int32_t width, int32_t rows, int32_t stored_width, int32_t stored_height,
                   int orientation, plugin_host::Image* upright);

// The metadata of a picture that was turned upright from this orientation: orientation 1 in the
// EXIF block (and in XMP's tiff:Orientation), and for a quarter turn the EXIF pixel dimensions
// exchanged. Everything else stays byte for byte.
void mark_upright(Metadata* metadata, int orientation);

}  // namespace image_io
