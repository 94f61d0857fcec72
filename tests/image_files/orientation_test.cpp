// Turning pictures upright while they are decoded: the strip kernel against the one-pixel
// mapping for every orientation, the EXIF and XMP patched in place, and the JPEG quality
// estimate on tables laid out as libjpeg lays them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image_files/embedded_metadata.h"
#include "image_files/exif.h"
#include "image_files/orientation.h"

namespace {

using image_io::ExifField;

// Stored pixels whose every byte tells its x, y and plane apart.
std::vector<uint8_t> stored_pixels(int32_t width, int32_t height, int32_t planes) {
  std::vector<uint8_t> pixels(size_t(width) * height * planes);
  for (size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = uint8_t(i % planes * 61 + i / planes % width * 7 + i / planes / width * 29 + 1);
  return pixels;
}

TEST(Upright, StripsLandWhereTheOnePixelMappingPutsThem) {
  const int32_t sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {70, 33}, {131, 5}};
  for (int orientation = 1; orientation <= 8; ++orientation)
    for (int32_t planes = 1; planes <= 5; ++planes)
      for (const auto& size : sizes) {
        const int32_t width = size[0], height = size[1];
        SCOPED_TRACE(testing::Message() << "orientation " << orientation << ", " << planes
                                        << " planes, " << width << " x " << height);
        const std::vector<uint8_t> stored = stored_pixels(width, height, planes);
        const bool swapped = image_io::swaps_sides(orientation);
        plugin_host::Image fast(swapped ? height : width, swapped ? width : height, planes);
        plugin_host::Image slow = fast;
        // Strips of uneven heights, each in two parts side by side, as decoders hand them over.
        const size_t stride = size_t(width) * planes;
        const int32_t split = width / 3;
        for (int32_t top = 0, rows = 1; top < height; top += rows, rows = rows % 4 + 2) {
          rows = std::min(rows, height - top);
          const uint8_t* strip = stored.data() + top * stride;
          image_io::place_upright(strip, stride, 0, top, split, rows, width, height, orientation,
                                  &fast);
          image_io::place_upright(strip + size_t(split) * planes, stride, split, top, width - split,
                                  rows, width, height, orientation, &fast);
        }
        for (int32_t y = 0; y < height; ++y)
          for (int32_t x = 0; x < width; ++x) {
            const auto [ux, uy] = image_io::upright_position(x, y, width, height, orientation);
            ASSERT_TRUE(ux >= 0 && ux < slow.width && uy >= 0 && uy < slow.height);
            std::memcpy(slow.at(ux, uy), stored.data() + y * stride + size_t(x) * planes,
                        size_t(planes));
          }
        ASSERT_EQ(fast.pixels, slow.pixels);
      }
}

TEST(Upright, TheMappingFollowsTheExifMeaningOfEachOrientation) {
  // Where the stored top-left and top-right corners of a 4 x 3 picture are seen.
  const int32_t expected[9][4] = {{},           {0, 0, 3, 0}, {3, 0, 0, 0},
                                  {3, 2, 0, 2}, {0, 2, 3, 2}, {0, 0, 0, 3},
                                  {2, 0, 2, 3}, {2, 3, 2, 0}, {0, 3, 0, 0}};
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const auto a = image_io::upright_position(0, 0, 4, 3, orientation);
    const auto b = image_io::upright_position(3, 0, 4, 3, orientation);
    EXPECT_EQ((std::vector<int32_t>{a.first, a.second, b.first, b.second}),
              (std::vector<int32_t>(expected[orientation], expected[orientation] + 4)))
        << "orientation " << orientation;
  }
}

ExifField field(uint8_t ifd, uint16_t tag, uint16_t type, std::vector<uint8_t> value) {
  const uint32_t count = uint32_t(value.size() / image_io::type_size(type));
  return ExifField{ifd, tag, type, count, std::move(value)};
}

