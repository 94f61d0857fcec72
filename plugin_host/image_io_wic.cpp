// Image files through the Windows Imaging Component (windowscodecs), for the Windows builds.
// File names are UTF-8 and every file is reached by its wide name; "-" is standard input or
// output, in binary mode.
//
// Reading: the whole file is read into memory, WIC picks the decoder from the bytes (PNG,
// JPEG, TIFF, BMP, GIF and whatever else this system decodes), and frame 0 is converted to the
// planes of a Kind. The kind comes from the file itself where WIC's pixel format hides it: a
// PNG's IHDR colour type, a TIFF's photometric interpretation (WIC hands gray with alpha over
// as BGRA with the gray repeated). Palette images become RGB, or RGBA when the palette has
// transparent entries; samples below 8 bits are widened; more than 8 bits are refused. PNG's
// transparent-colour chunk (tRNS) on gray or RGB does not add an alpha plane, as with libpng.
//
// Writing: the format is WriteOptions::format, else the name's extension: PNG, JPEG or TIFF.
// A whole image is encoded into memory; the bytes go to a temporary file beside the target
// (listed for removal on an interruption), which then replaces it. A row writer feeds WIC's
// frame encoder band by band as rows come, straight into the temporary file (standard output:
// into memory first). Gray with alpha has no WIC pixel
// format, so it is encoded as gray twice as wide with every row filtered by "Up" (the one PNG
// filter that does not depend on the pixel size), and the IHDR is then rewritten to width / 2
// and colour type 4: the compressed rows are byte for byte those of gray with alpha. The result
// is decoded again and compared before it is kept, so an encoder that ignores the filter
// setting cannot leave a damaged file.
//
// Metadata: the resolution through WIC (GetResolution, SetResolution). The colour profile,
// EXIF and XMP are read through WIC where it gives them (GetColorContexts; the IFD, EXIF, GPS
// and Interop metadata readers, field by field into a TIFF structure; a TIFF's tag 700), and
// what it does not give is read from the file's own bytes (embedded_metadata.h: JPEG segments,
// PNG chunks, the TIFF's first IFD, IPTC too). Writing, the profile, EXIF, XMP and IPTC are put
// into the encoded bytes by this code, the same on every system: JPEG segments and PNG chunks
// after the header (such files are encoded into memory first), and a TIFF's new first IFD at
// its end. WriteOptions::strip writes none of them. Seen under wine 8.0 (Debian): its encoders
// store no profile and its query writers refuse every field, and its JPEG decoder exposes no
// metadata, which is why this code does both itself.
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

#include "plugin_host/arguments.h"
#include "plugin_host/embedded_metadata.h"
#include "plugin_host/exif.h"
#include "plugin_host/image_io.h"

