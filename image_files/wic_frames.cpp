// Animations and multi-page files through WIC: the frames after the first read one at a time
// (a GIF's frames drawn onto its screen as a viewer shows them: each frame's place, its
// transparency and what it leaves behind), their delays and loop count, and the delays and
// loop count put into the bytes of a GIF this code writes.
#ifdef _WIN32

#include <windows.h>

#include <propidl.h>
#include <wincodec.h>
#include <wincodecsdk.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "image_files/image_io.h"
#include "image_files/orientation.h"
#include "image_files/wic.h"

namespace image_io {
namespace wic {
namespace {

// A number a metadata query reader gives, or `otherwise`.
UINT query_number(IWICMetadataQueryReader* reader, const wchar_t* name, UINT otherwise) {
  if (reader == nullptr) return otherwise;
  Variant value;
  if (FAILED(reader->GetMetadataByName(name, value.get()))) return otherwise;
  switch ((*value).vt) {
    case VT_UI1:
      return (*value).bVal;
    case VT_UI2:
      return (*value).uiVal;
    case VT_UI4:
      return (*value).ulVal;
    default:
      return otherwise;
  }
}

// How a GIF frame lies on its screen, and what it leaves there for the next one.
struct GifPlacement {
  UINT left = 0, top = 0, width = 0, height = 0;
  UINT disposal = 0;  // 2: its rectangle is cleared after it; 3: the screen is put back
};

GifPlacement placement_of(IWICBitmapFrameDecode* frame) {
  GifPlacement place;
  Com<IWICMetadataQueryReader> reader;
  if (FAILED(frame->GetMetadataQueryReader(reader.out()))) reader.reset();
  frame->GetSize(&place.width, &place.height);
  place.left = query_number(reader.get(), L"/imgdesc/Left", 0);
  place.top = query_number(reader.get(), L"/imgdesc/Top", 0);
  place.disposal = query_number(reader.get(), L"/grctlext/Disposal", 0);
  return place;
}

// The NETSCAPE2.0 loop count of a GIF's decoder, or -1.
int gif_loop(IWICBitmapDecoder* decoder) {
  Com<IWICMetadataQueryReader> reader;
  if (FAILED(decoder->GetMetadataQueryReader(reader.out()))) return -1;
  Variant data;
  if (FAILED(reader->GetMetadataByName(L"/appext/Data", data.get())) ||
      (*data).vt != (VT_VECTOR | VT_UI1) || (*data).caub.cElems < 4)
    return -1;
  const UCHAR* d = (*data).caub.pElems;
  return d[0] == 3 && d[1] == 1 ? int(d[2] | d[3] << 8) : -1;
}

// The frames after the first, decoded from the file's bytes, kept, by a decoder of their own.
class WicFrameSource : public FrameSource {
 public:
  WicFrameSource(const std::vector<uint8_t>& bytes, Kind kind, bool gif, int orientation,
                 std::string shown)
      : bytes_(bytes),
        kind_(kind),
        gif_(gif),
        orientation_(orientation),
        shown_(std::move(shown)) {}

  // The decoder; a GIF's screen as its first frame leaves it. False when it cannot be made.
  bool open(UINT width, UINT height) {
    width_ = width;
    height_ = height;
    std::string why;
    HRESULT hr = com_.usable() && create_factory(&factory_, &why) ? S_OK : E_FAIL;
    if (SUCCEEDED(hr)) hr = factory_->CreateStream(stream_.out());
    if (SUCCEEDED(hr)) hr = stream_->InitializeFromMemory(bytes_.data(), DWORD(bytes_.size()));
    if (SUCCEEDED(hr))
      hr = factory_->CreateDecoderFromStream(stream_.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                             decoder_.out());
    if (FAILED(hr) || !gif_) return SUCCEEDED(hr);
    screen_.assign(size_t(width) * height * 4, 0);
    return draw(0);
  }