// A big-endian copy of a little-endian TIFF structure whose values all fit in their entries.
std::vector<uint8_t> big_endian_copy(const std::vector<uint8_t>& little) {
  std::vector<uint8_t> big = little;
  auto u16 = [&](size_t at) { return uint32_t(little[at] | little[at + 1] << 8); };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  auto swap = [&](size_t at, size_t bytes) {
    std::reverse(big.begin() + at, big.begin() + at + bytes);
  };
  big[0] = big[1] = 'M';
  swap(2, 2);
  swap(4, 4);
  for (size_t ifd = u32(4); ifd != 0 && ifd + 2 <= little.size();) {
    const size_t count = u16(ifd);
    swap(ifd, 2);
    size_t next_pointer = 0;
    for (size_t i = 0, at = ifd + 2; i < count; ++i, at += 12) {
      const uint32_t type = u16(at + 2);
      if (u16(at) == image_io::kExifPointer) next_pointer = u32(at + 8);
      swap(at, 2);
      swap(at + 2, 2);
      swap(at + 4, 4);
      if (type == 3 || type == 4) swap(at + 8, type == 3 ? 2 : 4);  // ASCII stays as it is
    }
    swap(ifd + 2 + count * 12, 4);
    ifd = next_pointer;  // the EXIF IFD after the first
  }
  return big;
}

TEST(Upright, TheMetadataSaysUprightAndTheDimensionsFollowAQuarterTurn) {
  std::vector<uint8_t> block = image_io::exif_block(
      {field(image_io::kIfd0, 274, 3, {6, 0}), field(image_io::kIfd0, 305, 2, {'Z', 0}),
       field(image_io::kExifIfd, 40962, 4, {0xC3, 1, 0, 0}),  // 451, LONG
       field(image_io::kExifIfd, 40963, 3, {0x2C, 1})});      // 300, SHORT
  for (const std::vector<uint8_t>& exif : {block, big_endian_copy(block)}) {
    SCOPED_TRACE(exif[0] == 'I' ? "little-endian" : "big-endian");
    ASSERT_EQ(image_io::exif_orientation(exif), 6);
    image_io::Metadata m;
    m.exif = exif;
    const std::string xmp =
        "<x tiff:Orientation=\"6\"/><tiff:Orientation>6</tiff:Orientation>"
        "<y tiff:Orientation=\"9\"/>";
    m.xmp.assign(xmp.begin(), xmp.end());
    image_io::mark_upright(&m, 6);
    EXPECT_EQ(image_io::exif_orientation(m.exif), 1);
    EXPECT_EQ(m.exif.size(), exif.size());
    std::vector<ExifField> fields = image_io::exif_fields(m.exif);
    auto find = [&](uint16_t tag) {
      return *std::find_if(fields.begin(), fields.end(),
                           [&](const ExifField& f) { return f.tag == tag; });
    };
    EXPECT_EQ(find(40962).type, 3);
    EXPECT_EQ(find(40962).value, (std::vector<uint8_t>{0x2C, 1}));
    EXPECT_EQ(find(40963).type, 4);
    EXPECT_EQ(find(40963).value, (std::vector<uint8_t>{0xC3, 1, 0, 0}));
    EXPECT_EQ(find(305).value, (std::vector<uint8_t>{'Z', 0}));
    EXPECT_EQ(std::string(m.xmp.begin(), m.xmp.end()),
              "<x tiff:Orientation=\"1\"/><tiff:Orientation>1</tiff:Orientation>"
              "<y tiff:Orientation=\"9\"/>");
  }
  // A half turn leaves the dimensions; a value outside 1..8, or none, reads as 1.
  image_io::Metadata half;
  half.exif = block;
  image_io::mark_upright(&half, 3);
  EXPECT_EQ(image_io::exif_fields(half.exif)[2].type, 4);
  EXPECT_EQ(image_io::exif_orientation(image_io::exif_block({field(0, 274, 3, {9, 0})})), 1);
  image_io::Metadata as_long;  // some writers store it as a LONG
  as_long.exif = image_io::exif_block({field(0, 274, 4, {8, 0, 0, 0})});
  EXPECT_EQ(image_io::exif_orientation(as_long.exif), 8);
  image_io::mark_upright(&as_long, 8);
  EXPECT_EQ(image_io::exif_orientation(as_long.exif), 1);
  EXPECT_EQ(image_io::exif_orientation(image_io::exif_block({field(0, 305, 2, {'Z', 0})})), 1);
  EXPECT_EQ(image_io::exif_orientation(std::vector<uint8_t>{'I', 'I', 42, 0}), 1);
}