namespace image_io {
namespace {

constexpr uint32_t kMaxSide = 32767;         // as the other builds
constexpr size_t kBandBytes = 16 << 20;      // pixels moved to or from WIC at a time
constexpr DWORD kMaxFileBytes = 0xFFFFFFFF;  // WIC's memory stream takes a DWORD size
constexpr int kDefaultJpegQuality = 90;

// The metadata formats of WIC's EXIF readers (wincodecsdk.h declares them; the import
// library does not define them).
constexpr GUID kFormatIfd = {
    0x537396c6, 0x2d8a, 0x4bb6, {0x9b, 0xf8, 0x2f, 0x0a, 0x8e, 0x2a, 0x3a, 0xdf}};
constexpr GUID kFormatExif = {
    0x1c3c4f9d, 0xb84a, 0x467d, {0x94, 0x93, 0x36, 0xcf, 0xbd, 0x59, 0xea, 0x57}};
constexpr GUID kFormatGps = {
    0x7134ab8a, 0x9351, 0x44ad, {0xaf, 0x62, 0x44, 0x8d, 0xb6, 0xb5, 0x02, 0xec}};
constexpr GUID kFormatInterop = {
    0xed686f8e, 0x681f, 0x4c8b, {0xbd, 0x41, 0xa8, 0xad, 0xdb, 0xf6, 0xb3, 0xfc}};
constexpr GUID kFormatApp1 = {
    0x8fd3dfc3, 0xf951, 0x492b, {0x81, 0x7f, 0x69, 0xc2, 0xe6, 0xd9, 0xa5, 0xb0}};

// Holds one COM interface and releases it.
template <typename T>
class Com {
 public:
  Com() = default;
  ~Com() { reset(); }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** out() {
    reset();
    return &p_;
  }
  void** out_void() { return reinterpret_cast<void**>(out()); }
  void reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// One PROPVARIANT, cleared when it goes.
class Variant {
 public:
  Variant() { PropVariantInit(&v_); }
  ~Variant() { PropVariantClear(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  PROPVARIANT* get() { return &v_; }
  const PROPVARIANT& operator*() const { return v_; }

 private:
  PROPVARIANT v_;
};

// COM for the duration of one call. A thread already initialised in the other apartment
// model (RPC_E_CHANGED_MODE) can still use WIC, which is free-threaded.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

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

struct WritableFormat {
  const char* word;       // as in WriteOptions::format
  const char* extension;  // the usual one, for messages
  const char* name;       // for messages
  const GUID* container;
};

const WritableFormat kPng = {"png", "png", "PNG", &GUID_ContainerFormatPng};
const WritableFormat kJpeg = {"jpeg", "jpg", "JPEG", &GUID_ContainerFormatJpeg};
const WritableFormat kTiff = {"tiff", "tif", "TIFF", &GUID_ContainerFormatTiff};

const WritableFormat* writable_format(const std::string& word) {
  std::string w = lower(word);
  if (w == "png") return &kPng;
  if (w == "jpeg" || w == "jpg" || w == "jpe" || w == "jfif") return &kJpeg;
  if (w == "tiff" || w == "tif") return &kTiff;
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

struct FileFacts {
  bool png = false;
  int png_colour_type = -1;  // IHDR colour type
  bool tiff = false;
  int tiff_photometric = -1;
  bool resolution = false;  // the file states its resolution in absolute units
  bool metric = false;      // ... in pixels per metre (PNG, BMP)
};

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

// A WIC pixel format in 8-bit samples: which byte of a pixel holds each channel.
struct Layout {
  const GUID* format;
  int bytes;    // per pixel
  int gray;     // -1 when absent
  int rgb[3];   // -1 when absent
  int alpha;    // -1 when absent
  int cmyk[4];  // -1 when absent
  bool premultiplied;
};

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

struct PixelInfo {
  UINT bits = 0;      // per pixel
  UINT channels = 0;  // 0 when WIC does not say
};

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

// A field as WIC's IFD readers hand it over: one value or a vector of the type's VARTYPE
// (RATIONAL as VT_UI8 with the numerator in the low half, UNDEFINED as a blob, ASCII as a
// string). Windows is little-endian, so the values' bytes are the field's.
std::optional<ExifField> field_from_variant(uint8_t ifd, uint16_t tag, const PROPVARIANT& v) {
  ExifField field{ifd, tag, 0, 0, {}};
  auto take = [&](uint16_t type, const void* data, size_t count) -> std::optional<ExifField> {
    if (data == nullptr || count == 0 || count > (1u << 28)) return std::nullopt;
    field.type = type;
    field.count = uint32_t(count);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    field.value.assign(bytes, bytes + count * type_size(type));
    return field;
  };
  switch (v.vt) {
    case VT_UI1:
      return take(1, &v.bVal, 1);
    case VT_VECTOR | VT_UI1:
      return take(1, v.caub.pElems, v.caub.cElems);
    case VT_I1:
      return take(6, &v.cVal, 1);
    case VT_VECTOR | VT_I1:
      return take(6, v.cac.pElems, v.cac.cElems);
    case VT_UI2:
      return take(3, &v.uiVal, 1);
    case VT_VECTOR | VT_UI2:
      return take(3, v.caui.pElems, v.caui.cElems);
    case VT_I2:
      return take(8, &v.iVal, 1);
    case VT_VECTOR | VT_I2:
      return take(8, v.cai.pElems, v.cai.cElems);
    case VT_UI4:
      return take(4, &v.ulVal, 1);
    case VT_VECTOR | VT_UI4:
      return take(4, v.caul.pElems, v.caul.cElems);
    case VT_I4:
      return take(9, &v.lVal, 1);
    case VT_VECTOR | VT_I4:
      return take(9, v.cal.pElems, v.cal.cElems);
    case VT_UI8:
      return take(5, &v.uhVal, 1);
    case VT_VECTOR | VT_UI8:
      return take(5, v.cauh.pElems, v.cauh.cElems);
    case VT_I8:
      return take(10, &v.hVal, 1);
    case VT_VECTOR | VT_I8:
      return take(10, v.cah.pElems, v.cah.cElems);
    case VT_R4:
      return take(11, &v.fltVal, 1);
    case VT_VECTOR | VT_R4:
      return take(11, v.caflt.pElems, v.caflt.cElems);
    case VT_R8:
      return take(12, &v.dblVal, 1);
    case VT_VECTOR | VT_R8:
      return take(12, v.cadbl.pElems, v.cadbl.cElems);
    case VT_BLOB:
      return take(7, v.blob.pBlobData, v.blob.cbSize);
    case VT_LPSTR:
      return v.pszVal == nullptr ? std::nullopt : take(2, v.pszVal, std::strlen(v.pszVal) + 1);
    case VT_LPWSTR:  // Windows' XP* fields: UTF-16 in BYTEs, the terminator included
      return v.pwszVal == nullptr ? std::nullopt
                                  : take(1, v.pwszVal, 2 * (std::wcslen(v.pwszVal) + 1));
    default:
      return std::nullopt;
  }
}

// What the metadata readers gave: the EXIF fields, a TIFF's XMP packet, and the first IFD's
// resolution in case the container states none.
struct MetadataWalk {
  std::vector<ExifField> fields;
  std::vector<uint8_t> xmp;
  double resolution[2] = {0, 0};  // XResolution, YResolution as stored
  uint32_t resolution_unit = 2;   // 2 inch, 3 centimetre
};

double rational(const ExifField& field) {
  if (field.type != 5 || field.value.size() < 8) return 0;
  uint32_t numerator, denominator;
  std::memcpy(&numerator, field.value.data(), 4);
  std::memcpy(&denominator, field.value.data() + 4, 4);
  return denominator == 0 ? 0 : double(numerator) / denominator;
}

void walk(IWICMetadataReader* reader, int depth, MetadataWalk* out) {
  GUID format = {};
  if (depth > 4 || FAILED(reader->GetMetadataFormat(&format))) return;
  int ifd = IsEqualGUID(format, kFormatIfd)       ? kIfd0
            : IsEqualGUID(format, kFormatExif)    ? kExifIfd
            : IsEqualGUID(format, kFormatGps)     ? kGpsIfd
            : IsEqualGUID(format, kFormatInterop) ? kInteropIfd
                                                  : -1;
  if (ifd < 0 && !IsEqualGUID(format, kFormatApp1)) return;
  UINT count = 0;
  if (FAILED(reader->GetCount(&count))) return;
  for (UINT i = 0; i < count && i < 4096; ++i) {
    Variant schema, id, value;
    if (FAILED(reader->GetValueByIndex(i, schema.get(), id.get(), value.get()))) continue;
    if ((*value).vt == VT_UNKNOWN && (*value).punkVal != nullptr) {
      Com<IWICMetadataReader> child;
      if (SUCCEEDED(
              (*value).punkVal->QueryInterface(__uuidof(IWICMetadataReader), child.out_void())))
        walk(child.get(), depth + 1, out);
      continue;
    }
    if (ifd < 0 || (*id).vt != VT_UI2) continue;
    uint16_t tag = (*id).uiVal;
    std::optional<ExifField> field = field_from_variant(uint8_t(ifd), tag, *value);
    if (!field) continue;
    if (ifd == kIfd0 && tag == kXmpTag && (field->type == 1 || field->type == 7)) {
      out->xmp = field->value;
    } else if (ifd == kIfd0 && (tag == 282 || tag == 283)) {
      out->resolution[tag - 282] = rational(*field);
    } else if (ifd == kIfd0 && tag == 296 && field->type == 3 && field->value.size() == 2) {
      out->resolution_unit = field->value[0] | field->value[1] << 8;
    } else if (travels(uint8_t(ifd), tag)) {
      out->fields.push_back(std::move(*field));
    }
  }
}

// A resolution stored in pixels per metre is taken as the whole number of dots per inch it was
// rounded from when it lies within that rounding (half a pixel per metre, 0.0127 dpi).
double whole_dpi_if_metric(double dpi, bool metric) {
  double whole = std::round(dpi);
  return metric && std::fabs(dpi - whole) <= 0.0127 ? whole : dpi;
}

// The profile, resolution, EXIF and XMP of a decoded frame, as far as this system's WIC gives
// them; what it does not give stays empty.
void read_metadata(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame,
                   const FileFacts& facts, Metadata* metadata) {
  UINT contexts = 0;
  if (SUCCEEDED(frame->GetColorContexts(0, nullptr, &contexts)) && contexts > 0 && contexts < 64) {
    std::vector<IWICColorContext*> list(contexts, nullptr);
    bool made = true;
    for (IWICColorContext*& context : list)
      made = made && SUCCEEDED(factory->CreateColorContext(&context));
    UINT got = 0;
    if (made && SUCCEEDED(frame->GetColorContexts(contexts, list.data(), &got))) {
      for (UINT i = 0; i < got && i < contexts && metadata->icc.empty(); ++i) {
        WICColorContextType type = WICColorContextUninitialized;
        UINT size = 0;
        if (FAILED(list[i]->GetType(&type)) || type != WICColorContextProfile ||
            FAILED(list[i]->GetProfileBytes(0, nullptr, &size)) || size == 0)
          continue;
        std::vector<uint8_t> profile(size);
        if (SUCCEEDED(list[i]->GetProfileBytes(size, profile.data(), &size)) &&
            size == profile.size())
          metadata->icc = std::move(profile);
      }
    }
    for (IWICColorContext* context : list)
      if (context != nullptr) context->Release();
  }

  MetadataWalk found;
  Com<IWICMetadataBlockReader> blocks;
  UINT count = 0;
  if (SUCCEEDED(frame->QueryInterface(__uuidof(IWICMetadataBlockReader), blocks.out_void())) &&
      SUCCEEDED(blocks->GetCount(&count))) {
    for (UINT i = 0; i < count && i < 256; ++i) {
      Com<IWICMetadataReader> reader;
      if (SUCCEEDED(blocks->GetReaderByIndex(i, reader.out()))) walk(reader.get(), 0, &found);
    }
  }
  metadata->exif = exif_block(std::move(found.fields));
  metadata->xmp = std::move(found.xmp);

  double x = 0, y = 0;
  if (facts.resolution && SUCCEEDED(frame->GetResolution(&x, &y)) && x > 0 && y > 0) {
    metadata->x_dpi = whole_dpi_if_metric(x, facts.metric);
    metadata->y_dpi = whole_dpi_if_metric(y, facts.metric);
  } else if (found.resolution[0] > 0 && found.resolution[1] > 0 &&
             (found.resolution_unit == 2 || found.resolution_unit == 3)) {
    double per_inch = found.resolution_unit == 3 ? 2.54 : 1.0;
    metadata->x_dpi = found.resolution[0] * per_inch;
    metadata->y_dpi = found.resolution[1] * per_inch;
  }
}

// The format word of a container: WIC's own for the common ones, else the decoder's first
// file extension.
std::string container_word(IWICBitmapDecoder* decoder, const GUID& container) {
  static const struct {
    const GUID* container;
    const char* word;
  } kWords[] = {{&GUID_ContainerFormatPng, "png"},   {&GUID_ContainerFormatJpeg, "jpeg"},
                {&GUID_ContainerFormatTiff, "tiff"}, {&GUID_ContainerFormatBmp, "bmp"},
                {&GUID_ContainerFormatGif, "gif"},   {&GUID_ContainerFormatIco, "ico"},
                {&GUID_ContainerFormatWmp, "jxr"},   {&GUID_ContainerFormatHeif, "heif"},
                {&GUID_ContainerFormatWebp, "webp"}, {&GUID_ContainerFormatDds, "dds"}};
  for (const auto& entry : kWords)
    if (IsEqualGUID(*entry.container, container)) return entry.word;
  Com<IWICBitmapDecoderInfo> info;
  wchar_t extensions[256] = {};
  UINT length = 0;
  if (SUCCEEDED(decoder->GetDecoderInfo(info.out())) &&
      SUCCEEDED(info->GetFileExtensions(256, extensions, &length))) {
    std::wstring first(extensions);
    first = first.substr(0, first.find(L','));
    if (!first.empty() && first[0] == L'.') first.erase(0, 1);
    return lower(plugin_host::to_utf8(first));
  }
  return "unknown";
}

// Decodes frame 0 of an image file's bytes. The reason for a refusal names no file.
std::optional<LoadedImage> decode(IWICImagingFactory* factory, std::vector<uint8_t>& bytes,
                                  std::string* why) {
  auto refuse = [&](const std::string& reason) -> std::optional<LoadedImage> {
    *why = reason;
    return std::nullopt;
  };
  if (bytes.empty()) return refuse("the file is empty");
  Com<IWICStream> stream;
  HRESULT hr = factory->CreateStream(stream.out());
  if (SUCCEEDED(hr)) hr = stream->InitializeFromMemory(bytes.data(), DWORD(bytes.size()));
  if (FAILED(hr)) return refuse("cannot be read (" + hex(hr) + ")");
  Com<IWICBitmapDecoder> decoder;
  hr = factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                        decoder.out());
  if (hr == WINCODEC_ERR_COMPONENTNOTFOUND)
    return refuse("not an image format this system reads (PNG, JPEG, TIFF, BMP, GIF, ...)");
  GUID container = {};
  if (SUCCEEDED(hr)) hr = decoder->GetContainerFormat(&container);
  if (FAILED(hr)) return refuse("damaged image (WIC error " + hex(hr) + ")");
  std::string word = container_word(decoder.get(), container);
  std::string damaged = "damaged " + word + " image (WIC error ";
  bool png = IsEqualGUID(container, GUID_ContainerFormatPng);

  Com<IWICBitmapFrameDecode> frame;
  GUID format = {};
  UINT width = 0, height = 0;
  hr = decoder->GetFrame(0, frame.out());
  if (SUCCEEDED(hr)) hr = frame->GetPixelFormat(&format);
  if (SUCCEEDED(hr)) hr = frame->GetSize(&width, &height);
  if (FAILED(hr)) return refuse(damaged + hex(hr) + ")");
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
    return refuse("larger than 32767 pixels a side");

  FileFacts facts = file_facts(bytes);
  const Layout* layout = find_layout(format);
  PixelInfo info = pixel_info(factory, format);
  bool indexed = is_indexed(format);
  UINT sample_bits = info.channels > 0 ? info.bits / info.channels : 0;
  if (!indexed && sample_bits > 8)
    return refuse(std::to_string(sample_bits) +
                  "-bit samples are not supported (8 bits per sample only)");

  // The kind: from the file's header where WIC's format hides it, else from the palette or
  // the pixel format.
  std::optional<Kind> kind;
  if (png) {
    switch (facts.png_colour_type) {
      case 0:
        kind = Kind::kGray;
        break;
      case 2:
        kind = Kind::kRgb;
        break;
      case 4:
        kind = Kind::kGrayAlpha;
        break;
      case 6:
        kind = Kind::kRgba;
        break;
    }
  }
  if (facts.tiff_photometric == 0 || facts.tiff_photometric == 1)
    kind = layout != nullptr && layout->alpha >= 0 ? Kind::kGrayAlpha : Kind::kGray;
  if (!kind && indexed) {
    Com<IWICPalette> palette;
    BOOL alpha = FALSE;
    hr = factory->CreatePalette(palette.out());
    if (SUCCEEDED(hr)) hr = frame->CopyPalette(palette.get());
    if (SUCCEEDED(hr)) hr = palette->HasAlpha(&alpha);
    if (FAILED(hr)) return refuse(damaged + hex(hr) + ")");
    kind = alpha ? Kind::kRgba : Kind::kRgb;
  }
  if (!kind && layout != nullptr) kind = natural_kind(*layout);
  if (!kind && sample_bits > 0 && sample_bits < 8 && info.channels <= 4)
    kind = info.channels == 1 ? Kind::kGray : info.channels == 4 ? Kind::kRgba : Kind::kRgb;
  if (!kind) return refuse("this colour layout is not supported (gray, RGB, RGBA or CMYK only)");

  // WIC's own format when it holds the planes; otherwise a conversion to BGRA (palettes, gray
  // below 8 bits, gray with a transparent colour that wine hands over as indexed, 5- and
  // 6-bit RGB).
  IWICBitmapSource* source = frame.get();
  Com<IWICFormatConverter> converter;
  int planes_from[4] = {-1, -1, -1, -1};
  if (layout == nullptr || !plane_sources(*kind, *layout, planes_from)) {
    if (*kind == Kind::kCmyk)
      return refuse("this colour layout is not supported (gray, RGB, RGBA or CMYK only)");
    const GUID& wanted = GUID_WICPixelFormat32bppBGRA;
    hr = factory->CreateFormatConverter(converter.out());
    if (SUCCEEDED(hr))
      hr = converter->Initialize(frame.get(), wanted, WICBitmapDitherTypeNone, nullptr, 0.0,
                                 WICBitmapPaletteTypeCustom);
    if (FAILED(hr)) return refuse(damaged + hex(hr) + ")");
    source = converter.get();
    layout = find_layout(wanted);
    plane_sources(*kind, *layout, planes_from);
  }

  LoadedImage loaded;
  loaded.kind = *kind;
  loaded.format = word;
  int planes = total_planes(*kind);
  loaded.image = plugin_host::Image(int32_t(width), int32_t(height), planes);
  UINT stride = width * UINT(layout->bytes);
  UINT band_rows = UINT(std::max<size_t>(1, kBandBytes / stride));
  std::vector<uint8_t> band(size_t(stride) * std::min(band_rows, height));
  for (UINT top = 0; top < height; top += band_rows) {
    UINT rows = std::min(band_rows, height - top);
    WICRect rect = {0, INT(top), INT(width), INT(rows)};
    hr = source->CopyPixels(&rect, stride, stride * rows, band.data());
    if (FAILED(hr)) return refuse(damaged + hex(hr) + ")");
    const uint8_t* in = band.data();
    uint8_t* out = loaded.image.at(0, int32_t(top));
    for (size_t n = size_t(width) * rows; n > 0; --n, in += layout->bytes, out += planes) {
      for (int p = 0; p < planes; ++p) out[p] = in[planes_from[p]];
      if (layout->premultiplied && planes_from[planes - 1] == layout->alpha) {
        uint32_t alpha = out[planes - 1];
        for (int p = 0; p < planes - 1; ++p)
          out[p] = alpha == 0
                       ? 0
                       : uint8_t(std::min<uint32_t>(255, (out[p] * 255u + alpha / 2) / alpha));
      }
    }
  }
  read_metadata(factory, frame.get(), facts, &loaded.metadata);
  // What this system's WIC did not give, from the file's own segments, chunks or IFD.
  read_jpeg_metadata(bytes.data(), bytes.size(), &loaded.metadata);
  if (facts.png) read_png_metadata(bytes.data(), bytes.size(), &loaded.metadata);
  if (facts.tiff) read_tiff_metadata(bytes.data(), bytes.size(), &loaded.metadata);
  return loaded;
}

// --- files and standard streams ---

bool read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* why) {
  std::wstring name;
  if (!plugin_host::to_wide(path, &name) || name.empty()) {
    *why = "the name is not valid UTF-8";
    return false;
  }
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = system_reason(GetLastError());
    return false;
  }
  LARGE_INTEGER size = {};
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (ok && uint64_t(size.QuadPart) > kMaxFileBytes) {
    CloseHandle(file);
    *why = "the file is larger than 4 GB";
    return false;
  }
  bytes->resize(ok ? size_t(size.QuadPart) : 0);
  if (!ok) *why = system_reason(GetLastError());
  for (size_t done = 0; ok && done < bytes->size();) {
    DWORD got = 0;
    DWORD want = DWORD(std::min<size_t>(bytes->size() - done, 1 << 24));
    ok = ReadFile(file, bytes->data() + done, want, &got, nullptr) != 0;
    if (!ok) *why = system_reason(GetLastError());
    if (ok && got == 0) {
      ok = false;
      *why = "the file shrank while being read";
    }
    done += got;
  }
  CloseHandle(file);
  return ok;
}

bool read_standard_input(std::vector<uint8_t>* bytes, std::string* why) {
  _setmode(_fileno(stdin), _O_BINARY);
  std::vector<uint8_t> buffer(1 << 16);
  for (size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), stdin)) > 0;) {
    if (got > kMaxFileBytes - bytes->size()) {
      *why = "more than 4 GB";
      return false;
    }
    bytes->insert(bytes->end(), buffer.begin(), buffer.begin() + got);
  }
  if (std::ferror(stdin)) {
    *why = "reading failed";
    return false;
  }
  return true;
}

