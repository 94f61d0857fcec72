// Image files through libpng and libtiff, for the builds that are not Windows.
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "plugin_host/image_io.h"

namespace image_io {
namespace {

std::string lower_extension(const std::string& path) {
  std::size_t dot = path.find_last_of('.');
  std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

// --- PNG ---

struct PngMessage {
  std::string text;     // libpng's own words
  std::string refusal;  // ours, when we stop a file we do not take
};

void png_error_to_text(png_structp png, png_const_charp message) {
  auto* where = static_cast<PngMessage*>(png_get_error_ptr(png));
  if (where != nullptr) where->text = message;
  png_longjmp(png, 1);
}
void png_ignore_warning(png_structp, png_const_charp) {}

std::optional<LoadedImage> read_png(const std::string& path, FILE* file, std::string* error) {
  PngMessage message;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, png_error_to_text,
                                           png_ignore_warning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    *error = path + ": out of memory";
    return std::nullopt;
  }
  // Everything with a destructor lives outside the jump.
  auto loaded = std::make_unique<LoadedImage>();
  std::vector<png_bytep> rows;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = path + ": " +
             (message.refusal.empty() ? "damaged PNG (" + message.text + ")" : message.refusal);
    return std::nullopt;
  }
  png_init_io(png, file);
  png_read_info(png, info);
  png_uint_32 width = png_get_image_width(png, info);
  png_uint_32 height = png_get_image_height(png, info);
  int depth = png_get_bit_depth(png, info);
  int type = png_get_color_type(png, info);
  if (depth == 16) {
    message.refusal = "16-bit samples are not supported (8 bits per sample only)";
    png_error(png, "refused");
  }
  if (type == PNG_COLOR_TYPE_PALETTE) {
    message.refusal = "indexed colour is not supported (gray, RGB or RGBA only)";
    png_error(png, "refused");
  }
  if (width > 32767 || height > 32767) {
    message.refusal = "larger than 32767 pixels a side";
    png_error(png, "refused");
  }
  if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  switch (type) {
    case PNG_COLOR_TYPE_GRAY:
      loaded->kind = Kind::kGray;
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      loaded->kind = Kind::kGrayAlpha;
      break;
    case PNG_COLOR_TYPE_RGB:
      loaded->kind = Kind::kRgb;
      break;
    default:
      loaded->kind = Kind::kRgba;
      break;
  }
  int planes = png_get_channels(png, info);
  loaded->image = plugin_host::Image(int32_t(width), int32_t(height), planes);
  rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = loaded->image.at(0, int32_t(y));
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return std::move(*loaded);
}

bool write_png(FILE* file, const LoadedImage& loaded, std::string* why) {
  if (loaded.kind == Kind::kCmyk) {
    *why = "CMYK images can only be written as TIFF";
    return false;
  }
  PngMessage message;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &message, png_error_to_text,
                                            png_ignore_warning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *why = "out of memory";
    return false;
  }
  std::vector<png_bytep> rows(size_t(loaded.image.height));
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *why = message.text;
    return false;
  }
  int type = loaded.kind == Kind::kGray        ? PNG_COLOR_TYPE_GRAY
             : loaded.kind == Kind::kGrayAlpha ? PNG_COLOR_TYPE_GRAY_ALPHA
             : loaded.kind == Kind::kRgb       ? PNG_COLOR_TYPE_RGB
                                               : PNG_COLOR_TYPE_RGB_ALPHA;
  png_init_io(png, file);
  png_set_IHDR(png, info, png_uint_32(loaded.image.width), png_uint_32(loaded.image.height), 8,
               type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int32_t y = 0; y < loaded.image.height; ++y)
    rows[size_t(y)] = const_cast<png_bytep>(loaded.image.at(0, y));
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// --- TIFF ---

thread_local std::string tiff_message;
void tiff_error(const char*, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  tiff_message = text;
}
void tiff_warning(const char*, const char*, va_list) {}

