// Image files through WIC on Windows: round trips through real files, files made byte by byte
// here, the one-line refusals, and writes that fail without leaving anything behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plugin_host/image_io.h"

namespace {

using image_io::Kind;
using image_io::LoadedImage;
using Bytes = std::vector<uint8_t>;

// Every sample differs from its neighbours left, right, above, below and in the other planes,
// so swapped planes, mirrored rows or a wrong stride all show.
LoadedImage pattern(Kind kind, int32_t width = 7, int32_t height = 5) {
  int planes = kind == Kind::kGray ? 1 : kind == Kind::kGrayAlpha ? 2 : kind == Kind::kRgb ? 3 : 4;
  LoadedImage loaded{plugin_host::Image(width, height, planes), kind};
  for (size_t i = 0; i < loaded.image.pixels.size(); ++i) {
    size_t x = i / planes % width, y = i / planes / width, p = i % planes;
    loaded.image.pixels[i] = uint8_t(x * 37 + y * 101 + p * 53 + 7);
  }
  return loaded;
}

void put32(Bytes* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}

void chunk(Bytes* png, const char* type, const Bytes& data) {
  put32(png, uint32_t(data.size()));
  size_t start = png->size();
  png->insert(png->end(), type, type + 4);
  png->insert(png->end(), data.begin(), data.end());
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = start; i < png->size(); ++i) {
    crc ^= (*png)[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  put32(png, ~crc);
}

// A PNG whose unfiltered rows sit in one stored deflate block; `extra` goes before IDAT.
Bytes png_file(uint32_t width, uint8_t depth, uint8_t colour_type, const Bytes& rows,
               size_t row_bytes, const char* extra_type = nullptr, const Bytes& extra = {}) {
  Bytes raw;
  for (size_t at = 0; at < rows.size(); at += row_bytes) {
    raw.push_back(0);
    raw.insert(raw.end(), rows.begin() + at, rows.begin() + at + row_bytes);
  }
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) a = (a + byte) % 65521, b = (b + a) % 65521;
  uint16_t n = uint16_t(raw.size());
  Bytes zlib = {0x78, 0x01, 0x01, uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)};
  zlib.insert(zlib.end(), raw.begin(), raw.end());
  put32(&zlib, b << 16 | a);
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header;
  put32(&header, width);
  put32(&header, uint32_t(rows.size() / row_bytes));
  header.insert(header.end(), {depth, colour_type, 0, 0, 0});
  chunk(&png, "IHDR", header);
  if (extra_type != nullptr) chunk(&png, extra_type, extra);
  chunk(&png, "IDAT", zlib);
  chunk(&png, "IEND", {});
  return png;
}

// An uncompressed little-endian TIFF of one strip; ExtraSamples only when `extra` is nonzero.
Bytes tiff_file(uint32_t width, uint32_t samples, uint32_t photometric, uint32_t extra,
                const Bytes& pixels) {
  uint32_t size = uint32_t(pixels.size()), bits_at = 8 + size, height = size / samples / width;
  std::vector<std::vector<uint32_t>> tags = {
      {256, 4, 1, width},   {257, 4, 1, height},      {258, 3, samples, bits_at},
      {259, 3, 1, 1},       {262, 3, 1, photometric}, {273, 4, 1, 8},
      {277, 3, 1, samples}, {278, 4, 1, height},      {279, 4, 1, size}};
  if (extra != 0) tags.push_back({338, 3, 1, extra});
  Bytes out = {'I', 'I', 42, 0};
  auto le = [&out](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * i)));
  };
  le(bits_at + 8, 4);
  out.insert(out.end(), pixels.begin(), pixels.end());
  for (int i = 0; i < 4; ++i) le(8, 2);  // BitsPerSample, read from here when samples > 2
  if (samples <= 2) tags[2][3] = samples == 1 ? 8 : 8 | 8 << 16;
  le(uint32_t(tags.size()), 2);
  for (const auto& t : tags) le(t[0], 2), le(t[1], 2), le(t[2], 4), le(t[3], 4);
  le(0, 4);
  return out;
}

class WicImageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, base), 0u);
    static int serial = 0;
    folder_ = std::string(base) + "zorbel-wic-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++serial);
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
  }
  void TearDown() override {
    for (const std::string& name : files()) DeleteFileA(path(name).c_str());
    RemoveDirectoryA(folder_.c_str());
  }
  std::string path(const std::string& name) const { return folder_ + "\\" + name; }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path("*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
      if (found.cFileName[0] != '.') names.push_back(found.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return names;
  }
  void save(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  Bytes load(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Reads a file that must load, as `kind`, `width` pixels wide, with these pixels.
  void expect_reads(const std::string& name, Kind kind, int32_t width, const Bytes& pixels) const {
    std::string error;
    auto read = image_io::read_image(path(name), &error);
    ASSERT_TRUE(read.has_value()) << error;
    EXPECT_EQ(read->kind, kind) << image_io::kind_name(read->kind);
    EXPECT_EQ(read->image.width, width);
    EXPECT_TRUE(read->image.pixels == pixels);
  }
  std::string refusal(const std::string& name) const {
    std::string error;
    EXPECT_FALSE(image_io::read_image(path(name), &error).has_value());
    return error;
  }
  std::string folder_;
};

TEST_F(WicImageFiles, EveryWritableKindReadsBackExactlyAndReplacesAnOldFile) {
  const struct {
    Kind kind;
    const char* name;
  } cases[] = {{Kind::kGray, "g.png"},    {Kind::kGrayAlpha, "ga.png"}, {Kind::kRgb, "rgb.png"},
               {Kind::kRgba, "rgba.png"}, {Kind::kGray, "g.tif"},       {Kind::kRgb, "rgb.tif"},
               {Kind::kRgba, "rgba.tiff"}};
  save("rgba.tiff", {'o', 'l', 'd'});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedImage written = pattern(c.kind);
    std::string error;
    ASSERT_TRUE(image_io::write_image(path(c.name), written, &error)) << error;
    expect_reads(c.name, c.kind, 7, written.image.pixels);
  }
  EXPECT_EQ(files().size(), std::size(cases));  // no temporary file left
  EXPECT_EQ(load("ga.png").at(25), 4);          // stored as PNG gray with alpha
}

TEST_F(WicImageFiles, FilesMadeElsewhereReadWithPlanesInTheirOrder) {
  for (Kind kind : {Kind::kGray, Kind::kGrayAlpha, Kind::kRgb, Kind::kRgba}) {
    LoadedImage image = pattern(kind);
    uint8_t colour_type = kind == Kind::kGray        ? 0
                          : kind == Kind::kGrayAlpha ? 4
                                                     : 2 + 4 * (kind == Kind::kRgba);
    save("made.png", png_file(7, 8, colour_type, image.image.pixels, 7 * image.image.planes));
    SCOPED_TRACE(image_io::kind_name(kind));
    expect_reads("made.png", kind, 7, image.image.pixels);
  }
  Bytes samples = {1, 50, 100, 200, 2, 51, 101, 201, 3, 52, 102, 202};
  save("cmyk.tif", tiff_file(3, 4, 5, 0, samples));
  expect_reads("cmyk.tif", Kind::kCmyk, 3, samples);
  save("ga.tif", tiff_file(3, 2, 1, 2, samples));
  expect_reads("ga.tif", Kind::kGrayAlpha, 3, samples);
  save("premultiplied.tif", tiff_file(2, 4, 2, 1, {50, 100, 0, 200, 9, 9, 9, 0}));
  expect_reads("premultiplied.tif", Kind::kRgba, 2, {64, 128, 0, 200, 0, 0, 0, 0});
}

TEST_F(WicImageFiles, LargeImageReadsBackAcrossPixelBands) {
  LoadedImage large = pattern(Kind::kRgba, 2100, 2000);  // more than 16 MB of pixels
  std::string error;
  ASSERT_TRUE(image_io::write_image(path("large.png"), large, &error)) << error;
  expect_reads("large.png", Kind::kRgba, 2100, large.image.pixels);
}

TEST_F(WicImageFiles, ContainerFollowsExtensionInAnyCaseAndReadingFollowsContent) {
  LoadedImage rgb = pattern(Kind::kRgb);
  std::string error;
  ASSERT_TRUE(image_io::write_image(path("OUT.TIFF"), rgb, &error)) << error;
  ASSERT_TRUE(image_io::write_image(path("Out.Png"), rgb, &error)) << error;
  EXPECT_EQ(load("OUT.TIFF").at(2), 42);
  EXPECT_EQ(load("Out.Png").at(1), 'P');
  save("png-named.tif", load("Out.Png"));
  expect_reads("png-named.tif", Kind::kRgb, 7, rgb.image.pixels);
}

TEST_F(WicImageFiles, CmykTiffReadsBackExactlyWhereTheEncoderTakesCmyk) {
  LoadedImage cmyk = pattern(Kind::kCmyk);
  std::string error;
  if (!image_io::write_image(path("cmyk.tif"), cmyk, &error)) {
    EXPECT_EQ(error, path("cmyk.tif") +
                         ": cannot be written (the TIFF encoder here does not "
                         "take these pixels)");
    EXPECT_TRUE(files().empty());
    GTEST_SKIP() << "this system's TIFF encoder does not write CMYK (wine's does not)";
  }
  expect_reads("cmyk.tif", Kind::kCmyk, 7, cmyk.image.pixels);
}

TEST_F(WicImageFiles, LowBitGrayPngExpandsAndTransparentColourAddsNoAlpha) {
  save("gray4.png", png_file(4, 4, 0, {0x5F, 0xA0}, 2));
  expect_reads("gray4.png", Kind::kGray, 4, {0x55, 0xFF, 0xAA, 0x00});
  save("keyed.png", png_file(3, 8, 0, {10, 11, 12}, 3, "tRNS", {0, 11}));
  expect_reads("keyed.png", Kind::kGray, 3, {10, 11, 12});
}

TEST_F(WicImageFiles, RefusalsNameTheFileAndTheReason) {
  save("notes.png", {'n', 'o', 't', 'e', 's', '\n'});
  save("deep.png", png_file(2, 16, 0, {1, 2, 3, 4}, 4));
  save("indexed.png", png_file(2, 8, 3, {0, 1}, 2, "PLTE", {255, 0, 0, 0, 0, 255}));
  EXPECT_EQ(refusal("absent.png"), path("absent.png") + ": cannot be opened (no such file)");
  EXPECT_EQ(refusal("notes.png"), path("notes.png") + ": not a PNG or TIFF image");
  EXPECT_EQ(refusal("deep.png"),
            path("deep.png") + ": 16-bit samples are not supported (8 bits per sample only)");
  EXPECT_EQ(refusal("indexed.png"),
            path("indexed.png") + ": indexed colour is not supported (gray, RGB or RGBA only)");
}

TEST_F(WicImageFiles, WritesThatCannotHappenCreateNothing) {
  std::string error;
  EXPECT_FALSE(image_io::write_image(path("cmyk.png"), pattern(Kind::kCmyk), &error));
  EXPECT_EQ(error, path("cmyk.png") +
                       ": cannot be written (CMYK images can only be written "
                       "as TIFF)");
  EXPECT_FALSE(image_io::write_image(path("ga.tif"), pattern(Kind::kGrayAlpha), &error));
  EXPECT_EQ(error.rfind(path("ga.tif") + ": cannot be written (", 0), 0u) << error;
  std::string in_missing_folder = path("missing\\out.png");
  EXPECT_FALSE(image_io::write_image(in_missing_folder, pattern(Kind::kRgb), &error));
  EXPECT_EQ(error, in_missing_folder + ": cannot be written (no such folder)");
  EXPECT_TRUE(files().empty());
}

TEST_F(WicImageFiles, FailedReplaceLeavesTheOldTargetAndNoTemporary) {
  save("out.png", {'o', 'l', 'd'});
  HANDLE held = CreateFileA(path("out.png").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);  // no FILE_SHARE_DELETE: cannot be replaced
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::string error;
  EXPECT_FALSE(image_io::write_image(path("out.png"), pattern(Kind::kRgb), &error));
  CloseHandle(held);
  EXPECT_EQ(error.rfind(path("out.png") + ": cannot be written (", 0), 0u) << error;
  EXPECT_EQ(load("out.png"), Bytes({'o', 'l', 'd'}));
  EXPECT_EQ(files(), std::vector<std::string>{"out.png"});
}

}  // namespace