// Writes `bytes` to a new temporary file beside `path` (listed for removal on an
// interruption), then puts it in `path`'s place.
bool replace_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* why) {
  std::string temporary = temporary_beside(path);
  std::wstring target, wide_temporary;
  if (!plugin_host::to_wide(path, &target) || target.empty() ||
      !plugin_host::to_wide(temporary, &wide_temporary)) {
    *why = "the name is not valid UTF-8";
    return false;
  }
  begin_partial_output(temporary);
  HANDLE file = CreateFileW(wide_temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = system_reason(GetLastError());
    end_partial_output(temporary);
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    DWORD wrote = 0;
    DWORD want = DWORD(std::min<size_t>(bytes.size() - done, 1 << 24));
    ok = WriteFile(file, bytes.data() + done, want, &wrote, nullptr) != 0 && wrote == want;
    done += wrote;
  }
  ok = ok && FlushFileBuffers(file) != 0;
  DWORD code = ok ? 0 : GetLastError();
  ok = CloseHandle(file) != 0 && ok;
  ok = ok && MoveFileExW(wide_temporary.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    *why = system_reason(code != 0 ? code : GetLastError());
    DeleteFileW(wide_temporary.c_str());
  }
  end_partial_output(temporary);
  return ok;
}

bool write_standard_output(const std::vector<uint8_t>& bytes, std::string* why) {
  int out = _fileno(stdout);
  if (_isatty(out)) {
    *why = "it is a terminal; send it to a file or another program";
    return false;
  }
  std::fflush(stdout);
  int mode = _setmode(out, _O_BINARY);
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
  ok = std::fflush(stdout) == 0 && ok;
  if (!ok) *why = system_reason(GetLastError());
  if (mode != -1) _setmode(out, mode);
  return ok;
}

