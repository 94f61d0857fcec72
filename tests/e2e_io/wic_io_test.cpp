// Image files through WIC on Windows: round trips through real files, files made byte by byte
// here, the one-line refusals, writes that fail without leaving anything behind, metadata,
// UTF-8 names and the standard streams. Where this system's WIC cannot store a part of the
// metadata (wine cannot), the tests ask WIC directly and then expect it to be left out.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <wincodec.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "command/settings_file.h"
#include "image_files/image_io.h"
#include "image_files/orientation.h"
#include "plugin_host/arguments.h"

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
  int planes = planes_of(kind);
  LoadedImage loaded;
  loaded.kind = kind;
  loaded.image = plugin_host::Image(width, height, planes);
  for (size_t i = 0; i < loaded.image.pixels.size(); ++i) {
    size_t x = i / planes % width, y = i / planes / width, p = i % planes;
    loaded.image.pixels[i] = uint8_t(x * 37 + y * 101 + p * 53 + 7);
  }
  return loaded;
}

// Smooth shading, as photographs have, for the lossy format.
LoadedImage photo(Kind kind, int32_t width = 96, int32_t height = 64) {
  LoadedImage loaded = pattern(kind, width, height);
  int planes = loaded.image.planes;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int p = 0; p < planes; ++p)
        loaded.image.at(x, y)[p] =
            uint8_t(128 + 90 * std::sin(x / 17.0 + p) * std::cos(y / 13.0 - p));
  return loaded;
}

void put_be32(Bytes* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}

void put_le(Bytes* out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(uint8_t(v >> (8 * i)));
}

// zlib data of one stored deflate block.
Bytes zlib_stored(const Bytes& raw) {
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) a = (a + byte) % 65521, b = (b + a) % 65521;
  uint16_t n = uint16_t(raw.size());
  Bytes zlib;
  zlib.reserve(raw.size() + 11);
  for (uint8_t byte : {0x78, 0x01, 0x01, n & 0xFF, n >> 8, ~n & 0xFF, (~n >> 8) & 0xFF})
    zlib.push_back(byte);
  zlib.insert(zlib.end(), raw.begin(), raw.end());
  put_be32(&zlib, b << 16 | a);
  return zlib;
}

struct Chunk {
  const char* type;
  Bytes data;
};

