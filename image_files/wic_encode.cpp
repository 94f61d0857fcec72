// Encoding through WIC: a whole image into the bytes of PNG, JPEG or TIFF, gray with alpha
// through a wider gray PNG, and the profile, EXIF, XMP and IPTC put into the bytes.
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

// --- encoding ---

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
                  find_layout(GUID_WICPixelFormat8bppGray),
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
  if (&format == &kGif) {
    // The pixels in the encoder's layout, reduced to a palette by WIC.
    std::vector<uint8_t> laid(size_t(width) * height * job.layout->bytes);
    const uint8_t* in = image.pixels.data();
    for (uint8_t *out = laid.data(), *end = out + laid.size(); out < end;
         out += job.layout->bytes, in += job.in_bytes)
      for (int p = 0; p < job.in_bytes; ++p) out[to_byte[p]] = in[p];
    Com<IStream> stream;
    GifEncoder gif;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.out());
    if (FAILED(hr)) {
      *why = "no memory stream (" + hex(hr) + ")";
      return false;
    }
    return gif.begin(factory.get(), stream.get(), job, why) && gif.frame(laid.data(), why) &&
           gif.end(why) && stream_bytes(stream.get(), bytes, why) &&
           (gif_with_timing(bytes, {}, -1, job.layout->alpha >= 0) ||
            (*why = "the GIF encoder wrote blocks this code cannot follow", false));
  }
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

// Whether a GIF with transparent pixels that this system writes reads back with them (wine's
// encoder, seen with 8.0, drops the transparency).
bool gif_keeps_transparency() {
  static const bool keeps = [] {
    ComScope com;
    Com<IWICImagingFactory> factory;
    std::string why;
    if (!com.usable() || !create_factory(&factory, &why)) return false;
    LoadedImage clear;
    clear.kind = Kind::kRgba;
    clear.image = plugin_host::Image(4, 2, 4);
    for (size_t i = 0; i < clear.image.pixels.size(); ++i)
      clear.image.pixels[i] = i % 4 == 3 ? uint8_t(i < 16 ? 0 : 255) : uint8_t(i * 20);
    std::vector<uint8_t> bytes;
    if (!encode_image(kGif, clear, WriteOptions{}, &bytes, &why)) return false;
    std::optional<LoadedImage> back = decode(factory.get(), bytes, &why);
    return back && back->kind == Kind::kRgba && back->image.pixels[3] == 0 &&
           back->image.pixels[31] == 255;
  }();
  return keeps;
}

// Why an image of this kind cannot be written in this format here, or nothing.
std::optional<std::string> kind_refusal(const WritableFormat& format, Kind kind) {
  bool png = &format == &kPng, jpeg = &format == &kJpeg;
  if (png && kind == Kind::kCmyk) return std::string("a CMYK image cannot be written as PNG");
  if (&format == &kGif && kind == Kind::kCmyk)
    return std::string("a CMYK image cannot be written as GIF");
  if (&format == &kGif && kind == Kind::kRgba && !gif_keeps_transparency())
    return std::string("this system's GIF encoder drops transparency; write tif or png");
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

}  // namespace wic
}  // namespace image_io

#endif  // _WIN32