// --- encoding ---

// An encoder setting, such as the PNG filter, the TIFF compression or the JPEG quality.
struct EncoderOption {
  const wchar_t* name;
  VARIANT value;
};

EncoderOption byte_option(const wchar_t* name, BYTE value) {
  EncoderOption option{name, {}};
  option.value.vt = VT_UI1;
  option.value.bVal = value;
  return option;
}

// The resolution goes to the encoder; the profile, EXIF, XMP and IPTC are put into the encoded
// bytes by this code (put_metadata_into), the same on every system.
void put_resolution(IWICBitmapFrameEncode* frame, const Metadata& metadata) {
  if (metadata.x_dpi > 0 || metadata.y_dpi > 0) {
    double x = metadata.x_dpi > 0 ? metadata.x_dpi : metadata.y_dpi;
    double y = metadata.y_dpi > 0 ? metadata.y_dpi : metadata.x_dpi;
    frame->SetResolution(x, y);
  }
}

// Whether any of the metadata this code embeds is there.
bool has_embedded(const Metadata& m) {
  return !m.icc.empty() || !m.exif.empty() || !m.xmp.empty() || !m.iptc.empty();
}

// Puts the profile, EXIF, XMP and IPTC into an encoded file of the format.
bool put_metadata_into(const WritableFormat& format, const Metadata& metadata,
                       std::vector<uint8_t>* bytes, std::string* why) {
  if (&format == &kJpeg) *bytes = jpeg_with_metadata(*bytes, metadata);
  if (&format == &kPng) *bytes = png_with_metadata(*bytes, metadata);
  return &format != &kTiff || add_exif_to_tiff(bytes, tiff_metadata_fields(metadata), why);
}