void put_chunk(Bytes* png, const Chunk& c) {
  put_be32(png, uint32_t(c.data.size()));
  size_t start = png->size();
  png->insert(png->end(), c.type, c.type + 4);
  png->insert(png->end(), c.data.begin(), c.data.end());
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = start; i < png->size(); ++i) {
    crc ^= (*png)[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  put_be32(png, ~crc);
}

// A PNG whose unfiltered rows sit in one stored deflate block; `extra` goes before IDAT.
Bytes png_file(uint32_t width, uint8_t depth, uint8_t colour_type, const Bytes& rows,
               size_t row_bytes, const std::vector<Chunk>& extra = {}) {
  Bytes raw;
  for (size_t at = 0; at < rows.size(); at += row_bytes) {
    raw.push_back(0);
    raw.insert(raw.end(), rows.begin() + at, rows.begin() + at + row_bytes);
  }
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header;
  put_be32(&header, width);
  put_be32(&header, uint32_t(rows.size() / row_bytes));
  header.insert(header.end(), {depth, colour_type, 0, 0, 0});
  put_chunk(&png, {"IHDR", header});
  for (const Chunk& c : extra) put_chunk(&png, c);
  put_chunk(&png, {"IDAT", zlib_stored(raw)});
  put_chunk(&png, {"IEND", {}});
  return png;
}

// A TIFF field: tag, type, count and the value's little-endian bytes.
struct Tag {
  uint16_t tag, type;
  uint32_t count;
  Bytes value;
};

Tag ascii(uint16_t tag, const std::string& text) {
  Bytes value(text.begin(), text.end());
  value.push_back(0);
  return {tag, 2, uint32_t(value.size()), value};
}

Tag shorts(uint16_t tag, std::vector<uint32_t> values) {
  Bytes value;
  for (uint32_t v : values) put_le(&value, v, 2);
  return {tag, 3, uint32_t(values.size()), value};
}

Tag longs(uint16_t tag, uint32_t v) {
  Bytes value;
  put_le(&value, v, 4);
  return {tag, 4, 1, value};
}

Tag rational(uint16_t tag, uint32_t numerator, uint32_t denominator) {
  Bytes value;
  put_le(&value, numerator, 4);
  put_le(&value, denominator, 4);
  return {tag, 5, 1, value};
}

// An uncompressed little-endian TIFF of one strip with `more` fields; ExtraSamples only when
// `extra` is nonzero.
Bytes tiff_file(uint32_t width, uint32_t samples, uint32_t photometric, uint32_t extra,
                const Bytes& pixels, std::vector<Tag> more = {}, uint32_t bits = 8) {
  uint32_t height = uint32_t(pixels.size() * 8 / bits / samples / width);
  std::vector<Tag> tags = {longs(256, width),
                           longs(257, height),
                           shorts(258, std::vector<uint32_t>(samples, bits)),
                           shorts(259, {1}),
                           shorts(262, {photometric}),
                           longs(273, 8),
                           shorts(277, {samples}),
                           longs(278, height),
                           longs(279, uint32_t(pixels.size()))};
  if (extra != 0) tags.push_back(shorts(338, {extra}));
  tags.insert(tags.end(), more.begin(), more.end());
  std::sort(tags.begin(), tags.end(), [](const Tag& a, const Tag& b) { return a.tag < b.tag; });
  Bytes out = {'I', 'I', 42, 0, 0, 0, 0, 0};
  out.resize(8 + pixels.size());
  std::copy(pixels.begin(), pixels.end(), out.begin() + 8);
  std::vector<uint32_t> at(tags.size(), 0);
  for (size_t i = 0; i < tags.size(); ++i) {
    if (tags[i].value.size() <= 4) continue;
    if (out.size() & 1) out.push_back(0);
    at[i] = uint32_t(out.size());
    out.insert(out.end(), tags[i].value.begin(), tags[i].value.end());
  }
  if (out.size() & 1) out.push_back(0);
  uint32_t ifd = uint32_t(out.size());
  for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(ifd >> (8 * i));
  put_le(&out, uint32_t(tags.size()), 2);
  for (size_t i = 0; i < tags.size(); ++i) {
    put_le(&out, tags[i].tag, 2);
    put_le(&out, tags[i].type, 2);
    put_le(&out, tags[i].count, 4);
    Bytes inline_value = tags[i].value;
    inline_value.resize(4, 0);
    if (tags[i].value.size() <= 4)
      out.insert(out.end(), inline_value.begin(), inline_value.end());
    else
      put_le(&out, at[i], 4);
  }
  put_le(&out, 0, 4);
  return out;
}

// A GIF with a four-colour global palette, `transparent` the transparent index (or -1). The
// LZW codes stay 3 bits wide: a clear code before every second pixel.
Bytes gif_file(uint16_t width, const Bytes& indices, const Bytes& palette, int transparent) {
  uint16_t height = uint16_t(indices.size() / width);
  Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
  put_le(&out, width, 2);
  put_le(&out, height, 2);
  out.insert(out.end(), {0x81, 0, 0});
  out.insert(out.end(), palette.begin(), palette.end());
  if (transparent >= 0) out.insert(out.end(), {0x21, 0xF9, 4, 1, 0, 0, uint8_t(transparent), 0});
  out.push_back(0x2C);
  put_le(&out, 0, 4);
  put_le(&out, width, 2);
  put_le(&out, height, 2);
  out.insert(out.end(), {0, 2});
  std::vector<uint8_t> codes;
  for (size_t i = 0; i < indices.size(); ++i) {
    if (i % 2 == 0) codes.push_back(4);
    codes.push_back(indices[i]);
  }
  codes.push_back(5);
  Bytes data;
  uint32_t bits = 0, filled = 0;
  for (uint8_t code : codes) {
    bits |= uint32_t(code) << filled;
    filled += 3;
    for (; filled >= 8; filled -= 8, bits >>= 8) data.push_back(uint8_t(bits));
  }
  if (filled > 0) data.push_back(uint8_t(bits));
  out.push_back(uint8_t(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), {0, 0x3B});
  return out;
}

// A bottom-up 24-bit BMP at 2835 pixels per metre (72 dpi) from top-down RGB rows.
Bytes bmp_file(int32_t width, const Bytes& rgb) {
  int32_t height = int32_t(rgb.size() / 3 / width);
  uint32_t stride = (uint32_t(width) * 3 + 3) & ~3u;
  Bytes out = {'B', 'M'};
  put_le(&out, 54 + stride * height, 4);
  put_le(&out, 0, 4);
  put_le(&out, 54, 4);
  for (uint32_t v : {40u, uint32_t(width), uint32_t(height)}) put_le(&out, v, 4);
  put_le(&out, 1, 2);
  put_le(&out, 24, 2);
  for (uint32_t v : {0u, stride * height, 2835u, 2835u, 0u, 0u}) put_le(&out, v, 4);
  for (int32_t y = height - 1; y >= 0; --y) {
    for (int32_t x = 0; x < width; ++x)
      for (int c = 2; c >= 0; --c) out.push_back(rgb[(size_t(y) * width + x) * 3 + c]);
    out.resize(out.size() + stride - width * 3, 0);
  }
  return out;
}

// A small ICC profile (an RGB display profile with no tags) whose creator and profile id are
// bytes to compare.
Bytes icc_profile() {
  Bytes icc(132, 0);
  icc[3] = 132;
  icc[8] = 2;
  icc[9] = 0x10;
  std::memcpy(&icc[12], "mntrRGB XYZ ", 12);
  std::memcpy(&icc[36], "acsp", 4);
  const uint8_t d50[12] = {0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D};
  std::memcpy(&icc[68], d50, 12);
  std::memcpy(&icc[80], "zrbl", 4);
  for (size_t i = 84; i < 100; ++i) icc[i] = uint8_t(i * 7);
  return icc;
}

const char kXmp[] =
    "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
    "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
    "rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/' dc:format='image/tiff'/>"
    "</rdf:RDF></x:xmpmeta><?xpacket end='w'?>";

// The first IFD of an EXIF block: tag -> its value bytes (little-endian blocks only).
std::map<uint16_t, Bytes> first_ifd(const Bytes& exif) {
  std::map<uint16_t, Bytes> tags;
  if (exif.size() < 8 || exif[0] != 'I') return tags;
  auto u16 = [&](size_t at) { return uint32_t(exif[at] | exif[at + 1] << 8); };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  size_t ifd = u32(4);
  static const uint32_t kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  for (size_t i = 0; ifd + 2 + 12 * (i + 1) <= exif.size() && i < u16(ifd); ++i) {
    size_t entry = ifd + 2 + 12 * i;
    uint32_t type = u16(entry + 2);
    size_t bytes = size_t(type < 13 ? kSizes[type] : 0) * u32(entry + 4);
    size_t at = bytes <= 4 ? entry + 8 : u32(entry + 8);
    if (at + bytes <= exif.size()) tags[uint16_t(u16(entry))] = Bytes(&exif[at], &exif[at] + bytes);
  }
  return tags;
}

// The size of a noisy 32 x 32 picture encoded straight through this system's JPEG encoder at
// an ImageQuality (0..1); 0 when it cannot be encoded.
size_t wic_jpeg_size(float quality) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IWICImagingFactory* factory = nullptr;
  IStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* options = nullptr;
  Bytes pixels(32 * 32 * 3);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 2654435761u >> 24);
  PROPBAG2 name = {};
  name.pstrName = const_cast<wchar_t*>(L"ImageQuality");
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_R4;
  value.fltVal = quality;
  GUID format = GUID_WICPixelFormat24bppBGR;
  STATSTG stat = {};
  bool ok =
      SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory1, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))) &&
      SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) &&
      SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder)) &&
      SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
      SUCCEEDED(encoder->CreateNewFrame(&frame, &options)) &&
      SUCCEEDED(options->Write(1, &name, &value)) && SUCCEEDED(frame->Initialize(options)) &&
      SUCCEEDED(frame->SetSize(32, 32)) && SUCCEEDED(frame->SetPixelFormat(&format)) &&
      SUCCEEDED(frame->WritePixels(32, 96, UINT(pixels.size()), pixels.data())) &&
      SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit()) &&
      SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME));
  for (IUnknown* object :
       std::initializer_list<IUnknown*>{options, frame, encoder, stream, factory})
    if (object != nullptr) object->Release();
  CoUninitialize();
  return ok ? size_t(stat.cbSize.QuadPart) : 0;
}

