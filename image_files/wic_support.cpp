// The WIC layer's shared pieces: COM helpers and error texts, the formats this build writes,
// what a file's own header says where WIC does not tell, and the pixel layouts.
#ifdef _WIN32

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <propidl.h>
#include <wincodec.h>
#include <wincodecsdk.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "image_files/embedded_metadata.h"
#include "image_files/exif.h"
#include "image_files/image_io.h"
#include "image_files/wic.h"
#include "plugin_host/arguments.h"

namespace image_io {
namespace wic {

std::string hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

std::string system_reason(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return "no such file";
    case ERROR_PATH_NOT_FOUND:
      return "no such folder";
    case ERROR_INVALID_NAME:
      return "not a valid file name";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "the file is in use";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "the disk is full";
    case ERROR_WRITE_PROTECT:
      return "the disk is write-protected";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "out of memory";
    case ERROR_NO_DATA:
    case ERROR_BROKEN_PIPE:
      return "the reading end was closed";
    default:
      return "Windows error " + std::to_string(code);
  }
}

bool create_factory(Com<IWICImagingFactory>* factory, std::string* why) {
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory1, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, factory->out_void());
  if (FAILED(hr)) *why = "the Windows Imaging Component is not available (" + hex(hr) + ")";
  return SUCCEEDED(hr);
}

uint32_t big_endian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put_big_endian32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

std::string lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// --- the formats this build writes ---

extern const WritableFormat kPng = {"png", "png", "PNG", &GUID_ContainerFormatPng};
extern const WritableFormat kJpeg = {"jpeg", "jpg", "JPEG", &GUID_ContainerFormatJpeg};
extern const WritableFormat kTiff = {"tiff", "tif", "TIFF", &GUID_ContainerFormatTiff};
extern const WritableFormat kGif = {"gif", "gif", "GIF", &GUID_ContainerFormatGif};

const WritableFormat* writable_format(const std::string& word) {
  std::string w = lower(word);
  if (w == "png") return &kPng;
  if (w == "jpeg" || w == "jpg" || w == "jpe" || w == "jfif") return &kJpeg;
  if (w == "tiff" || w == "tif") return &kTiff;
  if (w == "gif") return &kGif;
  return nullptr;
}

// The extension of a path (after the last dot of its last part), or nothing without one.
std::optional<std::string> extension_of(const std::string& path) {
  size_t dot = path.find_last_of('.');
  size_t separator = path.find_last_of("/\\");
  if (dot == std::string::npos || (separator != std::string::npos && dot < separator))
    return std::nullopt;
  return path.substr(dot + 1);
}

// A format word as given, or a path's extension.
std::string format_word(const std::string& path_or_format) {
  if (path_or_format.find_first_of("./\\") == std::string::npos) return path_or_format;
  return extension_of(path_or_format).value_or("");
}

// Why this build cannot write what a name or format word asks for.
std::string unwritable(const std::string& path_or_format) {
  std::string list = "this build writes " + writable_formats();
  if (path_or_format == "-") return "standard output needs a format; " + list;
  std::string word = format_word(path_or_format);
  if (word.empty()) return "the name has no extension to choose a format by; " + list;
  return "this build cannot write " + lower(word) + " (it writes " + writable_formats() + ")";
}

// --- what the file's own header says, where WIC does not tell ---

void png_facts(const std::vector<uint8_t>& b, FileFacts* facts) {
  facts->png = true;
  facts->png_colour_type = b[25];
  for (size_t at = 8; at + 12 <= b.size();) {
    uint32_t length = big_endian32(&b[at]);
    if (length > b.size() - at - 12) return;
    const uint8_t* type = &b[at + 4];
    if (std::memcmp(type, "IDAT", 4) == 0) return;
    if (std::memcmp(type, "pHYs", 4) == 0 && length == 9 && b[at + 16] == 1) {
      facts->resolution = big_endian32(&b[at + 8]) > 0 && big_endian32(&b[at + 12]) > 0;
      facts->metric = true;
    }
    at += 12 + size_t(length);
  }
}

void tiff_facts(const std::vector<uint8_t>& b, FileFacts* facts) {
  facts->tiff = true;
  bool little = b[0] == 'I';
  auto u16 = [&](size_t at) {
    return little ? uint32_t(b[at] | b[at + 1] << 8) : uint32_t(b[at] << 8 | b[at + 1]);
  };
  auto u32 = [&](size_t at) {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  if (u16(2) != 42) return;
  size_t ifd = u32(4);
  if (ifd > b.size() - 2) return;
  size_t entries = u16(ifd);
  bool has_resolution = false;
  uint32_t unit = 2;  // inches unless stated
  for (size_t i = 0; i < entries && ifd + 2 + 12 * (i + 1) <= b.size(); ++i) {
    size_t entry = ifd + 2 + 12 * i;
    uint32_t tag = u16(entry), type = u16(entry + 2);
    if (tag == 262 && type == 3) facts->tiff_photometric = int(u16(entry + 8));
    if (tag == 282) has_resolution = true;
    if (tag == 296 && type == 3) unit = u16(entry + 8);
  }
  facts->resolution = has_resolution && unit != 1;
}

void jpeg_facts(const std::vector<uint8_t>& b, FileFacts* facts) {
  // The segments before the first scan; JFIF's APP0 gives units 1 (inch) or 2 (cm).
  for (size_t at = 2; at + 4 <= b.size() && b[at] == 0xFF;) {
    uint8_t marker = b[at + 1];
    size_t length = size_t(b[at + 2]) << 8 | b[at + 3];
    if (marker == 0xDA || length < 2 || at + 2 + length > b.size()) return;
    if (marker == 0xE0 && length >= 16 && std::memcmp(&b[at + 4], "JFIF\0", 5) == 0) {
      uint8_t units = b[at + 11];
      bool density = (b[at + 12] | b[at + 13]) != 0 && (b[at + 14] | b[at + 15]) != 0;
      facts->resolution = (units == 1 || units == 2) && density;
    }
    at += 2 + length;
  }
}

FileFacts file_facts(const std::vector<uint8_t>& b) {
  FileFacts facts;
  static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (b.size() >= 29 && std::memcmp(b.data(), kPngSignature, 8) == 0 &&
      std::memcmp(&b[12], "IHDR", 4) == 0) {
    png_facts(b, &facts);
  } else if (b.size() >= 8 && b[0] == b[1] && (b[0] == 'I' || b[0] == 'M')) {
    tiff_facts(b, &facts);
  } else if (b.size() >= 4 && b[0] == 0xFF && b[1] == 0xD8) {
    jpeg_facts(b, &facts);
  } else if (b.size() >= 46 && b[0] == 'B' && b[1] == 'M' && b[14] >= 40) {
    auto i32 = [&](size_t at) {
      return int32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24);
    };
    facts.resolution = i32(38) > 0 && i32(42) > 0;
    facts.metric = true;
  }
  return facts;
}