// The bytes written into a memory stream.
bool stream_bytes(IStream* stream, std::vector<uint8_t>* bytes, std::string* why) {
  HGLOBAL memory = nullptr;
  STATSTG stat = {};
  HRESULT hr = GetHGlobalFromStream(stream, &memory);
  if (SUCCEEDED(hr)) hr = stream->Stat(&stat, STATFLAG_NONAME);
  const uint8_t* encoded =
      SUCCEEDED(hr) ? static_cast<const uint8_t*>(GlobalLock(memory)) : nullptr;
  if (encoded == nullptr) {
    *why = "the encoded image could not be kept (" + hex(hr) + ")";
    return false;
  }
  bytes->assign(encoded, encoded + stat.cbSize.QuadPart);
  GlobalUnlock(memory);
  return true;
}

struct EncodeJob {
  const WritableFormat* format;
  const Layout* layout;
  UINT width, height;
  const uint8_t* pixels;  // rows of `width` pixels of `in_bytes` bytes; null: given row by row
  int in_bytes;
  const int* to_byte;  // byte p of a pixel goes to byte to_byte[p] of WIC's layout
  EncoderOption option;
  const Metadata* metadata;  // nothing: none written
};

// One frame being encoded into a stream: set up with the job's size, layout, option and
// metadata, then fed rows in the job's own layout, a band at a time.
class FrameWriter {
 public:
  // False, with the reason, when the encoder cannot be set up for the job.
  bool begin(IWICImagingFactory* factory, IStream* stream, const EncodeJob& job, std::string* why) {
    job_ = job;
    const char* container_name = job.format->name;
    Com<IPropertyBag2> options;
    HRESULT hr = factory->CreateEncoder(*job.format->container, nullptr, encoder_.out());
    if (SUCCEEDED(hr)) hr = encoder_->Initialize(stream, WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder_->CreateNewFrame(frame_.out(), options.out());
    if (SUCCEEDED(hr)) {
      PROPBAG2 option = {};
      option.pstrName = const_cast<wchar_t*>(job.option.name);
      VARIANT value = job.option.value;
      hr = options->Write(1, &option, &value);
    }
    if (SUCCEEDED(hr)) hr = frame_->Initialize(options.get());
    if (SUCCEEDED(hr)) hr = frame_->SetSize(job.width, job.height);
    GUID format = *job.layout->format;
    if (SUCCEEDED(hr)) hr = frame_->SetPixelFormat(&format);
    if (FAILED(hr)) {
      *why = std::string("the ") + container_name + " encoder failed (" + hex(hr) + ")";
      return false;
    }
    if (!IsEqualGUID(format, *job.layout->format)) {
      *why = std::string("the ") + container_name + " encoder here does not take these pixels";
      return false;
    }
    if (job.metadata != nullptr) put_resolution(frame_.get(), *job.metadata);
    stride_ = job.width * UINT(job.layout->bytes);
    band_rows_ = UINT(std::max<size_t>(1, kBandBytes / stride_));
    band_.resize(size_t(stride_) * std::min(band_rows_, job.height));
    return true;
  }

  // `rows` rows of the job's pixels; false once the encoder has failed.
  bool write(const uint8_t* in, UINT rows) {
    const Layout& layout = *job_.layout;
    for (; rows > 0 && SUCCEEDED(hr_); --rows) {
      uint8_t* out = band_.data() + size_t(held_) * stride_;
      for (UINT n = job_.width; n > 0; --n, in += job_.in_bytes, out += layout.bytes)
        for (int p = 0; p < job_.in_bytes; ++p) out[job_.to_byte[p]] = in[p];
      if (++held_ == band_rows_) flush();
    }
    return SUCCEEDED(hr_);
  }

  // After the last row: the frame and the file's structure are written out.
  bool end(std::string* why) {
    flush();
    if (SUCCEEDED(hr_)) hr_ = frame_->Commit();
    if (SUCCEEDED(hr_)) hr_ = encoder_->Commit();
    if (FAILED(hr_))
      *why = std::string("the ") + job_.format->name + " encoder failed (" + hex(hr_) + ")";
    return SUCCEEDED(hr_);
  }

 private:
  void flush() {
    if (held_ > 0 && SUCCEEDED(hr_))
      hr_ = frame_->WritePixels(held_, stride_, stride_ * held_, band_.data());
    held_ = 0;
  }

  EncodeJob job_{};
  Com<IWICBitmapEncoder> encoder_;
  Com<IWICBitmapFrameEncode> frame_;
  UINT stride_ = 0, band_rows_ = 0, held_ = 0;
  std::vector<uint8_t> band_;
  HRESULT hr_ = S_OK;
};

// Encodes a job's pixels into the bytes of its format.
bool encode(IWICImagingFactory* factory, const EncodeJob& job, std::vector<uint8_t>* bytes,
            std::string* why) {
  Com<IStream> stream;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.out());
  if (FAILED(hr)) {
    *why = std::string("the ") + job.format->name + " encoder failed (" + hex(hr) + ")";
    return false;
  }
  FrameWriter frame;
  if (!frame.begin(factory, stream.get(), job, why)) return false;
  frame.write(job.pixels, job.height);
  if (!frame.end(why)) return false;
  return stream_bytes(stream.get(), bytes, why);
}