std::wstring wide(const std::string& utf8) {
  std::wstring result;
  EXPECT_TRUE(plugin_host::to_wide(utf8, &result)) << utf8;
  return result;
}

class WicImageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, base), 0u);
    static int serial = 0;
    folder_ = plugin_host::to_utf8(base) + "zorbel-wic-" + std::to_string(GetCurrentProcessId()) +
              "-" + std::to_string(++serial);
    ASSERT_TRUE(CreateDirectoryW(wide(folder_).c_str(), nullptr));
  }
  void TearDown() override {
    for (const std::string& name : files()) DeleteFileW(wide(path(name)).c_str());
    RemoveDirectoryW(wide(folder_).c_str());
  }
  std::string path(const std::string& name) const { return folder_ + "\\" + name; }
  // The names in the folder, as UTF-8.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(path("*")).c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
      if (found.cFileName[0] != L'.') names.push_back(plugin_host::to_utf8(found.cFileName));
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
  }
  void save(const std::string& name, const Bytes& bytes) const {
    FILE* out = plugin_host::open_file(path(name), "wb");
    ASSERT_NE(out, nullptr) << name;
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  }
  Bytes load(const std::string& name) const {
    Bytes bytes;
    FILE* in = plugin_host::open_file(path(name), "rb");
    if (in == nullptr) return bytes;
    for (int c; (c = std::fgetc(in)) != EOF;) bytes.push_back(uint8_t(c));
    std::fclose(in);
    return bytes;
  }
  LoadedImage read(const std::string& name,
                   image_io::Orientation orientation = image_io::Orientation::kUpright) const {
    std::string error;
    auto image = image_io::read_image(path(name), &error, orientation);
    EXPECT_TRUE(image.has_value()) << error;
    return image ? std::move(*image) : LoadedImage{};
  }
  void write(const std::string& name, const LoadedImage& image,
             const image_io::WriteOptions& options = {}) const {
    std::string error;
    EXPECT_TRUE(image_io::write_image(path(name), image, options, &error)) << error;
  }
  // Reads a file that must load, as `kind`, `width` pixels wide, with these pixels.
  void expect_reads(const std::string& name, Kind kind, int32_t width, const Bytes& pixels) const {
    LoadedImage image = read(name);
    EXPECT_EQ(image.kind, kind) << image_io::kind_name(image.kind);
    EXPECT_EQ(image.image.width, width);
    EXPECT_TRUE(image.image.pixels == pixels);
  }
  std::string refusal(const std::string& name) const {
    std::string error;
    EXPECT_FALSE(image_io::read_image(path(name), &error).has_value());
    return error;
  }
  // Writing must fail with this reason, which write_refusal gives before any work.
  void expect_unwritable(const std::string& name, const LoadedImage& image,
                         const std::string& reason, const image_io::WriteOptions& options = {}) {
    std::string error;
    EXPECT_FALSE(image_io::write_image(path(name), image, options, &error));
    EXPECT_EQ(error, path(name) + ": cannot be written (" + reason + ")");
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
    write(c.name, written);
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
  write("large.png", large);
  expect_reads("large.png", Kind::kRgba, 2100, large.image.pixels);
}

TEST_F(WicImageFiles, FormatComesFromTheOptionsElseTheExtensionInAnyCase) {
  LoadedImage rgb = pattern(Kind::kRgb);
  write("OUT.TIFF", rgb);
  write("Out.Png", rgb);
  write("Photo.JPG", photo(Kind::kRgb));
  write("named.png", rgb, {"tif"});
  write("no-extension", photo(Kind::kGray), {"jpeg"});
  EXPECT_EQ(load("OUT.TIFF").at(2), 42);
  EXPECT_EQ(load("Out.Png").at(1), 'P');
  EXPECT_EQ(load("Photo.JPG").at(1), 0xD8);
  EXPECT_EQ(load("named.png").at(2), 42);
  EXPECT_EQ(load("no-extension").at(1), 0xD8);
  save("png-named.tif", load("Out.Png"));
  expect_reads("png-named.tif", Kind::kRgb, 7, rgb.image.pixels);
  EXPECT_EQ(read("png-named.tif").format, "png");
  EXPECT_EQ(read("named.png").format, "tiff");
  EXPECT_EQ(read("Photo.JPG").format, "jpeg");
  EXPECT_EQ(read("no-extension").kind, Kind::kGray);

  EXPECT_EQ(image_io::output_format("x.JPG"), "jpeg");
  EXPECT_EQ(image_io::output_format("jpeg"), "jpeg");
  EXPECT_EQ(image_io::output_format("C:\\a.b\\scan.Tif"), "tiff");
  EXPECT_EQ(image_io::output_format("png"), "png");
  EXPECT_FALSE(image_io::output_format("x.webp"));
  EXPECT_FALSE(image_io::output_format("C:\\a.png\\scan"));
  EXPECT_FALSE(image_io::output_format("-"));
  EXPECT_EQ(image_io::writable_formats(), "png, jpg, tif, gif");
  EXPECT_TRUE(image_io::writable_extension("a.jpeg"));
  EXPECT_FALSE(image_io::writable_extension("jpeg"));  // a name without an extension
}

