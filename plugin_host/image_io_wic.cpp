// Image files through the Windows Imaging Component (windowscodecs), for the Windows builds.
//
// Reading: the whole file is read into memory, WIC picks the decoder from the bytes, and frame 0
// is converted to the planes of a Kind. The kind comes from the file itself where WIC's pixel
// format hides it: a PNG's IHDR colour type, a TIFF's photometric interpretation (WIC hands
// gray with alpha over as BGRA with the gray repeated). PNG's transparent-colour chunk (tRNS)
// does not add an alpha plane, as with libpng on the other builds.
//
// Writing: WIC encodes into memory; the bytes go to a temporary file beside the target, which
// then replaces it. Gray with alpha has no WIC pixel format, so it is encoded as gray twice as
// wide with every row filtered by "Up" (the one PNG filter that does not depend on the pixel
// size), and the IHDR is then rewritten to width / 2 and colour type 4: the compressed rows are
// byte for byte those of gray with alpha. The result is decoded again and compared before it
// is kept, so an encoder that ignores the filter setting cannot leave a damaged file.
#ifdef _WIN32

#include <windows.h>

#include <wincodec.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "plugin_host/image_io.h"

namespace image_io {
namespace {

constexpr uint32_t kMaxSide = 32767;         // as the other builds
constexpr size_t kBandBytes = 16 << 20;      // pixels moved to or from WIC at a time
constexpr DWORD kMaxFileBytes = 0xFFFFFFFF;  // WIC's memory stream takes a DWORD size

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
  void reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
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
    default:
      return "Windows error " + std::to_string(code);
  }
}

bool create_factory(Com<IWICImagingFactory>* factory, std::string* why) {
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory1, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory->out()));
  if (FAILED(hr)) *why = "the Windows Imaging Component is not available (" + hex(hr) + ")";
  return SUCCEEDED(hr);
}

uint32_t big_endian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put_big_endian32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

uint32_t crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// What the file's own header says about its first image, where WIC does not tell.
struct FileFacts {
  bool png = false;
  int png_depth = 0;         // IHDR bit depth
  int png_colour_type = -1;  // IHDR colour type
  int tiff_photometric = -1;
};