// Rewrites the PNG of a gray image 2 * width wide into the same rows read as gray with alpha
// `width` wide, dropping the ancillary chunks whose contents depend on the colour type.
bool gray_to_gray_alpha_png(std::vector<uint8_t>* png, uint32_t width) {
  const std::vector<uint8_t>& in = *png;
  if (in.size() < 33 || std::memcmp(&in[12], "IHDR", 4) != 0 ||
      big_endian32(&in[16]) != 2 * width || in[24] != 8 || in[25] != 0 || in[28] != 0)
    return false;
  std::vector<uint8_t> out(in.begin(), in.begin() + 8);
  for (size_t at = 8; at + 12 <= in.size();) {
    size_t length = big_endian32(&in[at]);
    if (length > in.size() - at - 12) return false;
    std::string type(in.begin() + at + 4, in.begin() + at + 8);
    size_t next = at + 12 + length;
    bool dropped = type == "sBIT" || type == "bKGD" || type == "tRNS" || type == "PLTE" ||
                   type == "hIST" || type == "sPLT";
    if (!dropped) out.insert(out.end(), in.begin() + at, in.begin() + next);
    if (type == "IHDR") {
      uint8_t* header = &out[out.size() - 12 - length];
      put_big_endian32(header + 8, width);
      header[17] = 4;
      put_big_endian32(header + 8 + length, crc32(header + 4, 4 + length));
    }
    at = next;
    if (type == "IEND") {
      *png = std::move(out);
      return true;
    }
  }
  return false;
}

const GUID& write_pixel_format(Kind kind) {
  switch (kind) {
    case Kind::kGray:
      return GUID_WICPixelFormat8bppGray;
    case Kind::kRgb:
      return GUID_WICPixelFormat24bppBGR;
    case Kind::kCmyk:
      return GUID_WICPixelFormat32bppCMYK;
    default:
      return GUID_WICPixelFormat32bppBGRA;
  }
}

// The encoding of an image of this kind, other than gray with alpha, in this format: its WIC
// layout, the byte order (into `to_byte`, which the job points to) and the format's option.
// The job's pixels are left to the caller.
EncodeJob plain_job(const WritableFormat& format, Kind kind, UINT width, UINT height,
                    const WriteOptions& options, const Metadata* metadata, int to_byte[4]) {
  const Layout& layout = *find_layout(write_pixel_format(kind));
  plane_sources(kind, layout, to_byte);
  EncoderOption option = byte_option(L"FilterOption", WICPngFilterAdaptive);
  if (&format == &kTiff) option = byte_option(L"TiffCompressionMethod", WICTiffCompressionZIP);
  if (&format == &kJpeg) {
    option.name = L"ImageQuality";
    option.value.vt = VT_R4;
    option.value.fltVal = float(options.quality > 0 ? options.quality : kDefaultJpegQuality) / 100;
  }
  return EncodeJob{&format, &layout, width,   height, nullptr, total_planes(kind),
                   to_byte, option,  metadata};
}

bool encode_image(const WritableFormat& format, const LoadedImage& loaded,
                  const WriteOptions& options, std::vector<uint8_t>* bytes, std::string* why) {
  Com<IWICImagingFactory> factory;
  if (!create_factory(&factory, why)) return false;
  const plugin_host::Image& image = loaded.image;
  const Metadata* metadata = options.strip ? nullptr : &loaded.metadata;
  UINT width = UINT(image.width), height = UINT(image.height);
  static const int kIdentity[4] = {0, 1, 2, 3};
  if (loaded.kind == Kind::kGrayAlpha) {
    EncodeJob job{&kPng,
                  &kLayouts[0],
                  2 * width,
                  height,
                  image.pixels.data(),
                  1,
                  kIdentity,
                  byte_option(L"FilterOption", WICPngFilterUp),
                  metadata};
    if (!encode(factory.get(), job, bytes, why)) return false;
    std::string reread;
    std::optional<LoadedImage> back;
    if (gray_to_gray_alpha_png(bytes, width)) back = decode(factory.get(), *bytes, &reread);
    if (!back || back->kind != Kind::kGrayAlpha || back->image.pixels != image.pixels) {
      *why = "the PNG encoder here cannot store gray with alpha";
      return false;
    }
    return metadata == nullptr || put_metadata_into(kPng, *metadata, bytes, why);
  }
  int to_byte[4];
  EncodeJob job = plain_job(format, loaded.kind, width, height, options, metadata, to_byte);
  job.pixels = image.pixels.data();
  return encode(factory.get(), job, bytes, why) &&
         (metadata == nullptr || put_metadata_into(format, *metadata, bytes, why));
}

// Whether this system's encoder for a format takes a pixel format as it is.
bool encoder_takes(IWICImagingFactory* factory, const WritableFormat& format, const GUID& pixels) {
  Com<IStream> stream;
  Com<IWICBitmapEncoder> encoder;
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  GUID offered = pixels;
  return SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, stream.out())) &&
         SUCCEEDED(factory->CreateEncoder(*format.container, nullptr, encoder.out())) &&
         SUCCEEDED(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache)) &&
         SUCCEEDED(encoder->CreateNewFrame(frame.out(), options.out())) &&
         SUCCEEDED(frame->Initialize(options.get())) && SUCCEEDED(frame->SetSize(1, 1)) &&
         SUCCEEDED(frame->SetPixelFormat(&offered)) && IsEqualGUID(offered, pixels);
}

// Whether a CMYK JPEG this system writes reads back as written, within the loss. wine's
// encoder stores the samples as given under an Adobe marker that its decoder, as Adobe's
// convention has it, reads as inverted; such a file would show inverted elsewhere too.
bool cmyk_jpeg_reads_back(IWICImagingFactory* factory) {
  LoadedImage flat;
  flat.kind = Kind::kCmyk;
  flat.image = plugin_host::Image(8, 8, 4);
  for (size_t i = 0; i < flat.image.pixels.size(); ++i)
    flat.image.pixels[i] = uint8_t(40 + 50 * (i % 4));
  WriteOptions options;
  options.strip = true;
  std::vector<uint8_t> bytes;
  std::string why;
  if (!encode_image(kJpeg, flat, options, &bytes, &why)) return false;
  std::optional<LoadedImage> back = decode(factory, bytes, &why);
  if (!back || back->kind != Kind::kCmyk || back->image.pixels.size() != flat.image.pixels.size())
    return false;
  for (size_t i = 0; i < flat.image.pixels.size(); ++i)
    if (std::abs(int(back->image.pixels[i]) - int(flat.image.pixels[i])) > 12) return false;
  return true;
}