TEST_F(WicImageFiles, JpegReadsBackWithinItsLossAndQualitySetsTheSize) {
  for (Kind kind : {Kind::kGray, Kind::kRgb}) {
    SCOPED_TRACE(image_io::kind_name(kind));
    LoadedImage original = photo(kind);
    write("default.jpg", original);
    LoadedImage back = read("default.jpg");
    ASSERT_EQ(back.kind, kind);
    ASSERT_EQ(back.image.pixels.size(), original.image.pixels.size());
    double total = 0;
    int worst = 0;
    for (size_t i = 0; i < back.image.pixels.size(); ++i) {
      int difference = std::abs(int(back.image.pixels[i]) - int(original.image.pixels[i]));
      total += difference;
      worst = std::max(worst, difference);
    }
    EXPECT_LT(total / back.image.pixels.size(), 2.0);
    EXPECT_LE(worst, 24);
    write("q90.jpg", original, {"", 90});
    EXPECT_EQ(load("q90.jpg"), load("default.jpg"));  // 90 unless asked
    write("q10.jpg", original, {"", 10});
    write("q50.jpg", original, {"", 50});
    write("q100.jpg", original, {"", 100});
    // wine's JPEG encoder lists ImageQuality among its options but ignores it: there every
    // quality gives the same file.
    if (wic_jpeg_size(0.1f) < wic_jpeg_size(1.0f)) {
      EXPECT_LT(load("q10.jpg").size(), load("q50.jpg").size());
      EXPECT_LT(load("q50.jpg").size(), load("q90.jpg").size());
      EXPECT_LT(load("q90.jpg").size(), load("q100.jpg").size());
    } else {
      EXPECT_EQ(load("q10.jpg"), load("q100.jpg"));
    }
  }
}

// A photograph stored sideways with its orientation tag reads upright, the tag then saying so,
// or as stored when asked; its quality is estimated from its tables.
TEST_F(WicImageFiles, ASidewaysJpegReadsUprightOrAsStoredWithItsQuality) {
  std::string error;
  auto upright = image_io::read_image(ZORBEL_TEST_PHOTOS "/sideways-q70.jpg", &error);
  auto stored = image_io::read_image(ZORBEL_TEST_PHOTOS "/sideways-q70.jpg", &error,
                                     image_io::Orientation::kAsStored);
  ASSERT_TRUE(upright && stored) << error;
  EXPECT_EQ(upright->jpeg_quality, 70);
  EXPECT_EQ(upright->turned_from, 6);
  EXPECT_EQ(stored->turned_from, 1);
  EXPECT_EQ(image_io::exif_orientation(upright->metadata.exif), 1);
  EXPECT_EQ(image_io::exif_orientation(stored->metadata.exif), 6);
  ASSERT_EQ(stored->image.width, 64);
  ASSERT_EQ(upright->image.width, 40);
  ASSERT_EQ(upright->image.height, 64);
  // Turned a quarter clockwise: the stored left column is the upright top row, right to left.
  for (int32_t y = 0; y < 40; ++y)
    for (int32_t x = 0; x < 64; ++x)
      ASSERT_TRUE(std::equal(stored->image.at(x, y), stored->image.at(x, y) + 3,
                             upright->image.at(39 - y, x)))
          << x << "," << y;
}

TEST_F(WicImageFiles, CmykIsWrittenWhereTheCodecKeepsItAndRefusedBeforehandWhereNot) {
  LoadedImage cmyk = pattern(Kind::kCmyk);
  size_t written_files = 0;
  for (const char* name : {"cmyk.tif", "cmyk.jpg"}) {
    SCOPED_TRACE(name);
    bool jpeg = std::string(name) == "cmyk.jpg";
    LoadedImage image = jpeg ? photo(Kind::kCmyk) : cmyk;
    std::optional<std::string> refused = image_io::write_refusal(name, Kind::kCmyk);
    std::string error;
    bool written = image_io::write_image(path(name), image, &error);
    EXPECT_EQ(written, !refused) << error;
    written_files += written;
    if (refused) {
      // wine: its TIFF encoder takes no CMYK, and its JPEG decoder inverts the CMYK its
      // encoder writes.
      EXPECT_EQ(*refused, jpeg ? "this system's JPEG codec reads its own CMYK files back inverted"
                               : "this system's TIFF encoder does not write CMYK");
      EXPECT_EQ(error, path(name) + ": cannot be written (" + *refused + ")");
    } else if (!jpeg) {
      expect_reads(name, Kind::kCmyk, 7, cmyk.image.pixels);
    } else {
      LoadedImage back = read(name);
      ASSERT_EQ(back.kind, Kind::kCmyk);
      ASSERT_EQ(back.image.pixels.size(), image.image.pixels.size());
      for (size_t i = 0; i < back.image.pixels.size(); ++i)
        ASSERT_LE(std::abs(int(back.image.pixels[i]) - int(image.image.pixels[i])), 24) << i;
    }
  }
  EXPECT_EQ(files().size(), written_files);  // a refused write leaves nothing
  EXPECT_EQ(image_io::write_refusal("x.png", Kind::kCmyk), "a CMYK image cannot be written as PNG");
}

TEST_F(WicImageFiles, LowBitGrayPngExpandsAndTransparentColourAddsNoAlpha) {
  save("gray4.png", png_file(4, 4, 0, {0x5F, 0xA0}, 2));
  expect_reads("gray4.png", Kind::kGray, 4, {0x55, 0xFF, 0xAA, 0x00});
  save("keyed.png", png_file(3, 8, 0, {10, 11, 12}, 3, {{"tRNS", {0, 11}}}));
  expect_reads("keyed.png", Kind::kGray, 3, {10, 11, 12});
}