FileFacts file_facts(const std::vector<uint8_t>& b) {
  FileFacts facts;
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (b.size() >= 29 && std::memcmp(b.data(), kPng, 8) == 0 &&
      std::memcmp(&b[12], "IHDR", 4) == 0) {
    facts.png = true;
    facts.png_depth = b[24];
    facts.png_colour_type = b[25];
    return facts;
  }
  if (b.size() < 8 || b[0] != b[1] || (b[0] != 'I' && b[0] != 'M')) return facts;
  bool little = b[0] == 'I';
  auto u16 = [&](size_t at) {
    return little ? uint32_t(b[at] | b[at + 1] << 8) : uint32_t(b[at] << 8 | b[at + 1]);
  };
  auto u32 = [&](size_t at) {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  if (u16(2) != 42) return facts;
  size_t ifd = u32(4);
  if (ifd > b.size() - 2) return facts;
  size_t entries = u16(ifd);
  for (size_t i = 0; i < entries && ifd + 2 + 12 * (i + 1) <= b.size(); ++i) {
    size_t entry = ifd + 2 + 12 * i;
    if (u16(entry) == 262 && u16(entry + 2) == 3) facts.tiff_photometric = int(u16(entry + 8));
  }
  return facts;
}

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

uint32_t bits_per_sample(IWICImagingFactory* factory, const GUID& format) {
  Com<IWICComponentInfo> info;
  Com<IWICPixelFormatInfo> pixel;
  UINT bits = 0, channels = 0;
  if (FAILED(factory->CreateComponentInfo(format, info.out())) ||
      FAILED(
          info->QueryInterface(IID_IWICPixelFormatInfo, reinterpret_cast<void**>(pixel.out()))) ||
      FAILED(pixel->GetBitsPerPixel(&bits)) || FAILED(pixel->GetChannelCount(&channels)) ||
      channels == 0)
    return 0;
  return bits / channels;
}

bool is_indexed(const GUID& format) {
  return IsEqualGUID(format, GUID_WICPixelFormat1bppIndexed) ||
         IsEqualGUID(format, GUID_WICPixelFormat2bppIndexed) ||
         IsEqualGUID(format, GUID_WICPixelFormat4bppIndexed) ||
         IsEqualGUID(format, GUID_WICPixelFormat8bppIndexed);
}

// Decodes frame 0 of PNG or TIFF bytes. The reason for a refusal names no file.
std::optional<LoadedImage> decode(IWICImagingFactory* factory, std::vector<uint8_t>& bytes,
                                  std::string* why) {
  auto refuse = [&](const std::string& reason) -> std::optional<LoadedImage> {
    *why = reason;
    return std::nullopt;
  };
  Com<IWICStream> stream;
  HRESULT hr = factory->CreateStream(stream.out());
  if (SUCCEEDED(hr)) hr = stream->InitializeFromMemory(bytes.data(), DWORD(bytes.size()));
  if (FAILED(hr)) return refuse("cannot be read (" + hex(hr) + ")");
  Com<IWICBitmapDecoder> decoder;
  hr = factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                        decoder.out());
  GUID container = {};
  if (SUCCEEDED(hr)) hr = decoder->GetContainerFormat(&container);
  bool png = IsEqualGUID(container, GUID_ContainerFormatPng);
  if (hr == WINCODEC_ERR_COMPONENTNOTFOUND ||
      (SUCCEEDED(hr) && !png && !IsEqualGUID(container, GUID_ContainerFormatTiff)))
    return refuse("not a PNG or TIFF image");
  std::string damaged = std::string("damaged ") + (png ? "PNG" : "TIFF") + " (WIC error ";
  if (FAILED(hr)) return refuse("damaged image (WIC error " + hex(hr) + ")");

  FileFacts facts = file_facts(bytes);
  std::optional<Kind> kind;  // known from the file's header
  if (png && facts.png) {
    if (facts.png_depth == 16)
      return refuse("16-bit samples are not supported (8 bits per sample only)");
    switch (facts.png_colour_type) {
      case 0:
        kind = Kind::kGray;
        break;
      case 2:
        kind = Kind::kRgb;
        break;
      case 3:
        return refuse("indexed colour is not supported (gray, RGB or RGBA only)");
      case 4:
        kind = Kind::kGrayAlpha;
        break;
      case 6:
        kind = Kind::kRgba;
        break;
    }
  }

  Com<IWICBitmapFrameDecode> frame;
  GUID format = {};
  UINT width = 0, height = 0;
  hr = decoder->GetFrame(0, frame.out());
  if (SUCCEEDED(hr)) hr = frame->GetPixelFormat(&format);
  if (SUCCEEDED(hr)) hr = frame->GetSize(&width, &height);
  if (FAILED(hr)) return refuse(damaged + hex(hr) + ")");
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
    return refuse("larger than 32767 pixels a side");

  const Layout* layout = find_layout(format);
  if (!png && layout == nullptr) {
    if (facts.tiff_photometric == 3 || is_indexed(format))
      return refuse("indexed colour is not supported (gray, RGB, RGBA or CMYK only)");
    uint32_t bits = bits_per_sample(factory, format);
    if (bits != 8 && bits != 0)
      return refuse(std::to_string(bits) +
                    "-bit samples are not supported (8 bits per sample only)");
  }

  // WIC's own format when it holds the planes; otherwise, for a PNG, a conversion to BGRA (gray
  // below 8 bits; gray with a transparent colour, which wine hands over as indexed).
  IWICBitmapSource* source = frame.get();
  Com<IWICFormatConverter> converter;
  if (!kind && layout != nullptr) kind = natural_kind(*layout);
  if (facts.tiff_photometric == 0 || facts.tiff_photometric == 1)
    kind = layout != nullptr && layout->alpha >= 0 ? Kind::kGrayAlpha : Kind::kGray;
  int planes_from[4] = {-1, -1, -1, -1};
  if (!kind || layout == nullptr || !plane_sources(*kind, *layout, planes_from)) {
    if (!png || !kind)
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
  return loaded;
}

bool read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* why) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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