// --- pixel layouts ---

const Layout kLayouts[] = {
    {&GUID_WICPixelFormat8bppGray, 1, 0, {-1, -1, -1}, -1, {-1, -1, -1, -1}, false},
    {&GUID_WICPixelFormat24bppBGR, 3, -1, {2, 1, 0}, -1, {-1, -1, -1, -1}, false},
    {&GUID_WICPixelFormat24bppRGB, 3, -1, {0, 1, 2}, -1, {-1, -1, -1, -1}, false},
    {&GUID_WICPixelFormat32bppBGR, 4, -1, {2, 1, 0}, -1, {-1, -1, -1, -1}, false},
    {&GUID_WICPixelFormat32bppRGB, 4, -1, {0, 1, 2}, -1, {-1, -1, -1, -1}, false},
    {&GUID_WICPixelFormat32bppBGRA, 4, -1, {2, 1, 0}, 3, {-1, -1, -1, -1}, false},
    {&GUID_WICPixelFormat32bppRGBA, 4, -1, {0, 1, 2}, 3, {-1, -1, -1, -1}, false},
    {&GUID_WICPixelFormat32bppPBGRA, 4, -1, {2, 1, 0}, 3, {-1, -1, -1, -1}, true},
    {&GUID_WICPixelFormat32bppPRGBA, 4, -1, {0, 1, 2}, 3, {-1, -1, -1, -1}, true},
    {&GUID_WICPixelFormat32bppCMYK, 4, -1, {-1, -1, -1}, -1, {0, 1, 2, 3}, false},
};

const Layout* find_layout(const GUID& format) {
  for (const Layout& layout : kLayouts)
    if (IsEqualGUID(*layout.format, format)) return &layout;
  return nullptr;
}

int total_planes(Kind kind) {
  switch (kind) {
    case Kind::kGray:
      return 1;
    case Kind::kGrayAlpha:
      return 2;
    case Kind::kRgb:
      return 3;
    default:
      return 4;
  }
}

// The kind a layout holds by itself.
Kind natural_kind(const Layout& layout) {
  if (layout.cmyk[0] >= 0) return Kind::kCmyk;
  if (layout.gray >= 0) return Kind::kGray;
  return layout.alpha >= 0 ? Kind::kRgba : Kind::kRgb;
}

// The byte of a layout's pixel that feeds each plane of `kind`; false when it has none. Gray
// comes from a gray channel, else from red (WIC repeats gray into R, G and B).
bool plane_sources(Kind kind, const Layout& layout, int source[4]) {
  int gray = layout.gray >= 0 ? layout.gray : layout.rgb[0];
  switch (kind) {
    case Kind::kGray:
      source[0] = gray;
      return gray >= 0;
    case Kind::kGrayAlpha:
      source[0] = gray;
      source[1] = layout.alpha;
      return gray >= 0 && layout.alpha >= 0;
    case Kind::kRgb:
    case Kind::kRgba:
      std::copy(layout.rgb, layout.rgb + 3, source);
      source[3] = layout.alpha;
      return layout.rgb[0] >= 0 && (kind == Kind::kRgb || layout.alpha >= 0);
    case Kind::kCmyk:
      std::copy(layout.cmyk, layout.cmyk + 4, source);
      return layout.cmyk[0] >= 0;
  }
  return false;
}

PixelInfo pixel_info(IWICImagingFactory* factory, const GUID& format) {
  Com<IWICComponentInfo> info;
  Com<IWICPixelFormatInfo> pixel;
  PixelInfo result;
  if (FAILED(factory->CreateComponentInfo(format, info.out())) ||
      FAILED(info->QueryInterface(IID_IWICPixelFormatInfo, pixel.out_void())) ||
      FAILED(pixel->GetBitsPerPixel(&result.bits)) ||
      FAILED(pixel->GetChannelCount(&result.channels)))
    return PixelInfo{};
  return result;
}

bool is_indexed(const GUID& format) {
  return IsEqualGUID(format, GUID_WICPixelFormat1bppIndexed) ||
         IsEqualGUID(format, GUID_WICPixelFormat2bppIndexed) ||
         IsEqualGUID(format, GUID_WICPixelFormat4bppIndexed) ||
         IsEqualGUID(format, GUID_WICPixelFormat8bppIndexed);
}

}  // namespace wic
}  // namespace image_io

#endif  // _WIN32