TEST_F(WicImageFiles, PalettesBecomeRgbOrRgbaAndBmpReads) {
  Bytes palette = {255, 0, 0, 0, 0, 255, 10, 200, 30, 250, 250, 250};
  Bytes indices = {0, 1, 2, 3, 3, 2, 1, 0};
  auto colours = [&](bool alpha, int transparent) {
    Bytes pixels;
    for (uint8_t i : indices) {
      pixels.insert(pixels.end(), &palette[i * 3], &palette[i * 3] + 3);
      if (alpha) pixels.push_back(i == transparent ? 0 : 255);
    }
    return pixels;
  };
  save("indexed.png", png_file(4, 8, 3, indices, 4, {{"PLTE", palette}}));
  expect_reads("indexed.png", Kind::kRgb, 4, colours(false, -1));
  save("see-through.png", png_file(4, 8, 3, indices, 4, {{"PLTE", palette}, {"tRNS", {255, 0}}}));
  LoadedImage see_through = read("see-through.png");
  EXPECT_EQ(see_through.kind, Kind::kRgba);
  for (size_t i = 0; i < indices.size(); ++i)  // a transparent pixel's colour may be any
    if (indices[i] != 1) {
      EXPECT_EQ(see_through.image.pixels[4 * i + 3], 255);
    }
  save("opaque.gif", gif_file(4, indices, palette, -1));
  expect_reads("opaque.gif", Kind::kRgb, 4, colours(false, -1));
  save("clear.gif", gif_file(4, indices, palette, 2));
  LoadedImage clear = read("clear.gif");
  EXPECT_EQ(clear.kind, Kind::kRgba);
  EXPECT_EQ(clear.format, "gif");
  Bytes expected = colours(true, 2);
  ASSERT_EQ(clear.image.pixels.size(), expected.size());
  for (size_t i = 0; i < indices.size(); ++i)
    if (indices[i] != 2) {
      EXPECT_TRUE(std::equal(&expected[4 * i], &expected[4 * i] + 4, &clear.image.pixels[4 * i]));
    } else {
      EXPECT_EQ(clear.image.pixels[4 * i + 3], 0);
    }
  Bytes rgb = pattern(Kind::kRgb, 3, 2).image.pixels;
  save("plain.bmp", bmp_file(3, rgb));
  expect_reads("plain.bmp", Kind::kRgb, 3, rgb);
  LoadedImage bmp = read("plain.bmp");
  EXPECT_EQ(bmp.format, "bmp");
  EXPECT_EQ(bmp.metadata.x_dpi, 72);  // 2835 pixels per metre
}

