// Image files through WIC on Windows: round trips through real files, the one-line refusals,
// and writes that fail without leaving anything behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin_host/image_io.h"

namespace {

using image_io::Kind;
using image_io::LoadedImage;
using Bytes = std::vector<uint8_t>;

int planes_of(Kind kind) {
  return kind == Kind::kGray ? 1 : kind == Kind::kGrayAlpha ? 2 : kind == Kind::kRgb ? 3 : 4;
}

// Every sample differs from its neighbours left, right, above, below and in the other planes,
// so swapped planes, mirrored rows or a wrong stride all show.
LoadedImage pattern(Kind kind, int32_t width = 7, int32_t height = 5) {
  LoadedImage loaded;
  loaded.kind = kind;
  loaded.image = plugin_host::Image(width, height, planes_of(kind));
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int p = 0; p < loaded.image.planes; ++p)
        loaded.image.at(x, y)[p] = uint8_t(x * 37 + y * 101 + p * 53 + 7);
  return loaded;
}

uint32_t crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put32(Bytes* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}

void chunk(Bytes* png, const char* type, const Bytes& data) {
  put32(png, uint32_t(data.size()));
  size_t start = png->size();
  png->insert(png->end(), type, type + 4);
  png->insert(png->end(), data.begin(), data.end());
  put32(png, crc32(png->data() + start, png->size() - start));
}

// A PNG whose rows (`row_bytes` each, unfiltered) sit in one stored deflate block.
Bytes png_file(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type,
               const Bytes& rows, size_t row_bytes, const Bytes& palette = {}) {
  Bytes raw;
  for (size_t at = 0; at < rows.size(); at += row_bytes) {
    raw.push_back(0);
    raw.insert(raw.end(), rows.begin() + at, rows.begin() + at + row_bytes);
  }
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) a = (a + byte) % 65521, b = (b + a) % 65521;
  uint16_t size = uint16_t(raw.size());
  Bytes zlib = {
      0x78, 0x01, 0x01, uint8_t(size), uint8_t(size >> 8), uint8_t(~size), uint8_t(~size >> 8)};
  zlib.insert(zlib.end(), raw.begin(), raw.end());
  put32(&zlib, b << 16 | a);
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  put32(&header, width);
  put32(&header, height);
  header.insert(header.end(), {depth, colour_type, 0, 0, 0});
  chunk(&png, "IHDR", header);
  if (!palette.empty()) chunk(&png, "PLTE", palette);
  chunk(&png, "IDAT", zlib);
  chunk(&png, "IEND", {});
  return png;
}

