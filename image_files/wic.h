// What the files of the WIC image layer share: COM holders, the formats written, pixel layouts,
// the decoder, the encoder and the file helpers. Windows builds only; image_io.h is the
// interface the rest of the program sees.
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <propidl.h>
#include <wincodec.h>
#include <wincodecsdk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image_files/image_io.h"

namespace image_io {
namespace wic {

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

struct WritableFormat {
  const char* word;       // as in WriteOptions::format
  const char* extension;  // the usual one, for messages
  const char* name;       // for messages
  const GUID* container;
};

struct FileFacts {
  bool png = false;
  int png_colour_type = -1;  // IHDR colour type
  bool tiff = false;
  int tiff_photometric = -1;
  bool resolution = false;  // the file states its resolution in absolute units
  bool metric = false;      // ... in pixels per metre (PNG, BMP)
};

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

struct PixelInfo {
  UINT bits = 0;      // per pixel
  UINT channels = 0;  // 0 when WIC does not say
};

// --- COM, errors, the formats written, what a file's header says, pixel layouts (wic_support.cpp)
// ---

extern const WritableFormat kPng;
extern const WritableFormat kJpeg;
extern const WritableFormat kTiff;
extern const WritableFormat kGif;

std::string hex(HRESULT hr);

std::string system_reason(DWORD code);

bool create_factory(Com<IWICImagingFactory>* factory, std::string* why);

uint32_t big_endian32(const uint8_t* p);

void put_big_endian32(uint8_t* p, uint32_t v);

std::string lower(std::string text);

const WritableFormat* writable_format(const std::string& word);

// The extension of a path (after the last dot of its last part), or nothing without one.
std::optional<std::string> extension_of(const std::string& path);

// A format word as given, or a path's extension.
std::string format_word(const std::string& path_or_format);

// Why this build cannot write what a name or format word asks for.
std::string unwritable(const std::string& path_or_format);

FileFacts file_facts(const std::vector<uint8_t>& b);

const Layout* find_layout(const GUID& format);

int total_planes(Kind kind);

// The kind a layout holds by itself.
Kind natural_kind(const Layout& layout);

// The byte of a layout's pixel that feeds each plane of `kind`; false when it has none. Gray
// comes from a gray channel, else from red (WIC repeats gray into R, G and B).
bool plane_sources(Kind kind, const Layout& layout, int source[4]);

PixelInfo pixel_info(IWICImagingFactory* factory, const GUID& format);

bool is_indexed(const GUID& format);

// --- decoding and the metadata WIC reads (wic_decode.cpp) ---

// Decodes frame 0 of an image file's bytes, turned upright as its EXIF orientation asks unless
// it is to be read as stored; with several frames, the others come from LoadedImage::frames
// (turned as the first is). The reason for a refusal names no file; `shown` names it in the
// reasons the later frames give.
std::optional<LoadedImage> decode(IWICImagingFactory* factory, std::vector<uint8_t>& bytes,
                                  std::string* why, const std::string& shown = "",
                                  Orientation orientation = Orientation::kAsStored);

// The planes of a kind from a decoded frame or any source of the stored picture's size, placed
// upright in `image` as the orientation asks (1: as stored).
HRESULT frame_planes(IWICImagingFactory* factory, IWICBitmapSource* frame, Kind kind,
                     int orientation, plugin_host::Image* image);

// --- animations and multi-page files (wic_frames.cpp) ---

// The frames of a decoder with several, the first of them decoded as `first`: their count,
// whether they share its size, a GIF's delays and loop count, and a source of the others
// (which keeps its own copy of the bytes).
Frames frames_of(IWICImagingFactory* factory, IWICBitmapDecoder* decoder, const GUID& container,
                 const std::vector<uint8_t>& bytes, const LoadedImage& first,
                 const std::string& shown);

// --- files and standard streams (wic_files.cpp) ---

bool read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* why);

bool read_standard_input(std::vector<uint8_t>* bytes, std::string* why);

// Writes `bytes` to a new temporary file beside `path` (listed for removal on an
// interruption), then puts it in `path`'s place.
bool replace_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* why);

bool write_standard_output(const std::vector<uint8_t>& bytes, std::string* why);