  bool read(int index, plugin_host::Image* image, std::string* error) override {
    HRESULT hr = S_OK;
    if (gif_) {
      if (!draw(UINT(index))) hr = E_FAIL;
      Com<IWICBitmap> bitmap;
      if (SUCCEEDED(hr))
        hr = factory_->CreateBitmapFromMemory(width_, height_, GUID_WICPixelFormat32bppBGRA,
                                              width_ * 4, UINT(screen_.size()), screen_.data(),
                                              bitmap.out());
      if (SUCCEEDED(hr))
        hr = frame_planes(factory_.get(), bitmap.get(), kind_, orientation_, image);
    } else {
      Com<IWICBitmapFrameDecode> frame;
      hr = decoder_->GetFrame(UINT(index), frame.out());
      if (SUCCEEDED(hr)) hr = frame_planes(factory_.get(), frame.get(), kind_, orientation_, image);
    }
    if (SUCCEEDED(hr)) return true;
    *error = shown_ + ": frame " + std::to_string(index + 1) + " cannot be read (WIC error " +
             hex(hr) + ")";
    return false;
  }

 private:
  // Draws a GIF's frame onto the screen, after undoing what the previous one asked for.
  bool draw(UINT index) {
    if (previous_.disposal == 2) {
      for (UINT y = previous_.top; y < std::min(height_, previous_.top + previous_.height); ++y) {
        UINT right = std::min(width_, previous_.left + previous_.width);
        if (previous_.left < right)
          std::memset(&screen_[(size_t(y) * width_ + previous_.left) * 4], 0,
                      size_t(right - previous_.left) * 4);
      }
    } else if (previous_.disposal == 3 && !saved_.empty()) {
      screen_ = saved_;
    }
    Com<IWICBitmapFrameDecode> frame;
    Com<IWICFormatConverter> converter;
    HRESULT hr = decoder_->GetFrame(index, frame.out());
    if (FAILED(hr)) return false;
    const GifPlacement place = placement_of(frame.get());
    if (place.disposal == 3) saved_ = screen_;
    hr = factory_->CreateFormatConverter(converter.out());
    if (SUCCEEDED(hr))
      hr = converter->Initialize(frame.get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                                 nullptr, 0.0, WICBitmapPaletteTypeCustom);
    std::vector<uint8_t> pixels(size_t(place.width) * place.height * 4);
    if (SUCCEEDED(hr))
      hr = converter->CopyPixels(nullptr, place.width * 4, UINT(pixels.size()), pixels.data());
    if (FAILED(hr)) return false;
    // GIF transparency is all or nothing: a transparent pixel shows what is beneath.
    for (UINT y = 0; y < place.height && place.top + y < height_; ++y)
      for (UINT x = 0; x < place.width && place.left + x < width_; ++x) {
        const uint8_t* in = &pixels[(size_t(y) * place.width + x) * 4];
        if (in[3] != 0)
          std::memcpy(&screen_[(size_t(place.top + y) * width_ + place.left + x) * 4], in, 4);
      }
    previous_ = place;
    return true;
  }