// An uncompressed little-endian TIFF, one strip, 8 bits per sample.
Bytes tiff_file(uint16_t width, uint16_t height, uint16_t samples, uint16_t photometric,
                uint16_t extra_sample, const Bytes& pixels) {
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  uint32_t bits_at = 8 + uint32_t(pixels.size());
  std::vector<Entry> entries = {{256, 3, 1, width},
                                {257, 3, 1, height},
                                {258, 3, samples, samples == 1 ? 8u : bits_at},
                                {259, 3, 1, 1},
                                {262, 3, 1, photometric},
                                {273, 4, 1, 8},
                                {277, 3, 1, samples},
                                {278, 3, 1, height},
                                {279, 4, 1, uint32_t(pixels.size())}};
  if (samples == 2) entries[2].value = 8 | 8 << 16;
  if (extra_sample != 0) entries.push_back({338, 3, 1, extra_sample});
  Bytes out = {'I', 'I', 42, 0};
  auto le = [&out](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * i)));
  };
  le(bits_at + 2 * samples, 4);
  out.insert(out.end(), pixels.begin(), pixels.end());
  for (int i = 0; i < samples; ++i) le(8, 2);
  le(uint32_t(entries.size()), 2);
  for (const Entry& e : entries) le(e.tag, 2), le(e.type, 2), le(e.count, 4), le(e.value, 4);
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
    for (const std::string& name : files()) {
      SetFileAttributesA(path(name).c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path(name).c_str());
    }
    RemoveDirectoryA(folder_.c_str());
  }
  std::string path(const std::string& name) const { return folder_ + "\\" + name; }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path("*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
      if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0)
        names.push_back(found.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return names;
  }
  void save(const std::string& name, const Bytes& bytes) const {
    HANDLE file = CreateFileA(path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD wrote = 0;
    WriteFile(file, bytes.data(), DWORD(bytes.size()), &wrote, nullptr);
    CloseHandle(file);
    ASSERT_EQ(wrote, bytes.size());
  }
  Bytes load(const std::string& name) const {
    Bytes bytes(1 << 16);
    DWORD got = 0;
    HANDLE file = CreateFileA(path(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) ReadFile(file, bytes.data(), DWORD(bytes.size()), &got, 0);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    bytes.resize(got);
    return bytes;
  }
  std::string refusal(const std::string& name) const {
    std::string error;
    EXPECT_FALSE(image_io::read_image(path(name), &error).has_value());
    return error;
  }
  std::string folder_;
};

void expect_same(const LoadedImage& read, const LoadedImage& written) {
  EXPECT_EQ(image_io::kind_name(read.kind), std::string(image_io::kind_name(written.kind)));
  EXPECT_EQ(read.image.width, written.image.width);
  EXPECT_EQ(read.image.height, written.image.height);
  EXPECT_EQ(read.image.planes, written.image.planes);
  EXPECT_TRUE(read.image.pixels == written.image.pixels);
}

TEST_F(WicImageFiles, EveryWritableKindReadsBackExactly) {
  const struct {
    Kind kind;
    const char* name;
  } cases[] = {{Kind::kGray, "gray.png"}, {Kind::kGrayAlpha, "gray-alpha.png"},
               {Kind::kRgb, "rgb.png"},   {Kind::kRgba, "rgba.png"},
               {Kind::kGray, "gray.tif"}, {Kind::kRgb, "rgb.tif"},
               {Kind::kRgba, "rgba.tiff"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedImage written = pattern(c.kind);
    std::string error;
    ASSERT_TRUE(image_io::write_image(path(c.name), written, &error)) << error;
    auto read = image_io::read_image(path(c.name), &error);
    ASSERT_TRUE(read.has_value()) << error;
    expect_same(*read, written);
  }
}

TEST_F(WicImageFiles, GrayWithAlphaIsStoredAsPngGrayAlpha) {
  std::string error;
  ASSERT_TRUE(image_io::write_image(path("ga.png"), pattern(Kind::kGrayAlpha, 9, 4), &error));
  Bytes png = load("ga.png");
  ASSERT_GE(png.size(), 33u);
  EXPECT_EQ(png[19], 9);  // IHDR width
  EXPECT_EQ(png[25], 4);  // colour type: gray with alpha
  EXPECT_EQ(crc32(&png[12], 17), uint32_t(png[29] << 24 | png[30] << 16 | png[31] << 8 | png[32]));
}

TEST_F(WicImageFiles, ContainerFollowsExtensionInAnyCaseAndReadingFollowsContent) {
  std::string error;
  LoadedImage rgb = pattern(Kind::kRgb);
  ASSERT_TRUE(image_io::write_image(path("OUT.TIFF"), rgb, &error)) << error;
  ASSERT_TRUE(image_io::write_image(path("Out.Png"), rgb, &error)) << error;
  EXPECT_EQ(load("OUT.TIFF").at(2), 42);
  EXPECT_EQ(load("Out.Png").at(1), 'P');
  save("png-named.tif", load("Out.Png"));
  auto read = image_io::read_image(path("png-named.tif"), &error);
  ASSERT_TRUE(read.has_value()) << error;
  expect_same(*read, rgb);
}

TEST_F(WicImageFiles, TiffCmykAndGrayAlphaReadAsThoseKinds) {
  Bytes samples = {1, 50, 100, 200, 2, 51, 101, 201, 3, 52, 102, 202};
  save("cmyk.tif", tiff_file(3, 1, 4, 5, 0, samples));
  save("ga.tif", tiff_file(3, 2, 2, 1, 2, samples));
  std::string error;
  auto cmyk = image_io::read_image(path("cmyk.tif"), &error);
  ASSERT_TRUE(cmyk.has_value()) << error;
  EXPECT_EQ(cmyk->kind, Kind::kCmyk);
  EXPECT_EQ(cmyk->image.pixels, samples);
  auto ga = image_io::read_image(path("ga.tif"), &error);
  ASSERT_TRUE(ga.has_value()) << error;
  EXPECT_EQ(ga->kind, Kind::kGrayAlpha);
  EXPECT_EQ(ga->image.pixels, samples);
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
  auto read = image_io::read_image(path("cmyk.tif"), &error);
  ASSERT_TRUE(read.has_value()) << error;
  expect_same(*read, cmyk);
}

TEST_F(WicImageFiles, LowBitGrayPngExpandsAndTransparentColourAddsNoAlpha) {
  save("gray4.png", png_file(4, 1, 4, 0, {0x5F, 0xA0}, 2));
  Bytes with_key = png_file(3, 1, 8, 0, {10, 11, 12}, 3);
  Bytes key;
  chunk(&key, "tRNS", {0, 11});
  with_key.insert(with_key.begin() + 33, key.begin(), key.end());  // after IHDR
  save("keyed.png", with_key);
  std::string error;
  auto gray4 = image_io::read_image(path("gray4.png"), &error);
  ASSERT_TRUE(gray4.has_value()) << error;
  EXPECT_EQ(gray4->kind, Kind::kGray);
  EXPECT_EQ(gray4->image.pixels, Bytes({0x55, 0xFF, 0xAA, 0x00}));
  auto keyed = image_io::read_image(path("keyed.png"), &error);
  ASSERT_TRUE(keyed.has_value()) << error;
  EXPECT_EQ(keyed->kind, Kind::kGray);
  EXPECT_EQ(keyed->image.pixels, Bytes({10, 11, 12}));
}

TEST_F(WicImageFiles, RefusalsNameTheFileAndTheReason) {
  save("notes.png", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e', '\n'});
  save("deep.png", png_file(2, 1, 16, 0, {1, 2, 3, 4}, 4));
  save("indexed.png", png_file(2, 1, 8, 3, {0, 1}, 2, {255, 0, 0, 0, 0, 255}));
  EXPECT_EQ(refusal("absent.png"), path("absent.png") + ": cannot be opened (no such file)");
  EXPECT_EQ(refusal("notes.png"), path("notes.png") + ": not a PNG or TIFF image");
  EXPECT_EQ(refusal("deep.png"),
            path("deep.png") + ": 16-bit samples are not supported (8 bits per sample only)");
  EXPECT_EQ(refusal("indexed.png"),
            path("indexed.png") + ": indexed colour is not supported (gray, RGB or RGBA only)");
}

TEST_F(WicImageFiles, KindsTheContainerCannotHoldAreRefusedBeforeAnyFileExists) {
  std::string error;
  EXPECT_FALSE(image_io::write_image(path("cmyk.png"), pattern(Kind::kCmyk), &error));
  EXPECT_EQ(error,
            path("cmyk.png") + ": cannot be written (CMYK images can only be written as TIFF)");
  EXPECT_FALSE(image_io::write_image(path("ga.tif"), pattern(Kind::kGrayAlpha), &error));
  EXPECT_NE(error.find(path("ga.tif") + ": cannot be written ("), std::string::npos);
  EXPECT_TRUE(files().empty());
}

TEST_F(WicImageFiles, WriteIntoMissingFolderFailsAndCreatesNothing) {
  std::string target = path("missing\\out.png"), error;
  EXPECT_FALSE(image_io::write_image(target, pattern(Kind::kRgb), &error));
  EXPECT_EQ(error, target + ": cannot be written (no such folder)");
  EXPECT_TRUE(files().empty());
}

TEST_F(WicImageFiles, FailedReplaceLeavesTheOldTargetAndNoTemporary) {
  Bytes old = {'o', 'l', 'd'};
  save("out.png", old);
  HANDLE held = CreateFileA(path("out.png").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::string error;
  EXPECT_FALSE(image_io::write_image(path("out.png"), pattern(Kind::kRgb), &error));
  CloseHandle(held);
  EXPECT_EQ(error, path("out.png") + ": cannot be written (the file is in use)");
  EXPECT_EQ(load("out.png"), old);
  EXPECT_EQ(files(), std::vector<std::string>{"out.png"});
}

TEST_F(WicImageFiles, WriteReplacesAnExistingTargetAndLeavesNoTemporary) {
  save("out.tif", {'o', 'l', 'd'});
  LoadedImage rgba = pattern(Kind::kRgba);
  std::string error;
  ASSERT_TRUE(image_io::write_image(path("out.tif"), rgba, &error)) << error;
  auto read = image_io::read_image(path("out.tif"), &error);
  ASSERT_TRUE(read.has_value()) << error;
  expect_same(*read, rgba);
  EXPECT_EQ(files(), std::vector<std::string>{"out.tif"});
}

}  // namespace