// An encoder setting of one byte, such as the PNG filter or the TIFF compression.
struct EncoderOption {
  const wchar_t* name;
  BYTE value;
};

// Encodes `pixels` (rows of `width` pixels of `in_bytes` bytes; byte p of a pixel goes to byte
// to_byte[p] of WIC's layout) into PNG or TIFF bytes.
bool encode(IWICImagingFactory* factory, bool png, const Layout& layout, UINT width, UINT height,
            const uint8_t* pixels, int in_bytes, const int* to_byte, EncoderOption setting,
            std::vector<uint8_t>* bytes, std::string* why) {
  const char* container_name = png ? "PNG" : "TIFF";
  Com<IStream> stream;
  Com<IWICBitmapEncoder> encoder;
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.out());
  if (SUCCEEDED(hr))
    hr = factory->CreateEncoder(png ? GUID_ContainerFormatPng : GUID_ContainerFormatTiff, nullptr,
                                encoder.out());
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.out(), options.out());
  if (SUCCEEDED(hr)) {
    PROPBAG2 option = {};
    option.pstrName = const_cast<wchar_t*>(setting.name);
    VARIANT value = {};
    value.vt = VT_UI1;
    value.bVal = setting.value;
    hr = options->Write(1, &option, &value);
  }
  if (SUCCEEDED(hr)) hr = frame->Initialize(options.get());
  if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
  GUID format = *layout.format;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (FAILED(hr)) {
    *why = std::string("the ") + container_name + " encoder failed (" + hex(hr) + ")";
    return false;
  }
  if (!IsEqualGUID(format, *layout.format)) {
    *why = std::string("the ") + container_name + " encoder here does not take these pixels";
    return false;
  }
  UINT stride = width * UINT(layout.bytes);
  UINT band_rows = UINT(std::max<size_t>(1, kBandBytes / stride));
  std::vector<uint8_t> band(size_t(stride) * std::min(band_rows, height));
  for (UINT top = 0; top < height && SUCCEEDED(hr); top += band_rows) {
    UINT rows = std::min(band_rows, height - top);
    const uint8_t* in = pixels + size_t(top) * width * in_bytes;
    uint8_t* out = band.data();
    for (size_t n = size_t(width) * rows; n > 0; --n, in += in_bytes, out += layout.bytes)
      for (int p = 0; p < in_bytes; ++p) out[to_byte[p]] = in[p];
    hr = frame->WritePixels(rows, stride, stride * rows, band.data());
  }
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  HGLOBAL memory = nullptr;
  STATSTG stat = {};
  if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(stream.get(), &memory);
  if (SUCCEEDED(hr)) hr = stream->Stat(&stat, STATFLAG_NONAME);
  const uint8_t* encoded =
      SUCCEEDED(hr) ? static_cast<const uint8_t*>(GlobalLock(memory)) : nullptr;
  if (encoded == nullptr) {
    *why = std::string("the ") + container_name + " encoder failed (" + hex(hr) + ")";
    return false;
  }
  bytes->assign(encoded, encoded + stat.cbSize.QuadPart);
  GlobalUnlock(memory);
  return true;
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

// Writes `bytes` to a new temporary file beside `path`, then puts it in `path`'s place.
bool replace_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* why) {
  std::string temporary = path + ".zorbel-tmp-" + std::to_string(GetCurrentProcessId());
  HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = system_reason(GetLastError());
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
  ok = ok && MoveFileExA(temporary.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    *why = system_reason(code != 0 ? code : GetLastError());
    DeleteFileA(temporary.c_str());
  }
  return ok;
}

