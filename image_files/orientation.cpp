// Turning pictures upright while they are decoded: the EXIF orientation tag, the stored rows
// placed in the upright picture, and the metadata patched to say it stands upright.
#include "image_files/orientation.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace image_io {
namespace {

constexpr uint16_t kOrientationTag = 274;
constexpr uint16_t kPixelXDimension = 40962, kPixelYDimension = 40963;

// A TIFF structure's byte order and bounds, for reading and patching its IFD entries.
struct Tiff {
  uint8_t* data;
  std::size_t size;
  bool little;

  uint32_t u16(std::size_t at) const {
    return little ? uint32_t(data[at] | data[at + 1] << 8) : uint32_t(data[at] << 8 | data[at + 1]);
  }
  uint32_t u32(std::size_t at) const {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  }
  void put16(std::size_t at, uint32_t value) {
    data[at + (little ? 0 : 1)] = uint8_t(value);
    data[at + (little ? 1 : 0)] = uint8_t(value >> 8);
  }
  void put32(std::size_t at, uint32_t value) {
    put16(at + (little ? 0 : 2), value & 0xFFFF);
    put16(at + (little ? 2 : 0), value >> 16);
  }
  // The offset of the 12-byte entry for `tag` in the IFD at `ifd`, or 0 when it has none.
  std::size_t entry(std::size_t ifd, uint16_t tag) const {
    if (ifd < 8 || ifd > size || size - ifd < 2) return 0;
    const std::size_t count = u16(ifd);
    for (std::size_t i = 0, at = ifd + 2; i < count && at + 12 <= size; ++i, at += 12)
      if (u16(at) == tag) return at;
    return 0;
  }
};

// The structure when the bytes hold one ("II*\0" or "MM\0*"); size 0 otherwise.
Tiff open_tiff(const uint8_t* data, std::size_t size) {
  Tiff tiff{const_cast<uint8_t*>(data), 0, true};
  if (size < 8) return tiff;
  if (std::memcmp(data, "II*\0", 4) != 0 && std::memcmp(data, "MM\0*", 4) != 0) return tiff;
  tiff.little = data[0] == 'I';
  tiff.size = size;
  return tiff;
}

// The entry of tag 274 in the first IFD when it is one SHORT (or, as some writers have it, one
// LONG), else 0.
std::size_t orientation_entry(const Tiff& tiff) {
  if (tiff.size == 0) return 0;
  const std::size_t at = tiff.entry(tiff.u32(4), kOrientationTag);
  const uint32_t type = at != 0 ? tiff.u16(at + 2) : 0;
  return (type == 3 || type == 4) && tiff.u32(at + 4) == 1 ? at : 0;
}

uint32_t orientation_value(const Tiff& tiff, std::size_t entry) {
  return tiff.u16(entry + 2) == 3 ? tiff.u16(entry + 8) : tiff.u32(entry + 8);
}

// Copies a strip to the places of its pixels: stored (x, y) goes to pixels[first + x * step_x +
// y * step_y] (offsets, not pointers: a step may lead outside the picture after the last pixel).
// Columns are taken in blocks, so that for a quarter turn the upright rows being written stay
// in the cache.
template <int kPlanes>
void scatter(const uint8_t* strip, std::size_t stride, int32_t width, int32_t rows, uint8_t* pixels,
             std::ptrdiff_t first, std::ptrdiff_t step_x, std::ptrdiff_t step_y) {
  constexpr int32_t kBlock = 64;
  for (int32_t x0 = 0; x0 < width; x0 += kBlock) {
    const int32_t n = std::min(kBlock, width - x0);
    for (int32_t y = 0; y < rows; ++y) {
      const uint8_t* in = strip + std::size_t(y) * stride + std::size_t(x0) * kPlanes;
      std::ptrdiff_t to = first + y * step_y + x0 * step_x;
      for (int32_t i = 0; i < n; ++i, in += kPlanes, to += step_x)
        for (int p = 0; p < kPlanes; ++p) pixels[to + p] = in[p];
    }
  }
}

void scatter_any(const uint8_t* strip, std::size_t stride, int32_t width, int32_t rows,
                 int32_t planes, uint8_t* pixels, std::ptrdiff_t first, std::ptrdiff_t step_x,
                 std::ptrdiff_t step_y) {
  for (int32_t y = 0; y < rows; ++y) {
    const uint8_t* in = strip + std::size_t(y) * stride;
    std::ptrdiff_t to = first + y * step_y;
    for (int32_t x = 0; x < width; ++x, in += planes, to += step_x)
      std::memcpy(pixels + to, in, std::size_t(planes));
  }
}

// Replaces the value N of `name="N"` or `<name>N</name>` with 1, wherever it stands.
void set_xmp_orientation(std::vector<uint8_t>* xmp) {
  std::string text(xmp->begin(), xmp->end());
  for (const char* form : {"tiff:Orientation=\"", "tiff:Orientation='", "<tiff:Orientation>"}) {
    const std::size_t length = std::strlen(form);
    for (std::size_t at = text.find(form); at != std::string::npos;
         at = text.find(form, at + length)) {
      const std::size_t value = at + length;
      if (value + 1 < text.size() && text[value] >= '1' && text[value] <= '8' &&
          (text[value + 1] == '"' || text[value + 1] == '\'' || text[value + 1] == '<'))
        (*xmp)[value] = '1';
    }
  }
}

}  // namespace