// --- encoding (wic_encode.cpp) ---

// An encoder setting, such as the PNG filter, the TIFF compression or the JPEG quality.
struct EncoderOption {
  const wchar_t* name;
  VARIANT value;
};

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

// The resolution goes to the encoder; the profile, EXIF, XMP and IPTC are put into the encoded
// bytes by this code (put_metadata_into), the same on every system.
void put_resolution(IWICBitmapFrameEncode* frame, const Metadata& metadata);

// Whether any of the metadata this code embeds is there.
bool has_embedded(const Metadata& m);

// Puts the profile, EXIF, XMP and IPTC into an encoded file of the format.
bool put_metadata_into(const WritableFormat& format, const Metadata& metadata,
                       std::vector<uint8_t>* bytes, std::string* why);

// The bytes written into a memory stream.
bool stream_bytes(IStream* stream, std::vector<uint8_t>* bytes, std::string* why);

// The encoding of an image of this kind, other than gray with alpha, in this format: its WIC
// layout, the byte order (into `to_byte`, which the job points to) and the format's option.
// The job's pixels are left to the caller.
EncodeJob plain_job(const WritableFormat& format, Kind kind, UINT width, UINT height,
                    const WriteOptions& options, const Metadata* metadata, int to_byte[4]);

bool encode_image(const WritableFormat& format, const LoadedImage& loaded,
                  const WriteOptions& options, std::vector<uint8_t>* bytes, std::string* why);

// Why an image of this kind cannot be written in this format here, or nothing.
std::optional<std::string> kind_refusal(const WritableFormat& format, Kind kind);

// The frames of an image being encoded into a stream (one, or the pages of a multi-page file):
// set up with the job's size, layout, option and metadata, then fed rows in the job's own
// layout, a band at a time, each frame begun after the last one's rows.
class FrameWriter {
 public:
  // False, with the reason, when the encoder cannot be set up for the job.
  bool begin(IWICImagingFactory* factory, IStream* stream, const EncodeJob& job, std::string* why) {
    job_ = job;
    HRESULT hr = factory->CreateEncoder(*job.format->container, nullptr, encoder_.out());
    if (SUCCEEDED(hr)) hr = encoder_->Initialize(stream, WICBitmapEncoderNoCache);
    if (FAILED(hr)) {
      *why = std::string("the ") + job.format->name + " encoder failed (" + hex(hr) + ")";
      return false;
    }
    return begin_frame(why);
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

  // After a frame's last row, when another follows: the next frame of the same setup.
  bool next_frame(std::string* why) {
    flush();
    if (SUCCEEDED(hr_)) hr_ = frame_->Commit();
    if (FAILED(hr_)) {
      *why = std::string("the ") + job_.format->name + " encoder failed (" + hex(hr_) + ")";
      return false;
    }
    return begin_frame(why);
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
  bool begin_frame(std::string* why) {
    const EncodeJob& job = job_;
    const char* container_name = job.format->name;
    Com<IPropertyBag2> options;
    HRESULT hr = encoder_->CreateNewFrame(frame_.out(), options.out());
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

// A GIF being encoded, frame after frame, each given whole in the job's layout and reduced by
// WIC to a palette of its own (256 colours at most, one of them transparent for pictures with
// alpha).
class GifEncoder {
 public:
  bool begin(IWICImagingFactory* factory, IStream* stream, const EncodeJob& job, std::string* why);
  bool frame(const uint8_t* pixels, std::string* why);
  bool end(std::string* why);

 private:
  bool failed(HRESULT hr, std::string* why);
  IWICImagingFactory* factory_ = nullptr;
  EncodeJob job_{};
  Com<IWICBitmapEncoder> encoder_;
};

// Puts each frame's delay (milliseconds; none when empty) and the loop count (none when
// negative) into the bytes of a GIF, and makes each frame clear its place after it when the
// picture has alpha (so a transparent pixel shows through, not the frame before). False when
// the bytes are not a GIF this code can follow.
bool gif_with_timing(std::vector<uint8_t>* gif, const std::vector<int>& delays, int loop,
                     bool alpha);

}  // namespace wic
}  // namespace image_io

#endif  // _WIN32