  ComScope com_;  // first made, last gone
  Com<IWICImagingFactory> factory_;
  std::vector<uint8_t> bytes_;  // what the stream reads
  Com<IWICStream> stream_;
  Com<IWICBitmapDecoder> decoder_;
  const Kind kind_;
  const bool gif_;
  const int orientation_;  // as the first frame was turned
  const std::string shown_;
  UINT width_ = 0, height_ = 0;
  std::vector<uint8_t> screen_, saved_;  // a GIF's screen in BGRA, and the one to put back
  GifPlacement previous_;
};

}  // namespace

Frames frames_of(IWICImagingFactory*, IWICBitmapDecoder* decoder, const GUID& container,
                 const std::vector<uint8_t>& bytes, const LoadedImage& first,
                 const std::string& shown) {
  Frames frames;
  UINT count = 0;
  if (FAILED(decoder->GetFrameCount(&count)) || count < 2) return frames;
  frames.count = int(std::min<UINT>(count, 1u << 20));
  const bool gif = IsEqualGUID(container, GUID_ContainerFormatGif);
  // The stored size: the first frame may have been turned upright.
  const bool swapped = swaps_sides(first.turned_from);
  const UINT width = UINT(swapped ? first.image.height : first.image.width);
  const UINT height = UINT(swapped ? first.image.width : first.image.height);
  // Every frame of the first's size (a GIF's: the first covers the screen); their delays.
  std::vector<int> delays;
  for (UINT i = 0; i < UINT(frames.count) && frames.same_size; ++i) {
    Com<IWICBitmapFrameDecode> frame;
    if (FAILED(decoder->GetFrame(i, frame.out()))) {
      frames.same_size = false;
      break;
    }
    const GifPlacement place = placement_of(frame.get());
    if (gif) {
      Com<IWICMetadataQueryReader> reader;
      if (FAILED(frame->GetMetadataQueryReader(reader.out()))) reader.reset();
      delays.push_back(int(query_number(reader.get(), L"/grctlext/Delay", 0)) * 10);
      if (i == 0) {
        Com<IWICMetadataQueryReader> screen;
        if (FAILED(decoder->GetMetadataQueryReader(screen.out()))) screen.reset();
        frames.same_size = place.left == 0 && place.top == 0 &&
                           query_number(screen.get(), L"/logscrdesc/Width", width) == width &&
                           query_number(screen.get(), L"/logscrdesc/Height", height) == height;
      }
    } else {
      frames.same_size = place.width == width && place.height == height;
    }
  }
  if (!frames.same_size) return frames;
  if (gif) {
    frames.delays = std::move(delays);
    frames.loop = gif_loop(decoder);
  }
  auto source = std::make_shared<WicFrameSource>(bytes, first.kind, gif, first.turned_from, shown);
  if (source->open(width, height)) {
    frames.source = std::move(source);
  } else {
    frames.same_size = false;
  }
  return frames;
}

// --- writing GIF ---

bool GifEncoder::failed(HRESULT hr, std::string* why) {
  if (SUCCEEDED(hr)) return false;
  *why = "the GIF encoder failed (" + hex(hr) + ")";
  return true;
}

bool GifEncoder::begin(IWICImagingFactory* factory, IStream* stream, const EncodeJob& job,
                       std::string* why) {
  factory_ = factory;
  job_ = job;
  HRESULT hr = factory->CreateEncoder(GUID_ContainerFormatGif, nullptr, encoder_.out());
  if (SUCCEEDED(hr)) hr = encoder_->Initialize(stream, WICBitmapEncoderNoCache);
  return !failed(hr, why);
}

bool GifEncoder::frame(const uint8_t* pixels, std::string* why) {
  const Layout& layout = *job_.layout;
  const UINT stride = job_.width * UINT(layout.bytes);
  Com<IWICBitmap> bitmap;
  Com<IWICPalette> palette;
  Com<IWICFormatConverter> indexed;
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  HRESULT hr = factory_->CreateBitmapFromMemory(job_.width, job_.height, *layout.format, stride,
                                                stride * job_.height, const_cast<BYTE*>(pixels),
                                                bitmap.out());
  if (SUCCEEDED(hr)) hr = factory_->CreatePalette(palette.out());
  if (SUCCEEDED(hr)) hr = palette->InitializeFromBitmap(bitmap.get(), 256, layout.alpha >= 0);
  if (SUCCEEDED(hr)) hr = factory_->CreateFormatConverter(indexed.out());
  if (SUCCEEDED(hr))
    hr = indexed->Initialize(bitmap.get(), GUID_WICPixelFormat8bppIndexed, WICBitmapDitherTypeNone,
                             palette.get(), 0.0, WICBitmapPaletteTypeCustom);
  if (SUCCEEDED(hr)) hr = encoder_->CreateNewFrame(frame.out(), options.out());
  if (SUCCEEDED(hr)) hr = frame->Initialize(options.get());
  if (SUCCEEDED(hr)) hr = frame->SetSize(job_.width, job_.height);
  GUID format = GUID_WICPixelFormat8bppIndexed;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat8bppIndexed))
    hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  if (SUCCEEDED(hr)) hr = frame->SetPalette(palette.get());
  if (SUCCEEDED(hr)) hr = frame->WriteSource(indexed.get(), nullptr);
  if (SUCCEEDED(hr)) hr = frame->Commit();
  return !failed(hr, why);
}