// Why an image of this kind cannot be written in this format here, or nothing.
std::optional<std::string> kind_refusal(const WritableFormat& format, Kind kind) {
  bool png = &format == &kPng, jpeg = &format == &kJpeg;
  if (png && kind == Kind::kCmyk) return std::string("a CMYK image cannot be written as PNG");
  if (jpeg && (kind == Kind::kRgba || kind == Kind::kGrayAlpha))
    return std::string("JPEG has no alpha; write ") + (kind == Kind::kRgba ? "png or tif" : "png");
  // Windows' TIFF encoder has no gray-with-alpha format.
  if (!png && kind == Kind::kGrayAlpha)
    return std::string("gray with alpha can only be written as PNG on Windows");
  if (kind == Kind::kCmyk) {
    ComScope com;
    Com<IWICImagingFactory> factory;
    std::string why;
    if (com.usable() && create_factory(&factory, &why) &&
        !encoder_takes(factory.get(), format, GUID_WICPixelFormat32bppCMYK))
      return std::string("this system's ") + format.name + " encoder does not write CMYK";
    if (&format == &kJpeg && !cmyk_jpeg_reads_back(factory.get()))
      return std::string("this system's JPEG codec reads its own CMYK files back inverted");
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> output_format(const std::string& path_or_format) {
  const WritableFormat* format = writable_format(format_word(path_or_format));
  return format != nullptr ? std::optional<std::string>(format->word) : std::nullopt;
}

std::string writable_formats() { return "png, jpg, tif"; }

bool writable_extension(const std::string& path) {
  std::optional<std::string> extension = extension_of(path);
  return extension && writable_format(*extension) != nullptr;
}

std::optional<std::string> write_refusal(const std::string& path_or_format, Kind kind) {
  const WritableFormat* format = writable_format(format_word(path_or_format));
  if (format == nullptr) return unwritable(path_or_format);
  return kind_refusal(*format, kind);
}

std::optional<LoadedImage> read_image(const std::string& path, std::string* error) {
  std::string shown = path == "-" ? "standard input" : path;
  std::string why;
  std::vector<uint8_t> bytes;
  try {
    bool got = path == "-" ? read_standard_input(&bytes, &why) : read_file(path, &bytes, &why);
    if (!got) {
      *error = shown + ": cannot be opened (" + why + ")";
      return std::nullopt;
    }
    ComScope com;
    if (!com.usable()) {
      *error = shown + ": cannot be read (COM is not available: " + hex(com.result()) + ")";
      return std::nullopt;
    }
    std::optional<LoadedImage> loaded;
    {
      Com<IWICImagingFactory> factory;
      if (create_factory(&factory, &why)) loaded = decode(factory.get(), bytes, &why);
    }
    if (!loaded) *error = shown + ": " + why;
    return loaded;
  } catch (const std::bad_alloc&) {
    *error = shown + ": out of memory";
    return std::nullopt;
  }
}

namespace {

// Why an image of this size and kind cannot be written with these options (the format, of a
// name or word, given), or nothing; *format is the format when it is one this build writes.
std::optional<std::string> write_problem(const std::string& asked, const LoadedImage& loaded,
                                         const WriteOptions& options,
                                         const WritableFormat** format) {
  *format = writable_format(format_word(asked));
  if (*format == nullptr) return unwritable(asked);
  const plugin_host::Image& image = loaded.image;
  if (image.width <= 0 || image.height <= 0 || image.planes != total_planes(loaded.kind) ||
      image.pixels.size() != size_t(image.width) * size_t(image.height) * size_t(image.planes))
    return std::string("not a whole ") + kind_name(loaded.kind) + " image";
  if (uint32_t(image.width) > kMaxSide || uint32_t(image.height) > kMaxSide)
    return std::string("larger than 32767 pixels a side");
  if (options.quality < 0 || options.quality > 100)
    return "the quality must be 1 to 100, not " + std::to_string(options.quality);
  if (options.lossless && *format == &kJpeg)
    return std::string("JPEG cannot be lossless; write png or tif");
  return std::nullopt;
}

}  // namespace

bool write_image(const std::string& path, const LoadedImage& loaded, const WriteOptions& options,
                 std::string* error) {
  bool standard_output = path == "-";
  auto refuse = [&](const std::string& why) {
    *error = (standard_output ? std::string("standard output") : path) + ": cannot be written (" +
             why + ")";
    return false;
  };
  const std::string& asked = options.format.empty() ? path : options.format;
  const WritableFormat* format = nullptr;
  if (std::optional<std::string> problem = write_problem(asked, loaded, options, &format))
    return refuse(*problem);
  std::string why;
  try {
    ComScope com;
    if (!com.usable()) return refuse("COM is not available: " + hex(com.result()));
    if (std::optional<std::string> refusal = kind_refusal(*format, loaded.kind))
      return refuse(*refusal);
    std::vector<uint8_t> bytes;
    if (!encode_image(*format, loaded, options, &bytes, &why)) return refuse(why);
    bool written =
        standard_output ? write_standard_output(bytes, &why) : replace_file(path, bytes, &why);
    return written || refuse(why);
  } catch (const std::bad_alloc&) {
    return refuse("out of memory");
  }
}

bool write_image(const std::string& path, const LoadedImage& loaded, std::string* error) {
  return write_image(path, loaded, WriteOptions{}, error);
}

namespace {

// Gray with alpha is encoded as a whole and checked (see the top of this file): its rows are
// kept, and encoded when the last is in.
class KeptRowWriter : public RowWriter {
 public:
  KeptRowWriter(const std::string& path, const LoadedImage& header, const WriteOptions& options)
      : path_(path), options_(options) {
    image_.kind = header.kind;
    image_.metadata = header.metadata;
    image_.format = header.format;
    image_.image = plugin_host::Image(header.image.width, header.image.height, header.image.planes);
  }
  bool put(const uint8_t* row) override {
    const size_t row_bytes = size_t(image_.image.width) * size_t(image_.image.planes);
    if (rows_ >= image_.image.height) return false;
    std::memcpy(image_.image.pixels.data() + size_t(rows_++) * row_bytes, row, row_bytes);
    return true;
  }
  bool finish(std::string* error) override {
    if (rows_ < image_.image.height) {
      failure_ =
          (path_ == "-" ? std::string("standard output") : path_) + ": the image was not finished";
      *error = failure_;
      return false;
    }
    if (!write_image(path_, image_, options_, error)) failure_ = *error;
    return failure_.empty();
  }
  std::string failure() const override { return failure_; }

 private:
  std::string path_;
  WriteOptions options_;
  LoadedImage image_;
  int32_t rows_ = 0;
  std::string failure_;
};

// A file as a COM stream, for an encoder that writes straight into it. The file is shared for
// deletion, so that an interruption can remove it while it is being written; the stream
// closes it when it goes.
class FileStream final : public IStream {
 public:
  explicit FileStream(HANDLE file) : file_(file) {}
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(id, IID_IUnknown) && !IsEqualIID(id, IID_IStream) &&
        !IsEqualIID(id, IID_ISequentialStream))
      return E_NOINTERFACE;
    *out = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Read(void* data, ULONG size, ULONG* done) override {
    DWORD got = 0;
    BOOL ok = ReadFile(file_, data, size, &got, nullptr);
    if (done != nullptr) *done = got;
    if (!ok) return HRESULT_FROM_WIN32(GetLastError());
    return got < size ? S_FALSE : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* data, ULONG size, ULONG* done) override {
    DWORD wrote = 0;
    BOOL ok = WriteFile(file_, data, size, &wrote, nullptr);
    if (done != nullptr) *done = wrote;
    if (!ok) return HRESULT_FROM_WIN32(GetLastError());
    return wrote == size ? S_OK : STG_E_MEDIUMFULL;
  }

  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* position) override {
    LARGE_INTEGER at = {};
    // STREAM_SEEK_SET, _CUR and _END are FILE_BEGIN, _CURRENT and _END.
    if (SetFilePointerEx(file_, move, &at, origin) == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (position != nullptr) position->QuadPart = ULONGLONG(at.QuadPart);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    LARGE_INTEGER here = {}, zero = {}, end = {};
    end.QuadPart = LONGLONG(size.QuadPart);
    bool ok = SetFilePointerEx(file_, zero, &here, FILE_CURRENT) != 0 &&
              SetFilePointerEx(file_, end, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(file_) != 0;
    ok = SetFilePointerEx(file_, here, nullptr, FILE_BEGIN) != 0 && ok;
    return ok ? S_OK : HRESULT_FROM_WIN32(GetLastError());
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file_, &size) == 0) return HRESULT_FROM_WIN32(GetLastError());
    stat->cbSize.QuadPart = ULONGLONG(size.QuadPart);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                   ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

 private:
  ~FileStream() { CloseHandle(file_); }
  HANDLE file_;
  std::atomic<ULONG> references_{1};
};

// Encodes rows as they come, straight into a temporary file beside the target (or into
// memory, for standard output), on the thread that opened it.
class WicRowWriter : public RowWriter {
 public:
  WicRowWriter(const std::string& path, UINT height) : path_(path), height_(height) {}

  ~WicRowWriter() override {
    frame_.reset();
    stream_.reset();  // closes the file
    if (!temporary_.empty()) {
      DeleteFileW(wide_temporary_.c_str());
      end_partial_output(temporary_);
    }
  }

  // Sets the encoder up; false with the reason when it cannot be.
  bool open(const WritableFormat& format, const LoadedImage& header, const WriteOptions& options,
            std::string* why) {
    if (!com_.usable()) {
      *why = "COM is not available: " + hex(com_.result());
      return false;
    }
    if (std::optional<std::string> refusal = kind_refusal(format, header.kind)) {
      *why = *refusal;
      return false;
    }
    if (!create_factory(&factory_, why)) return false;
    format_ = &format;
    if (!options.strip) metadata_ = header.metadata;
    // A JPEG's or PNG's metadata goes in near its start once it is encoded: such files are
    // encoded into memory (a TIFF takes its metadata at the end, in the file itself).
    in_memory_ = path_ == "-" || (&format != &kTiff && has_embedded(metadata_));
    if (in_memory_) {
      HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream_.out());
      if (FAILED(hr)) {
        *why = "no memory stream (" + hex(hr) + ")";
        return false;
      }
    } else {
      std::string temporary = temporary_beside(path_);
      if (!plugin_host::to_wide(path_, &wide_target_) || wide_target_.empty() ||
          !plugin_host::to_wide(temporary, &wide_temporary_)) {
        *why = "the name is not valid UTF-8";
        return false;
      }
      begin_partial_output(temporary);
      HANDLE file = CreateFileW(wide_temporary_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        *why = system_reason(GetLastError());
        end_partial_output(temporary);
        return false;
      }
      temporary_ = temporary;
      *stream_.out() = new FileStream(file);
    }
    EncodeJob job = plain_job(format, header.kind, UINT(header.image.width), height_, options,
                              &metadata_, to_byte_);
    frame_.emplace();
    return frame_->begin(factory_.get(), stream_.get(), job, why);
  }

  bool put(const uint8_t* row) override {
    if (rows_ >= height_ || !failure_.empty()) return false;
    ++rows_;
    if (frame_->write(row, 1)) return true;
    std::string why;
    frame_->end(&why);
    fail(why);
    return false;
  }

  bool finish(std::string* error) override {
    std::string why;
    if (failure_.empty() && rows_ < height_) fail("the image was not finished");
    if (failure_.empty() && !frame_->end(&why)) fail(why);
    frame_.reset();
    std::vector<uint8_t> bytes;
    if (failure_.empty() && in_memory_ &&
        !(stream_bytes(stream_.get(), &bytes, &why) &&
          put_metadata_into(*format_, metadata_, &bytes, &why) &&
          (path_ == "-" ? write_standard_output(bytes, &why) : replace_file(path_, bytes, &why))))
      fail(why);
    stream_.reset();  // closes the file
    if (failure_.empty() && !temporary_.empty() &&
        !add_exif_to_tiff(temporary_, tiff_metadata_fields(metadata_), &why))
      fail(why);
    if (failure_.empty() && !temporary_.empty() &&
        MoveFileExW(wide_temporary_.c_str(), wide_target_.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
      fail(system_reason(GetLastError()));
    if (!temporary_.empty()) {
      if (!failure_.empty()) DeleteFileW(wide_temporary_.c_str());
      end_partial_output(temporary_);
      temporary_.clear();
    }
    if (!failure_.empty()) *error = failure_;
    return failure_.empty();
  }

  std::string failure() const override { return failure_; }

 private:
  void fail(const std::string& why) {
    if (failure_.empty())
      failure_ = (path_ == "-" ? std::string("standard output") : path_) + ": cannot be written (" +
                 why + ")";
  }

  ComScope com_;  // first made, last gone: the objects below are released before it
  Com<IWICImagingFactory> factory_;
  const WritableFormat* format_ = nullptr;
  Metadata metadata_;       // none when stripped
  bool in_memory_ = false;  // encoded into memory, and written whole at the end
  Com<IStream> stream_;
  std::optional<FrameWriter> frame_;
  int to_byte_[4] = {};
  std::string path_, temporary_;
  std::wstring wide_target_, wide_temporary_;
  UINT height_, rows_ = 0;
  std::string failure_;
};

}  // namespace

std::unique_ptr<RowWriter> open_row_writer(const std::string& path, const LoadedImage& header,
                                           const WriteOptions& options, std::string* error) {
  const std::string shown = path == "-" ? std::string("standard output") : path;
  const std::string& asked = options.format.empty() ? path : options.format;
  const WritableFormat* format = nullptr;
  if (std::optional<std::string> problem = write_problem(asked, header, options, &format)) {
    *error = shown + ": cannot be written (" + *problem + ")";
    return nullptr;
  }
  if (header.kind == Kind::kGrayAlpha) {
    if (std::optional<std::string> refusal = write_refusal(asked, header.kind)) {
      *error = shown + ": " + *refusal;
      return nullptr;
    }
    return std::make_unique<KeptRowWriter>(path, header, options);
  }
  try {
    auto writer = std::make_unique<WicRowWriter>(path, UINT(header.image.height));
    std::string why;
    if (writer->open(*format, header, options, &why)) return writer;
    *error = shown + ": cannot be written (" + why + ")";
  } catch (const std::bad_alloc&) {
    *error = shown + ": cannot be written (out of memory)";
  }
  return nullptr;
}

}  // namespace image_io

#endif  // _WIN32
