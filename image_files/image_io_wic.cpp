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

#include "image_files/embedded_metadata.h"
#include "image_files/exif.h"
#include "image_files/image_io.h"
#include "image_files/wic.h"
#include "plugin_host/arguments.h"

namespace image_io {

using namespace wic;

std::optional<std::string> output_format(const std::string& path_or_format) {
  const WritableFormat* format = writable_format(format_word(path_or_format));
  return format != nullptr ? std::optional<std::string>(format->word) : std::nullopt;
}

std::string writable_formats() { return "png, jpg, tif, gif"; }

bool holds_frames(const std::string& path_or_format) {
  const WritableFormat* format = writable_format(format_word(path_or_format));
  return format == &kTiff || format == &kGif;
}

std::string frame_formats() { return "tif or gif"; }

bool writable_extension(const std::string& path) {
  std::optional<std::string> extension = extension_of(path);
  return extension && writable_format(*extension) != nullptr;
}

std::optional<std::string> write_refusal(const std::string& path_or_format, Kind kind) {
  const WritableFormat* format = writable_format(format_word(path_or_format));
  if (format == nullptr) return unwritable(path_or_format);
  return kind_refusal(*format, kind);
}

std::optional<LoadedImage> read_image(const std::string& path, std::string* error,
                                      Orientation orientation) {
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
      if (create_factory(&factory, &why))
        loaded = decode(factory.get(), bytes, &why, shown, orientation);
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
  // `frames` frames of `frame_height` rows each.
  WicRowWriter(const std::string& path, UINT frame_height, UINT frames)
      : path_(path), frame_height_(frame_height), height_(frame_height * frames) {}

  ~WicRowWriter() override {
    frame_.reset();
    gif_.reset();
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
    // A GIF is encoded into memory too: its delays and loop count are put into its bytes.
    in_memory_ = path_ == "-" || &format == &kGif || (&format != &kTiff && has_embedded(metadata_));
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
    EncodeJob job = plain_job(format, header.kind, UINT(header.image.width), frame_height_, options,
                              &metadata_, to_byte_);
    if (&format == &kGif) {
      // Each frame is kept whole until its last row, then reduced to its palette.
      delays_ = header.frames.delays;
      loop_ = header.frames.loop;
      alpha_ = job.layout->alpha >= 0;
      job_ = job;
      gif_rows_.resize(size_t(job.width) * job.layout->bytes * frame_height_);
      gif_.emplace();
      return gif_->begin(factory_.get(), stream_.get(), job, why);
    }
    frame_.emplace();
    return frame_->begin(factory_.get(), stream_.get(), job, why);
  }

  bool put(const uint8_t* row) override {
    if (rows_ >= height_ || !failure_.empty()) return false;
    std::string why;
    if (gif_) {
      const Layout& layout = *job_.layout;
      uint8_t* out = gif_rows_.data() + size_t(rows_ % frame_height_) * job_.width * layout.bytes;
      for (UINT n = job_.width; n > 0; --n, row += job_.in_bytes, out += layout.bytes)
        for (int p = 0; p < job_.in_bytes; ++p) out[job_.to_byte[p]] = row[p];
      if (++rows_ % frame_height_ != 0 || gif_->frame(gif_rows_.data(), &why)) return true;
      fail(why);
      return false;
    }
    ++rows_;
    if (frame_->write(row, 1) &&
        (rows_ % frame_height_ != 0 || rows_ == height_ || frame_->next_frame(&why)))
      return true;
    if (why.empty()) frame_->end(&why);
    fail(why);
    return false;
  }

  bool finish(std::string* error) override {
    std::string why;
    if (failure_.empty() && rows_ < height_) fail("the image was not finished");
    if (failure_.empty() && (gif_ ? !gif_->end(&why) : !frame_->end(&why))) fail(why);
    frame_.reset();
    gif_.reset();
    std::vector<uint8_t> bytes;
    if (failure_.empty() && in_memory_ &&
        !(stream_bytes(stream_.get(), &bytes, &why) &&
          (format_ != &kGif || gif_with_timing(&bytes, delays_, loop_, alpha_) ||
           (why = "the GIF encoder wrote blocks this code cannot follow", false)) &&
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
  std::optional<GifEncoder> gif_;  // a GIF: frames kept whole, and their timing
  EncodeJob job_{};
  std::vector<uint8_t> gif_rows_;
  std::vector<int> delays_;
  int loop_ = -1;
  bool alpha_ = false;
  int to_byte_[4] = {};
  std::string path_, temporary_;
  std::wstring wide_target_, wide_temporary_;
  UINT frame_height_, height_, rows_ = 0;
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
  if (header.frames.count > 1 && !holds_frames(asked)) {
    *error = shown + ": cannot be written (" + format->name + " keeps one frame, not " +
             std::to_string(header.frames.count) + ")";
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
    auto writer = std::make_unique<WicRowWriter>(path, UINT(header.image.height),
                                                 UINT(std::max(1, header.frames.count)));
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