bool GifEncoder::end(std::string* why) { return !failed(encoder_->Commit(), why); }

bool gif_with_timing(std::vector<uint8_t>* gif, const std::vector<int>& delays, int loop,
                     bool alpha) {
  const std::vector<uint8_t>& in = *gif;
  if (in.size() < 13 || std::memcmp(in.data(), "GIF8", 4) != 0) return false;
  auto table = [](uint8_t packed) {
    return (packed & 0x80) != 0 ? size_t(3) << ((packed & 7) + 1) : size_t(0);
  };
  // The sub-blocks from `at`, up to and with their terminator; 0 when they run past the end.
  auto sub_blocks = [&](size_t at) {
    while (at < in.size() && in[at] != 0) at += size_t(in[at]) + 1;
    return at < in.size() ? at + 1 : 0;
  };
  const size_t header = 13 + table(in[10]);
  if (header > in.size()) return false;
  std::vector<uint8_t> out(in.begin(), in.begin() + long(header));
  const uint8_t netscape[] = {0x21, 0xFF, 0x0B, 'N', 'E',           'T',
                              'S',  'C',  'A',  'P', 'E',           '2',
                              '.',  '0',  3,    1,   uint8_t(loop), uint8_t(loop >> 8),
                              0};
  if (loop >= 0) out.insert(out.end(), std::begin(netscape), std::end(netscape));
  size_t frame = 0;
  std::vector<uint8_t> control;  // the graphic control extension of the coming frame
  for (size_t at = header; at < in.size();) {
    const uint8_t kind = in[at];
    if (kind == 0x3B) {
      out.push_back(0x3B);
      *gif = std::move(out);
      return true;
    }
    if (kind == 0x21 && at + 1 < in.size()) {
      const size_t end = sub_blocks(at + 2);
      if (end == 0) return false;
      const bool is_control = in[at + 1] == 0xF9 && end - at == 8;
      const bool is_loop = in[at + 1] == 0xFF && at + 14 <= in.size() &&
                           std::memcmp(&in[at + 3], "NETSCAPE2.0", 11) == 0;
      if (is_control) {
        control.assign(in.begin() + long(at), in.begin() + long(end));
      } else if (!(is_loop && loop >= 0)) {
        out.insert(out.end(), in.begin() + long(at), in.begin() + long(end));
      }
      at = end;
      continue;
    }
    if (kind != 0x2C || at + 10 > in.size()) return false;
    const size_t data = at + 10 + table(in[at + 9]) + 1;  // after the LZW code size
    const size_t end = data <= in.size() ? sub_blocks(data) : 0;
    if (end == 0) return false;
    if (control.empty()) control = {0x21, 0xF9, 4, 0, 0, 0, 0, 0};
    if (frame < delays.size()) {
      const int centiseconds = (delays[frame] + 5) / 10;
      control[4] = uint8_t(centiseconds);
      control[5] = uint8_t(centiseconds >> 8);
    }
    if (alpha) control[3] = uint8_t((control[3] & ~0x1C) | 2 << 2);  // cleared after it
    out.insert(out.end(), control.begin(), control.end());
    out.insert(out.end(), in.begin() + long(at), in.begin() + long(end));
    control.clear();
    ++frame;
    at = end;
  }
  return false;
}

}  // namespace wic
}  // namespace image_io

#endif  // _WIN32