TEST_F(WicImageFiles, RefusalsNameTheFileAndTheReason) {
  save("notes.png", {'n', 'o', 't', 'e', 's', '\n'});
  save("empty.png", {});
  save("deep.png", png_file(2, 16, 0, {1, 2, 3, 4}, 4));
  save("deep.tif", tiff_file(2, 3, 2, 0, Bytes(24, 7), {}, 16));
  LoadedImage sample = photo(Kind::kRgb);
  write("whole.png", sample);
  write("whole.jpg", sample);
  write("whole.tif", sample);
  for (const char* name : {"whole.png", "whole.jpg", "whole.tif"}) {
    Bytes bytes = load(name);
    bytes.resize(bytes.size() / 2);
    save(std::string("cut-") + name, bytes);
  }
  EXPECT_EQ(refusal("absent.png"), path("absent.png") + ": cannot be opened (no such file)");
  EXPECT_EQ(refusal("notes.png"), path("notes.png") +
                                      ": not an image format this system reads (PNG, JPEG, "
                                      "TIFF, BMP, GIF, ...)");
  EXPECT_EQ(refusal("empty.png"), path("empty.png") + ": the file is empty");
  EXPECT_EQ(refusal("deep.png"),
            path("deep.png") + ": 16-bit samples are not supported (8 bits per sample only)");
  EXPECT_EQ(refusal("deep.tif"),
            path("deep.tif") + ": 16-bit samples are not supported (8 bits per sample only)");
  for (const char* name : {"cut-whole.png", "cut-whole.jpg", "cut-whole.tif"}) {
    std::string error = refusal(name);
    EXPECT_EQ(error.rfind(path(name) + ": damaged ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST_F(WicImageFiles, WritesThatCannotHappenCreateNothing) {
  const std::string list = "this build writes png, jpg, tif, gif";
  const struct {
    const char* name;
    Kind kind;
    std::string reason;
  } kinds[] = {
      {"cmyk.png", Kind::kCmyk, "a CMYK image cannot be written as PNG"},
      {"ga.tif", Kind::kGrayAlpha, "gray with alpha can only be written as PNG on Windows"},
      {"ga.jpg", Kind::kGrayAlpha, "JPEG has no alpha; write png"},
      {"rgba.jpeg", Kind::kRgba, "JPEG has no alpha; write png or tif"},
      {"cmyk.gif", Kind::kCmyk, "a CMYK image cannot be written as GIF"},
      {"rgb.webp", Kind::kRgb, "this build cannot write webp (it writes png, jpg, tif, gif)"},
      {"rgb", Kind::kRgb, "the name has no extension to choose a format by; " + list},
  };
  for (const auto& c : kinds) {
    SCOPED_TRACE(c.name);
    expect_unwritable(c.name, pattern(c.kind), c.reason);
    EXPECT_EQ(image_io::write_refusal(path(c.name), c.kind), c.reason);
  }
  EXPECT_EQ(image_io::write_refusal("webp", Kind::kRgb),
            "this build cannot write webp (it writes png, jpg, tif, gif)");
  EXPECT_EQ(image_io::write_refusal("dir\\out.", Kind::kRgb),
            "the name has no extension to choose a format by; " + list);
  EXPECT_FALSE(image_io::write_refusal("x.jpg", Kind::kGray));
  expect_unwritable("q.jpg", pattern(Kind::kRgb), "the quality must be 1 to 100, not 101",
                    {"", 101});
  expect_unwritable("lossless.jpg", pattern(Kind::kRgb),
                    "JPEG cannot be lossless; write png or tif", {"", 0, true});
  std::string in_missing_folder = path("missing\\out.png"), error;
  EXPECT_FALSE(image_io::write_image(in_missing_folder, pattern(Kind::kRgb), &error));
  EXPECT_EQ(error, in_missing_folder + ": cannot be written (no such folder)");
  EXPECT_TRUE(files().empty());
}

TEST_F(WicImageFiles, FailedReplaceLeavesTheOldTargetAndNoTemporary) {
  save("out.png", {'o', 'l', 'd'});
  HANDLE held = CreateFileW(wide(path("out.png")).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);  // no FILE_SHARE_DELETE: cannot be replaced
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::string error;
  EXPECT_FALSE(image_io::write_image(path("out.png"), pattern(Kind::kRgb), &error));
  CloseHandle(held);
  EXPECT_EQ(error.rfind(path("out.png") + ": cannot be written (", 0), 0u) << error;
  EXPECT_EQ(load("out.png"), Bytes({'o', 'l', 'd'}));
  EXPECT_EQ(files(), std::vector<std::string>{"out.png"});
}

// Rows handed to a row writer one at a time make the file a whole-image write makes; a writer
// left unfinished, or finished short, leaves nothing, and a failed replace keeps the old file.
TEST_F(WicImageFiles, RowWritersMakeTheSameFilesOrNothing) {
  auto put_rows = [](image_io::RowWriter& writer, const LoadedImage& image, int32_t count) {
    const size_t row_bytes = size_t(image.image.width) * size_t(image.image.planes);
    for (int32_t y = 0; y < count; ++y)
      if (!writer.put(image.image.pixels.data() + size_t(y) * row_bytes)) return false;
    return true;
  };
  const struct {
    Kind kind;
    const char* name;
  } cases[] = {{Kind::kGray, "g.png"},  {Kind::kGrayAlpha, "ga.png"}, {Kind::kRgba, "rgba.png"},
               {Kind::kRgb, "rgb.tif"}, {Kind::kRgba, "rgba.tif"},    {Kind::kRgb, "rgb.jpg"},
               {Kind::kGray, "g.jpg"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedImage image = photo(c.kind, 300, 220);
    std::string error;
    auto writer = image_io::open_row_writer(path(c.name), image, {}, &error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(put_rows(*writer, image, image.image.height));
    EXPECT_FALSE(writer->put(image.image.pixels.data())) << "a row past the last";
    ASSERT_TRUE(writer->finish(&error)) << error;
    write(std::string("whole-") + c.name, image);
    EXPECT_TRUE(read(c.name).image.pixels == read(std::string("whole-") + c.name).image.pixels);
  }
  const size_t made = files().size();
  const LoadedImage image = photo(Kind::kRgb, 64, 40);
  std::string error;
  {
    auto dropped = image_io::open_row_writer(path("dropped.png"), image, {}, &error);
    ASSERT_TRUE(dropped) << error;
    ASSERT_TRUE(put_rows(*dropped, image, 20));
  }
  auto short_one = image_io::open_row_writer(path("short.tif"), image, {}, &error);
  ASSERT_TRUE(short_one) << error;
  ASSERT_TRUE(put_rows(*short_one, image, 39));
  EXPECT_FALSE(short_one->finish(&error));
  EXPECT_EQ(error, path("short.tif") + ": cannot be written (the image was not finished)");
  EXPECT_EQ(files().size(), made);
  // The target cannot be replaced while another program holds it: the old file stays.
  save("held.png", {'o', 'l', 'd'});
  HANDLE held = CreateFileW(wide(path("held.png")).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  auto blocked = image_io::open_row_writer(path("held.png"), image, {}, &error);
  ASSERT_TRUE(blocked) << error;
  ASSERT_TRUE(put_rows(*blocked, image, image.image.height));
  EXPECT_FALSE(blocked->finish(&error));
  CloseHandle(held);
  EXPECT_EQ(error.rfind(path("held.png") + ": cannot be written (", 0), 0u) << error;
  EXPECT_EQ(load("held.png"), Bytes({'o', 'l', 'd'}));
  EXPECT_EQ(files().size(), made + 1);
  EXPECT_FALSE(image_io::open_row_writer(path("missing\\out.png"), image, {}, &error));
  EXPECT_EQ(error, path("missing\\out.png") + ": cannot be written (no such folder)");
}

// Frames in few colours, each its own, so a GIF's palette keeps them exactly.
LoadedImage few_colours(int frame, Kind kind) {
  LoadedImage image = pattern(kind, 40, 24);
  for (size_t i = 0; i < image.image.pixels.size(); ++i) {
    const size_t x = i / size_t(image.image.planes) % 40, p = i % size_t(image.image.planes);
    image.image.pixels[i] = p == 3 ? uint8_t(x < 5 ? 0 : 255)  // a transparent edge
                                   : uint8_t(60 * ((x / (2 + frame) + p) % 4));
  }
  return image;
}

// The same pixels within `within`, where they show: a transparent pixel's colour is not kept
// by every format.
bool same_where_shown(const LoadedImage& a, const LoadedImage& b, int within) {
  if (a.image.pixels.size() != b.image.pixels.size()) return false;
  const int planes = a.image.planes;
  for (size_t i = 0; i < a.image.pixels.size(); i += size_t(planes)) {
    const bool hidden = a.kind == Kind::kRgba && a.image.pixels[i + 3] == 0;
    for (int p = hidden ? 3 : 0; p < planes; ++p)
      if (std::abs(a.image.pixels[i + size_t(p)] - b.image.pixels[i + size_t(p)]) > within) {
        ADD_FAILURE() << "pixel " << i / size_t(planes) << " plane " << p << ": "
                      << int(a.image.pixels[i + size_t(p)]) << " read as "
                      << int(b.image.pixels[i + size_t(p)]);
        return false;
      }
  }
  return true;
}

TEST_F(WicImageFiles, AnimationsAndPagesAreWrittenAndReadFrameByFrame) {
  const std::vector<int> delays = {100, 250, 400};
  for (const char* name : {"anim.gif", "pages.tif", "alpha.tif", "alpha.gif"}) {
    SCOPED_TRACE(name);
    const bool alpha = std::strstr(name, "alpha") != nullptr, gif = std::strstr(name, "gif");
    LoadedImage header = few_colours(0, alpha ? Kind::kRgba : Kind::kRgb);
    header.frames.count = 3;
    header.frames.delays = delays;
    header.frames.loop = 2;
    std::string error;
    auto writer = image_io::open_row_writer(path(name), header, {}, &error);
    if (alpha && gif && !writer) {
      // Where the encoder drops transparency, as wine's does, such a GIF is refused.
      EXPECT_EQ(error, path(name) +
                           ": cannot be written (this system's GIF encoder drops "
                           "transparency; write tif or png)");
      continue;
    }
    ASSERT_TRUE(writer) << error;
    for (int f = 0; f < 3; ++f) {
      const LoadedImage frame = few_colours(f, header.kind);
      for (int32_t y = 0; y < 24; ++y) ASSERT_TRUE(writer->put(frame.image.at(0, y)));
    }
    ASSERT_TRUE(writer->finish(&error)) << error;

    LoadedImage back = read(name);
    ASSERT_EQ(back.frames.count, 3);
    ASSERT_TRUE(back.frames.same_size);
    ASSERT_TRUE(back.frames.source);
    EXPECT_EQ(back.kind, header.kind);
    if (gif) {
      EXPECT_EQ(back.frames.delays, delays);
      EXPECT_EQ(back.frames.loop, 2);
    }
    // A GIF's palette comes from WIC's own reduction, which need not keep even a few colours
    // exactly.
    const int within = gif ? 8 : 0;
    EXPECT_TRUE(same_where_shown(few_colours(0, header.kind), back, within));
    for (int f = 1; f < 3; ++f) {
      ASSERT_TRUE(back.frames.source->read(f, &back.image, &error)) << error;
      EXPECT_TRUE(same_where_shown(few_colours(f, header.kind), back, within)) << "frame " << f;
    }
  }
  // One frame where the format keeps one: refused before anything is made.
  LoadedImage header = few_colours(0, Kind::kRgb);
  header.frames.count = 3;
  std::string error;
  EXPECT_FALSE(image_io::open_row_writer(path("one.png"), header, {}, &error));
  EXPECT_EQ(error, path("one.png") + ": cannot be written (PNG keeps one frame, not 3)");
  EXPECT_TRUE(image_io::holds_frames("x.GIF") && image_io::holds_frames("tif"));
  EXPECT_FALSE(image_io::holds_frames("x.jpg"));
  EXPECT_EQ(image_io::frame_formats(), "tif or gif");
}

TEST_F(WicImageFiles, ProfileAndResolutionAreReadAndTravelIntoEveryFormat) {
  Bytes icc = icc_profile();
  LoadedImage image = pattern(Kind::kRgb, 3, 2);
  Bytes iccp = {'s', 'c', 'a', 'n', 0, 0};
  Bytes compressed = zlib_stored(icc);
  iccp.insert(iccp.end(), compressed.begin(), compressed.end());
  Bytes phys;
  put_be32(&phys, 11811);  // 300 dpi in pixels per metre
  put_be32(&phys, 5906);   // 150 dpi
  phys.push_back(1);
  save("tagged.png", png_file(3, 8, 2, image.image.pixels, 9, {{"iCCP", iccp}, {"pHYs", phys}}));
  save("tagged.tif", tiff_file(3, 3, 2, 0, image.image.pixels,
                               {rational(282, 300, 1),
                                rational(283, 301, 2),
                                shorts(296, {2}),
                                {34675, 7, uint32_t(icc.size()), icc}}));
  save("untagged.png", png_file(3, 8, 2, image.image.pixels, 9));
  LoadedImage png = read("tagged.png"), tiff = read("tagged.tif");
  EXPECT_EQ(png.metadata.icc, icc);
  EXPECT_EQ(png.metadata.x_dpi, 300);
  EXPECT_EQ(png.metadata.y_dpi, 150);
  EXPECT_EQ(tiff.metadata.icc, icc);
  EXPECT_EQ(tiff.metadata.x_dpi, 300);
  EXPECT_EQ(tiff.metadata.y_dpi, 150.5);
  LoadedImage untagged = read("untagged.png");
  EXPECT_TRUE(untagged.metadata.icc.empty());
  EXPECT_EQ(untagged.metadata.x_dpi, 0);

  image.metadata.icc = icc;
  image.metadata.x_dpi = 300;
  image.metadata.y_dpi = 72;
  for (const char* name : {"out.png", "out.jpg", "out.tif"}) {
    SCOPED_TRACE(name);
    const std::string f_name = name;
    write(name, image);
    LoadedImage back = read(name);
    EXPECT_EQ(back.metadata.x_dpi, 300);
    EXPECT_EQ(back.metadata.y_dpi, 72);
    // Into the file's own segment, chunk or tag, whatever this system's encoder takes.
    EXPECT_EQ(back.metadata.icc, icc);
    write("stripped-" + f_name, image, {"", 0, false, true});
    LoadedImage stripped = read("stripped-" + f_name);
    EXPECT_TRUE(stripped.metadata.icc.empty());
    EXPECT_TRUE(stripped.image.width == 3);
  }
  // Without a resolution of its own a stripped PNG states none.
  EXPECT_EQ(read("stripped-out.png").metadata.x_dpi, 0);
}

TEST_F(WicImageFiles, ExifXmpAndIptcAreReadFromATiffAndTravelIntoEveryFormat) {
  LoadedImage image = pattern(Kind::kRgb, 3, 2);
  std::string xmp = kXmp;
  save("camera.tif", tiff_file(3, 3, 2, 0, image.image.pixels,
                               {ascii(271, "Halcyrion"),
                                ascii(305, "Zorbel test"),
                                shorts(274, {6}),
                                ascii(315, "Ana Lopez"),
                                rational(282, 240, 1),
                                rational(283, 240, 1),
                                {700, 1, uint32_t(xmp.size()), Bytes(xmp.begin(), xmp.end())}}));
  LoadedImage camera = read("camera.tif", image_io::Orientation::kAsStored);
  EXPECT_EQ(std::string(camera.metadata.xmp.begin(), camera.metadata.xmp.end()), xmp);
  std::map<uint16_t, Bytes> fields = first_ifd(camera.metadata.exif);
  ASSERT_EQ(camera.metadata.exif.size() >= 8 ? camera.metadata.exif[0] : 0, 'I');
  EXPECT_EQ(fields[271], ascii(271, "Halcyrion").value);
  EXPECT_EQ(fields[305], ascii(305, "Zorbel test").value);
  EXPECT_EQ(fields[315], ascii(315, "Ana Lopez").value);
  EXPECT_EQ(fields[274], Bytes({6, 0}));
  // What describes the stored pixels stays with the encoder; the resolution travels apart.
  for (uint16_t tag : {256, 257, 258, 259, 262, 273, 277, 278, 279, 282, 283, 700})
    EXPECT_EQ(fields.count(tag), 0u) << tag;
  EXPECT_EQ(camera.metadata.x_dpi, 240);

  // IPTC records: the record version and a caption.
  camera.metadata.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04, 0x1C,
                          0x02, 0x78, 0x00, 0x03, 'c',  'a',  't'};
  for (const char* name : {"out.jpg", "out.tif", "out.png"}) {
    SCOPED_TRACE(name);
    const std::string f_name = name;
    write(name, camera);
    LoadedImage back = read(name, image_io::Orientation::kAsStored);
    std::map<uint16_t, Bytes> kept = first_ifd(back.metadata.exif);
    EXPECT_EQ(kept[271], fields[271]);
    EXPECT_EQ(kept[274], fields[274]);
    EXPECT_EQ(kept[315], fields[315]);
    EXPECT_EQ(std::string(back.metadata.xmp.begin(), back.metadata.xmp.end()), xmp);
    // PNG has no place for IPTC.
    EXPECT_EQ(back.metadata.iptc, f_name == "out.png" ? Bytes{} : camera.metadata.iptc);
    EXPECT_EQ(back.metadata.x_dpi, 240);
    write("stripped-" + f_name, camera, {"", 0, false, true});
    LoadedImage stripped = read("stripped-" + f_name);
    EXPECT_EQ(first_ifd(stripped.metadata.exif).count(271), 0u);
    EXPECT_TRUE(stripped.metadata.xmp.empty());
    EXPECT_EQ(stripped.image.pixels.size(), camera.image.pixels.size());
  }
}

TEST_F(WicImageFiles, Utf8NamesWithAccentsAndCjkAreReadAndWritten) {
  const std::string folder = "照片 café", names[] = {"café 照片.png", "noël.jpg", "写真.tif"};
  ASSERT_TRUE(CreateDirectoryW(wide(path(folder)).c_str(), nullptr));
  LoadedImage image = pattern(Kind::kRgb);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    write(folder + "\\" + name, name == "noël.jpg" ? photo(Kind::kRgb) : image);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(path(folder + "\\" + name)).c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_EQ(plugin_host::to_utf8(found.cFileName), name);  // the name itself, not mojibake
    EXPECT_EQ(read(folder + "\\" + name).image.width, name == "noël.jpg" ? 96 : 7);
  }
  EXPECT_EQ(read(folder + "\\café 照片.png").image.pixels, image.image.pixels);
  std::string error;
  EXPECT_FALSE(image_io::read_image(path("\xff.png"), &error));
  EXPECT_EQ(error, path("\xff.png") + ": cannot be opened (the name is not valid UTF-8)");

  // The settings file takes the same names.
  std::string settings = path(folder + "\\配置\\last-settings");
  std::string save_error, notice;
  ASSERT_TRUE(settings_file::save(settings, {1, 2, 3}, &save_error)) << save_error;
  EXPECT_EQ(settings_file::load(settings, &notice), std::vector<uint8_t>({1, 2, 3}));
  DeleteFileW(wide(settings).c_str());
  RemoveDirectoryW(wide(path(folder + "\\配置")).c_str());
  for (const std::string& name : names) DeleteFileW(wide(path(folder + "\\" + name)).c_str());
  EXPECT_TRUE(RemoveDirectoryW(wide(path(folder)).c_str()));  // nothing else was left in it
}

// Runs `body` with the standard stream `fd` (0 or 1) moved onto a file.
template <typename Body>
void with_stream_on(int fd, const std::string& file, Body body) {
  FILE* stream = fd == 0 ? stdin : stdout;
  std::fflush(stream);
  int saved = _dup(fd);
  int opened =
      _wopen(wide(file).c_str(),
             fd == 0 ? _O_RDONLY | _O_BINARY : _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
  ASSERT_GE(opened, 0);
  ASSERT_EQ(_dup2(opened, fd), 0);
  _close(opened);
  body();
  std::fflush(stream);
  _dup2(saved, fd);
  _close(saved);
  std::clearerr(stream);
}

TEST_F(WicImageFiles, StandardInputAndOutputCarryWholeFilesInBinary) {
  LoadedImage image = pattern(Kind::kRgb);
  std::string error;
  bool written = false;
  with_stream_on(1, path("from-stdout.png"),
                 [&] { written = image_io::write_image("-", image, {"png"}, &error); });
  ASSERT_TRUE(written) << error;
  expect_reads("from-stdout.png", Kind::kRgb, 7, image.image.pixels);  // "\r\n\x1a\n" intact
  EXPECT_FALSE(image_io::write_image("-", image, &error));
  EXPECT_EQ(error,
            "standard output: cannot be written (standard output needs a format; this build "
            "writes png, jpg, tif, gif)");

  std::optional<LoadedImage> from_stdin;
  with_stream_on(0, path("from-stdout.png"),
                 [&] { from_stdin = image_io::read_image("-", &error); });
  ASSERT_TRUE(from_stdin.has_value()) << error;
  EXPECT_EQ(from_stdin->image.pixels, image.image.pixels);
  save("notes.txt", {'h', 'i', '\n'});
  with_stream_on(0, path("notes.txt"), [&] { from_stdin = image_io::read_image("-", &error); });
  EXPECT_FALSE(from_stdin.has_value());
  EXPECT_EQ(error.rfind("standard input: not an image format", 0), 0u) << error;
}

}  // namespace
