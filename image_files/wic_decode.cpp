// Decoding an image file's bytes through WIC into the planes of a Kind, with the profile,
// resolution, EXIF and XMP that WIC gives (what it does not give is read from the bytes).
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
#include "image_files/orientation.h"
#include "image_files/wic.h"
#include "plugin_host/arguments.h"

namespace image_io {
namespace wic {

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

// The planes of a kind from a decoded frame (or any source of its size): WIC's own format when
// it holds them; otherwise a conversion to BGRA (palettes, gray below 8 bits, gray with a
// transparent colour that wine hands over as indexed, 5- and 6-bit RGB).
HRESULT frame_planes(IWICImagingFactory* factory, IWICBitmapSource* frame, Kind kind,
                     int orientation, plugin_host::Image* image) {
  GUID format = {};
  UINT width = 0, height = 0;
  HRESULT hr = frame->GetPixelFormat(&format);
  if (SUCCEEDED(hr)) hr = frame->GetSize(&width, &height);
  if (FAILED(hr)) return hr;
  const bool swapped = swaps_sides(orientation);
  if (int32_t(swapped ? height : width) != image->width ||
      int32_t(swapped ? width : height) != image->height)
    return E_INVALIDARG;
  const Layout* layout = find_layout(format);
  IWICBitmapSource* source = frame;
  Com<IWICFormatConverter> converter;
  int planes_from[4] = {-1, -1, -1, -1};
  if (layout == nullptr || !plane_sources(kind, *layout, planes_from)) {
    if (kind == Kind::kCmyk) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    const GUID& wanted = GUID_WICPixelFormat32bppBGRA;
    hr = factory->CreateFormatConverter(converter.out());
    if (SUCCEEDED(hr))
      hr = converter->Initialize(frame, wanted, WICBitmapDitherTypeNone, nullptr, 0.0,
                                 WICBitmapPaletteTypeCustom);
    if (FAILED(hr)) return hr;
    source = converter.get();
    layout = find_layout(wanted);
    plane_sources(kind, *layout, planes_from);
  }
  const int planes = total_planes(kind);
  UINT stride = width * UINT(layout->bytes);
  UINT band_rows = UINT(std::max<size_t>(1, kBandBytes / stride));
  std::vector<uint8_t> band(size_t(stride) * std::min(band_rows, height));
  std::vector<uint8_t> stored;  // a band of stored rows, when they are to be turned
  if (orientation != 1) stored.resize(size_t(width) * planes * std::min(band_rows, height));
  for (UINT top = 0; top < height; top += band_rows) {
    UINT rows = std::min(band_rows, height - top);
    WICRect rect = {0, INT(top), INT(width), INT(rows)};
    hr = source->CopyPixels(&rect, stride, stride * rows, band.data());
    if (FAILED(hr)) return hr;
    const uint8_t* in = band.data();
    uint8_t* out = stored.empty() ? image->at(0, int32_t(top)) : stored.data();
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
    if (!stored.empty())
      place_upright(stored.data(), size_t(width) * planes, 0, int32_t(top), int32_t(width),
                    int32_t(rows), int32_t(width), int32_t(height), orientation, image);
  }
  return S_OK;
}

// Decodes frame 0 of an image file's bytes. The reason for a refusal names no file.
std::optional<LoadedImage> decode(IWICImagingFactory* factory, std::vector<uint8_t>& bytes,
                                  std::string* why, const std::string& shown,
                                  Orientation orientation) {
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

  LoadedImage loaded;
  loaded.kind = *kind;
  loaded.format = word;
  read_metadata(factory, frame.get(), facts, &loaded.metadata);
  // What this system's WIC did not give, from the file's own segments, chunks or IFD.
  read_jpeg_metadata(bytes.data(), bytes.size(), &loaded.metadata);
  if (facts.png) read_png_metadata(bytes.data(), bytes.size(), &loaded.metadata);
  if (facts.tiff) read_tiff_metadata(bytes.data(), bytes.size(), &loaded.metadata);
  if (word == "jpeg") loaded.jpeg_quality = jpeg_quality(bytes.data(), bytes.size());
  // HEIF's decoder turns its pictures itself; the orientation of every other file is turned
  // here, band by band as the rows are decoded.
  if (orientation == Orientation::kUpright && word != "heif")
    loaded.turned_from = exif_orientation(loaded.metadata.exif);
  const bool swapped = swaps_sides(loaded.turned_from);
  loaded.image = plugin_host::Image(int32_t(swapped ? height : width),
                                    int32_t(swapped ? width : height), total_planes(*kind));
  int planes_from[4] = {-1, -1, -1, -1};
  if (*kind == Kind::kCmyk && (layout == nullptr || !plane_sources(*kind, *layout, planes_from)))
    return refuse("this colour layout is not supported (gray, RGB, RGBA or CMYK only)");
  hr = frame_planes(factory, frame.get(), *kind, loaded.turned_from, &loaded.image);
  if (FAILED(hr)) return refuse(damaged + hex(hr) + ")");
  mark_upright(&loaded.metadata, loaded.turned_from);
  UINT frames = 0;
  if (SUCCEEDED(decoder->GetFrameCount(&frames)) && frames > 1)
    loaded.frames = frames_of(factory, decoder.get(), container, bytes, loaded, shown);
  return loaded;
}

}  // namespace wic
}  // namespace image_io

#endif  // _WIN32