bool encode_image(bool png, const LoadedImage& loaded, std::vector<uint8_t>* bytes,
                  std::string* why) {
  Com<IWICImagingFactory> factory;
  if (!create_factory(&factory, why)) return false;
  const plugin_host::Image& image = loaded.image;
  UINT width = UINT(image.width), height = UINT(image.height);
  static const int kIdentity[4] = {0, 1, 2, 3};
  if (loaded.kind == Kind::kGrayAlpha) {
    if (!encode(factory.get(), png, kLayouts[0], 2 * width, height, image.pixels.data(), 1,
                kIdentity, {L"FilterOption", WICPngFilterUp}, bytes, why))
      return false;
    std::string reread;
    std::optional<LoadedImage> back;
    if (gray_to_gray_alpha_png(bytes, width)) back = decode(factory.get(), *bytes, &reread);
    if (!back || back->kind != Kind::kGrayAlpha || back->image.pixels != image.pixels) {
      *why = "the PNG encoder here cannot store gray with alpha";
      return false;
    }
    return true;
  }
  const GUID& format = loaded.kind == Kind::kGray   ? GUID_WICPixelFormat8bppGray
                       : loaded.kind == Kind::kRgb  ? GUID_WICPixelFormat24bppBGR
                       : loaded.kind == Kind::kRgba ? GUID_WICPixelFormat32bppBGRA
                                                    : GUID_WICPixelFormat32bppCMYK;
  const Layout& layout = *find_layout(format);
  int to_byte[4];
  plane_sources(loaded.kind, layout, to_byte);
  return encode(factory.get(), png, layout, width, height, image.pixels.data(), image.planes,
                to_byte,
                png ? EncoderOption{L"FilterOption", WICPngFilterAdaptive}
                    : EncoderOption{L"TiffCompressionMethod", WICTiffCompressionZIP},
                bytes, why);
}

bool lower_extension_is(const std::string& path, const char* extension) {
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext == extension;
}

}  // namespace

std::optional<LoadedImage> read_image(const std::string& path, std::string* error) {
  std::string why;
  std::vector<uint8_t> bytes;
  try {
    if (!read_file(path, &bytes, &why)) {
      *error = path + ": cannot be opened (" + why + ")";
      return std::nullopt;
    }
    ComScope com;
    if (!com.usable()) {
      *error = path + ": cannot be read (COM is not available: " + hex(com.result()) + ")";
      return std::nullopt;
    }
    std::optional<LoadedImage> loaded;
    {
      Com<IWICImagingFactory> factory;
      if (create_factory(&factory, &why)) loaded = decode(factory.get(), bytes, &why);
    }
    if (!loaded) *error = path + ": " + why;
    return loaded;
  } catch (const std::bad_alloc&) {
    *error = path + ": out of memory";
    return std::nullopt;
  }
}

bool write_image(const std::string& path, const LoadedImage& loaded, std::string* error) {
  auto refuse = [&](const std::string& why) {
    *error = path + ": cannot be written (" + why + ")";
    return false;
  };
  if (!writable_extension(path)) return refuse("use a .png, .tif or .tiff name");
  bool png = lower_extension_is(path, "png");
  const plugin_host::Image& image = loaded.image;
  if (image.width <= 0 || image.height <= 0 || image.planes != total_planes(loaded.kind) ||
      image.pixels.size() != size_t(image.width) * size_t(image.height) * size_t(image.planes))
    return refuse(std::string("not a whole ") + kind_name(loaded.kind) + " image");
  if (uint32_t(image.width) > kMaxSide || uint32_t(image.height) > kMaxSide)
    return refuse("larger than 32767 pixels a side");
  if (png && loaded.kind == Kind::kCmyk) return refuse("CMYK images can only be written as TIFF");
  if (!png && loaded.kind == Kind::kGrayAlpha)
    return refuse("gray with alpha can only be written as PNG on Windows");
  std::string why;
  try {
    ComScope com;
    if (!com.usable()) return refuse("COM is not available: " + hex(com.result()));
    std::vector<uint8_t> bytes;
    if (!encode_image(png, loaded, &bytes, &why) || !replace_file(path, bytes, &why))
      return refuse(why);
    return true;
  } catch (const std::bad_alloc&) {
    return refuse("out of memory");
  }
}

}  // namespace image_io

#endif  // _WIN32