// A JPEG header as libjpeg writes it for a quality: both tables, 8-bit, in one segment or two.
std::vector<uint8_t> jpeg_header(int quality, bool one_segment, bool sixteen_bit = false) {
  const uint8_t luminance[64] = {16,  11, 12, 14,  12,  10,  16,  14,  13, 14,  18,  17,  16,
                                 19,  24, 40, 26,  24,  22,  22,  24,  49, 35,  37,  29,  40,
                                 58,  51, 61, 60,  57,  51,  56,  55,  64, 72,  92,  78,  64,
                                 68,  87, 69, 55,  56,  80,  109, 81,  87, 95,  98,  103, 104,
                                 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
  const uint8_t chrominance[10] = {17, 18, 18, 24, 21, 24, 47, 26, 26, 47};
  const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  std::vector<uint8_t> out = {0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 'J', 'F'};  // a short APP0 first
  const size_t table_bytes = sixteen_bit ? 129 : 65;
  for (int t = 0; t < 2; ++t) {
    if (t == 0 || !one_segment) {
      const size_t length = 2 + table_bytes * (one_segment ? 2 : 1);
      out.insert(out.end(), {0xFF, 0xDB, uint8_t(length >> 8), uint8_t(length)});
    }
    out.push_back(uint8_t((sixteen_bit ? 0x10 : 0) | t));
    for (int i = 0; i < 64; ++i) {
      const int base = t == 0 ? luminance[i] : i < 10 ? chrominance[i] : 99;
      const int value = std::clamp((base * scale + 50) / 100, 1, 255);
      if (sixteen_bit) out.push_back(0);
      out.push_back(uint8_t(value));
    }
  }
  out.insert(out.end(), {0xFF, 0xDA, 0, 2, 0xFF, 0xD9});
  return out;
}

TEST(JpegQuality, TheTablesLibjpegWritesGiveBackTheirQuality) {
  for (int quality = 1; quality <= 100; ++quality) {
    const std::vector<uint8_t> a = jpeg_header(quality, true), b = jpeg_header(quality, false),
                               c = jpeg_header(quality, false, true);
    EXPECT_EQ(image_io::jpeg_quality(a.data(), a.size()), quality);
    EXPECT_EQ(image_io::jpeg_quality(b.data(), b.size()), quality);
    EXPECT_EQ(image_io::jpeg_quality(c.data(), c.size()), quality);
  }
  // Tables after the pixels begin are not the picture's; no JPEG, no tables, a cut table: 0.
  const std::vector<uint8_t> header = jpeg_header(75, true);
  std::vector<uint8_t> late(header.begin(), header.begin() + 8);  // the tables after SOS
  late.insert(late.end(), header.end() - 6, header.end() - 2);
  late.insert(late.end(), header.begin() + 8, header.end() - 6);
  late.insert(late.end(), {0xFF, 0xD9});
  EXPECT_EQ(image_io::jpeg_quality(late.data(), late.size()), 0);
  const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
  EXPECT_EQ(image_io::jpeg_quality(png.data(), png.size()), 0);
  std::vector<uint8_t> cut = jpeg_header(75, true);
  cut.resize(60);
  EXPECT_EQ(image_io::jpeg_quality(cut.data(), cut.size()), 0);
}

}  // namespace