struct TiffCloser {
  void operator()(TIFF* t) const {
    if (t != nullptr) TIFFClose(t);
  }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

std::optional<LoadedImage> read_tiff(const std::string& path, std::string* error) {
  tiff_message.clear();
  Tiff tiff(TIFFOpen(path.c_str(), "r"));
  auto fail = [&](const std::string& why) -> std::optional<LoadedImage> {
    *error = path + ": " + why;
    return std::nullopt;
  };
  if (!tiff) return fail("damaged TIFF (" + tiff_message + ")");
  uint32_t width = 0, height = 0;
  uint16_t samples = 1, bits = 1, photometric = 0, planar = PLANARCONFIG_CONTIG,
           inkset = INKSET_CMYK;
  uint16_t extra_count = 0;
  uint16_t* extra = nullptr;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_INKSET, &inkset);
  if (!TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric))
    return fail("TIFF without a photometric interpretation");
  if (bits != 8) return fail(std::to_string(bits) + "-bit samples are not supported (8 bits only)");
  if (width == 0 || height == 0 || width > 32767 || height > 32767)
    return fail("size " + std::to_string(width) + " x " + std::to_string(height) +
                " is not supported (1 to 32767 pixels a side)");
  if (planar != PLANARCONFIG_CONTIG) return fail("separate colour planes are not supported");
  if (TIFFIsTiled(tiff.get())) return fail("tiled TIFF is not supported");
  LoadedImage loaded;
  bool alpha = extra_count > 0;
  if ((photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) &&
      samples == 1 + (alpha ? 1 : 0)) {
    loaded.kind = alpha ? Kind::kGrayAlpha : Kind::kGray;
  } else if (photometric == PHOTOMETRIC_RGB && samples == 3 + (alpha ? 1 : 0)) {
    loaded.kind = alpha ? Kind::kRgba : Kind::kRgb;
  } else if (photometric == PHOTOMETRIC_SEPARATED && samples == 4 && inkset == INKSET_CMYK) {
    loaded.kind = Kind::kCmyk;
  } else if (photometric == PHOTOMETRIC_PALETTE) {
    return fail("indexed colour is not supported (gray, RGB, RGBA or CMYK only)");
  } else {
    return fail("this colour layout is not supported (gray, RGB, RGBA or CMYK only)");
  }
  loaded.image = plugin_host::Image(int32_t(width), int32_t(height), samples);
  if (TIFFScanlineSize(tiff.get()) != tmsize_t(width) * samples)
    return fail("damaged TIFF (unexpected row size)");
  for (uint32_t y = 0; y < height; ++y) {
    if (TIFFReadScanline(tiff.get(), loaded.image.at(0, int32_t(y)), y, 0) < 0)
      return fail("damaged TIFF (" + tiff_message + ")");
  }
  if (photometric == PHOTOMETRIC_MINISWHITE) {
    for (size_t i = 0; i < loaded.image.pixels.size(); i += samples)
      loaded.image.pixels[i] = uint8_t(255 - loaded.image.pixels[i]);
  }
  return loaded;
}

bool write_tiff(const std::string& path, const LoadedImage& loaded, std::string* why) {
  tiff_message.clear();
  Tiff tiff(TIFFOpen(path.c_str(), "w"));
  if (!tiff) {
    *why = tiff_message;
    return false;
  }
  const plugin_host::Image& image = loaded.image;
  TIFF* t = tiff.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(image.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(image.height));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(image.planes));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE));
  TIFFSetField(t, TIFFTAG_ORIENTATION, uint16_t(ORIENTATION_TOPLEFT));
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  uint16_t photometric = loaded.kind == Kind::kCmyk ? PHOTOMETRIC_SEPARATED
                         : loaded.kind == Kind::kGray || loaded.kind == Kind::kGrayAlpha
                             ? PHOTOMETRIC_MINISBLACK
                             : PHOTOMETRIC_RGB;
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
  if (loaded.kind == Kind::kCmyk) TIFFSetField(t, TIFFTAG_INKSET, uint16_t(INKSET_CMYK));
  if (loaded.kind == Kind::kGrayAlpha || loaded.kind == Kind::kRgba) {
    uint16_t unassociated = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), &unassociated);
  }
  for (int32_t y = 0; y < image.height; ++y) {
    if (TIFFWriteScanline(t, const_cast<uint8_t*>(image.at(0, y)), uint32_t(y), 0) < 0) {
      *why = tiff_message;
      return false;
    }
  }
  if (!TIFFFlush(t)) {
    *why = tiff_message.empty() ? "the file could not be completed" : tiff_message;
    return false;
  }
  return true;
}

}  // namespace

std::optional<LoadedImage> read_image(const std::string& path, std::string* error) {
  TIFFSetErrorHandler(tiff_error);
  TIFFSetWarningHandler(tiff_warning);
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    *error = path + ": cannot be opened (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  unsigned char magic[8] = {};
  size_t got = std::fread(magic, 1, sizeof magic, file.get());
  std::rewind(file.get());
  if (got == 8 && png_sig_cmp(magic, 0, 8) == 0) return read_png(path, file.get(), error);
  bool tiff =
      got >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && magic[2] == 42 && magic[3] == 0) ||
                   (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 42));
  if (tiff) return read_tiff(path, error);
  *error = path + ": not a PNG or TIFF image";
  return std::nullopt;
}

bool write_image(const std::string& path, const LoadedImage& image, std::string* error) {
  TIFFSetErrorHandler(tiff_error);
  TIFFSetWarningHandler(tiff_warning);
  std::string ext = lower_extension(path);
  if (ext != "png" && ext != "tif" && ext != "tiff") {
    *error = path + ": cannot be written (use a .png, .tif or .tiff name)";
    return false;
  }
  std::string temporary = path + ".zorbel-tmp-" + std::to_string(getpid());
  std::string why;
  bool written;
  if (ext == "png") {
    File file(std::fopen(temporary.c_str(), "wb"));
    if (!file) {
      *error = path + ": cannot be written (" + std::strerror(errno) + ")";
      return false;
    }
    written = write_png(file.get(), image, &why);
    if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
      written = false;
      why = std::strerror(errno);
    }
  } else {
    written = write_tiff(temporary, image, &why);
  }
  if (written && std::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    why = std::strerror(errno);
  }
  if (!written) {
    std::remove(temporary.c_str());
    *error = path + ": cannot be written (" + (why.empty() ? "unknown error" : why) + ")";
  }
  return written;
}

}  // namespace image_io