int exif_orientation(const uint8_t* data, std::size_t size) {
  const Tiff tiff = open_tiff(data, size);
  const std::size_t at = orientation_entry(tiff);
  const uint32_t value = at != 0 ? orientation_value(tiff, at) : 1;
  return value >= 1 && value <= 8 ? int(value) : 1;
}

int exif_orientation(const std::vector<uint8_t>& exif) {
  return exif_orientation(exif.data(), exif.size());
}

std::pair<int32_t, int32_t> upright_position(int32_t x, int32_t y, int32_t width, int32_t height,
                                             int orientation) {
  const int32_t right = width - 1 - x, bottom = height - 1 - y;
  switch (orientation) {
    case 2:  // mirrored left to right
      return {right, y};
    case 3:  // turned half round
      return {right, bottom};
    case 4:  // mirrored top to bottom
      return {x, bottom};
    case 5:  // mirrored along the main diagonal
      return {y, x};
    case 6:  // to be turned a quarter clockwise
      return {bottom, x};
    case 7:  // mirrored along the other diagonal
      return {bottom, right};
    case 8:  // to be turned a quarter anticlockwise
      return {y, right};
    default:
      return {x, y};
  }
}

void place_upright(const uint8_t* strip, std::size_t stride, int32_t left, int32_t top,
                   int32_t width, int32_t rows, int32_t stored_width, int32_t stored_height,
                   int orientation, plugin_host::Image* upright) {
  if (width <= 0 || rows <= 0) return;
  const int32_t planes = upright->planes;
  // Every orientation moves pixels by fixed steps: the offsets of the strip's first pixel and
  // of its neighbours to the right and below give them.
  auto offset = [&](int32_t x, int32_t y) {
    const auto [ux, uy] = upright_position(x, y, stored_width, stored_height, orientation);
    return (std::ptrdiff_t(uy) * upright->width + ux) * planes;
  };
  const std::ptrdiff_t first = offset(left, top);
  const std::ptrdiff_t step_x = offset(left + 1, top) - first;
  const std::ptrdiff_t step_y = offset(left, top + 1) - first;
  uint8_t* pixels = upright->pixels.data();
  if (step_x == planes) {  // rows stay rows, in their order
    for (int32_t y = 0; y < rows; ++y)
      std::memcpy(pixels + first + y * step_y, strip + std::size_t(y) * stride,
                  std::size_t(width) * std::size_t(planes));
    return;
  }
  switch (planes) {
    case 1:
      return scatter<1>(strip, stride, width, rows, pixels, first, step_x, step_y);
    case 2:
      return scatter<2>(strip, stride, width, rows, pixels, first, step_x, step_y);
    case 3:
      return scatter<3>(strip, stride, width, rows, pixels, first, step_x, step_y);
    case 4:
      return scatter<4>(strip, stride, width, rows, pixels, first, step_x, step_y);
    default:
      return scatter_any(strip, stride, width, rows, planes, pixels, first, step_x, step_y);
  }
}

void mark_upright(Metadata* metadata, int orientation) {
  if (orientation == 1) return;
  Tiff tiff = open_tiff(metadata->exif.data(), metadata->exif.size());
  if (const std::size_t at = orientation_entry(tiff)) {
    if (tiff.u16(at + 2) == 3)
      tiff.put16(at + 8, 1);
    else
      tiff.put32(at + 8, 1);
  }
  if (swaps_sides(orientation) && tiff.size != 0) {
    // The pixel dimensions of the EXIF IFD: their types, counts and values change places.
    const std::size_t pointer = tiff.entry(tiff.u32(4), 34665);
    const std::size_t exif_ifd = pointer != 0 ? tiff.u32(pointer + 8) : 0;
    const std::size_t x = tiff.entry(exif_ifd, kPixelXDimension);
    const std::size_t y = tiff.entry(exif_ifd, kPixelYDimension);
    if (x != 0 && y != 0)
      std::swap_ranges(tiff.data + x + 2, tiff.data + x + 12, tiff.data + y + 2);
  }
  set_xmp_orientation(&metadata->xmp);
}

}  // namespace image_io
