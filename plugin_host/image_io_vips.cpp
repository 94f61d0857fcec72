// Image files through libvips, for the builds that are not Windows: every format this
// libvips reads, written as PNG, JPEG, TIFF, WebP, HEIF or AVIF (as far as it writes them),
// with the ICC profile, EXIF, XMP, IPTC and resolution carried over.
// Our headers first: they define TRUE and FALSE as Windows does, which GLib then keeps.
#include "plugin_host/image_io.h"
//
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips8>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace image_io {
namespace {

// The writable formats: the word WriteOptions uses, the extensions that ask for it, the libvips
// saver, and what the format holds.
struct Format {
  const char* word;
  const char* extensions[3];
  const char* saver;
  bool alpha, cmyk, lossy;
};
const Format kFormats[] = {
    {"png", {"png", nullptr, nullptr}, "pngsave", true, false, false},
    {"jpeg", {"jpg", "jpeg", "jpe"}, "jpegsave", false, true, true},
    {"tiff", {"tif", "tiff", nullptr}, "tiffsave", true, true, false},
    {"webp", {"webp", nullptr, nullptr}, "webpsave", true, false, true},
    {"heif", {"heic", "heif", nullptr}, "heifsave", true, false, true},
    {"avif", {"avif", nullptr, nullptr}, "heifsave", true, false, true},
};

// Starts libvips once. Loaders that are not meant for untrusted files stay blocked.
bool start_vips(std::string* why) {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    started = VIPS_INIT("zorbel") == 0;
    if (!started) return;
    vips_block_untrusted_set(TRUE);
    // libvips' warnings (a profile it ignores, say) are not the user's concern: failures come
    // back as one line each.
    g_log_set_handler(
        "VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
        [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    // Every file is read afresh: a cached load would show an earlier file of the same name.
    vips_cache_set_max(0);
  });
  if (!started) *why = "the image library could not start";
  return started;
}

// libvips' last error as one line, and the error buffer emptied.
std::string vips_reason() {
  std::string text = vips_error_buffer();
  vips_error_clear();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::size_t newline = text.find('\n');
  if (newline != std::string::npos) text.resize(newline);
  // libvips names the operation first ("VipsJpeg: ..."): the file name says more to a user.
  std::size_t colon = text.find(": ");
  if (colon != std::string::npos && text.compare(0, 4, "Vips") == 0) text.erase(0, colon + 2);
  return text.empty() ? "unknown failure" : text;
}

std::string lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// "x.JPG" -> "jpg"; a word without a dot is taken as it is.
std::string extension_of(const std::string& path_or_format) {
  std::size_t slash = path_or_format.find_last_of('/');
  std::size_t dot = path_or_format.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path_or_format.find('/') == std::string::npos ? lower(path_or_format) : "";
  return lower(path_or_format.substr(dot + 1));
}

bool saver_present(const Format& format) {
  return vips_type_find("VipsOperation", format.saver) != 0;
}

const Format* find_format(const std::string& path_or_format) {
  std::string wanted = extension_of(path_or_format);
  std::string why;
  if (wanted.empty() || !start_vips(&why)) return nullptr;
  for (const Format& format : kFormats) {
    bool named = wanted == format.word;
    for (const char* extension : format.extensions)
      named = named || (extension && wanted == extension);
    if (named) return saver_present(format) ? &format : nullptr;
  }
  return nullptr;
}

// The format word of a loader ("jpegload_buffer" -> "jpeg").
std::string format_of_loader(const std::string& loader) {
  std::size_t end = loader.find("load");
  return end == std::string::npos ? loader : loader.substr(0, end);
}

// Copies the pixels of an 8-bit image, strip by strip as libvips computes them, into rows.
struct RowSink {
  uint8_t* base;
  std::size_t row_bytes;
  int bands;
};

int copy_strip(VipsRegion* region, VipsRect* area, void* target) {
  const auto* sink = static_cast<const RowSink*>(target);
  for (int y = 0; y < area->height; ++y)
    std::memcpy(sink->base + std::size_t(area->top + y) * sink->row_bytes +
                    std::size_t(area->left) * sink->bands,
                VIPS_REGION_ADDR(region, area->left, area->top + y),
                std::size_t(area->width) * sink->bands);
  return 0;
}

std::vector<uint8_t> blob(const vips::VImage& image, const char* field) {
  if (image.get_typeof(field) != VIPS_TYPE_BLOB) return {};
  std::size_t length = 0;
  const auto* data = static_cast<const uint8_t*>(image.get_blob(field, &length));
  return std::vector<uint8_t>(data, data + length);
}

constexpr char kExifHeader[] = "Exif\0\0";  // how libvips (and JPEG) frames the TIFF structure

std::optional<LoadedImage> decode(const std::string& path, vips::VImage image, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = path + ": " + why;
    return std::nullopt;
  };
  LoadedImage loaded;
  if (image.get_typeof("vips-loader") != 0)
    loaded.format = format_of_loader(image.get_string("vips-loader"));
  switch (image.format()) {
    case VIPS_FORMAT_UCHAR:
      break;
    case VIPS_FORMAT_USHORT:
    case VIPS_FORMAT_SHORT:
      return fail("16-bit samples are not supported (8 bits per sample only)");
    case VIPS_FORMAT_FLOAT:
    case VIPS_FORMAT_DOUBLE:
      return fail("floating-point samples are not supported (8 bits per sample only)");
    default:
      return fail("samples of more than 8 bits are not supported (8 bits per sample only)");
  }
  const VipsInterpretation interpretation = image.interpretation();
  const int bands = image.bands();
  if (interpretation == VIPS_INTERPRETATION_LAB || interpretation == VIPS_INTERPRETATION_LABS ||
      interpretation == VIPS_INTERPRETATION_LCH || interpretation == VIPS_INTERPRETATION_XYZ)
    return fail("Lab and other device-independent colours are not supported");
  if (interpretation == VIPS_INTERPRETATION_CMYK) {
    if (bands != 4) return fail("CMYK with alpha or extra channels is not supported");
    loaded.kind = Kind::kCmyk;
  } else if (bands == 1) {
    loaded.kind = Kind::kGray;
  } else if (bands == 2) {
    loaded.kind = Kind::kGrayAlpha;
  } else if (bands == 3) {
    loaded.kind = Kind::kRgb;
  } else if (bands == 4) {
    loaded.kind = Kind::kRgba;
  } else {
    return fail(std::to_string(bands) + " channels are not supported (gray, RGB or CMYK only)");
  }
  if (image.width() > 32767 || image.height() > 32767)
    return fail("larger than 32767 pixels a side");

  loaded.image = plugin_host::Image(image.width(), image.height(), bands);
  RowSink sink{loaded.image.pixels.data(), std::size_t(image.width()) * bands, bands};
  if (vips_sink_disc(image.get_image(), copy_strip, &sink) != 0)
    return fail("cannot be read: " + vips_reason());

  Metadata& m = loaded.metadata;
  m.icc = blob(image, "icc-profile-data");
  m.exif = blob(image, "exif-data");
  if (m.exif.size() >= 6 && std::memcmp(m.exif.data(), kExifHeader, 6) == 0)
    m.exif.erase(m.exif.begin(), m.exif.begin() + 6);
  m.xmp = blob(image, "xmp-data");
  m.iptc = blob(image, "iptc-data");
  m.x_dpi = image.xres() * 25.4;  // libvips keeps pixels per millimetre
  m.y_dpi = image.yres() * 25.4;
  return loaded;
}

// The image as libvips sees it, over the pixels without copying them, with its metadata.
vips::VImage to_vips(const LoadedImage& loaded, bool strip) {
  const plugin_host::Image& pixels = loaded.image;
  vips::VImage image = vips::VImage::new_from_memory(
      const_cast<uint8_t*>(pixels.pixels.data()), pixels.pixels.size(), pixels.width, pixels.height,
      pixels.planes, VIPS_FORMAT_UCHAR);
  VipsInterpretation interpretation = VIPS_INTERPRETATION_sRGB;
  if (loaded.kind == Kind::kCmyk) interpretation = VIPS_INTERPRETATION_CMYK;
  if (loaded.kind == Kind::kGray || loaded.kind == Kind::kGrayAlpha)
    interpretation = VIPS_INTERPRETATION_B_W;
  const Metadata& m = loaded.metadata;
  auto options = vips::VImage::option()->set("interpretation", interpretation);
  if (!strip && m.x_dpi > 0 && m.y_dpi > 0)
    options = options->set("xres", m.x_dpi / 25.4)->set("yres", m.y_dpi / 25.4);
  image = image.copy(options);  // a header of its own, so its fields can be set
  if (strip) return image;
  VipsImage* header = image.get_image();
  if (!m.icc.empty())
    vips_image_set_blob_copy(header, "icc-profile-data", m.icc.data(), m.icc.size());
  if (!m.exif.empty()) {
    std::vector<uint8_t> framed(kExifHeader, kExifHeader + 6);
    framed.insert(framed.end(), m.exif.begin(), m.exif.end());
    vips_image_set_blob_copy(header, "exif-data", framed.data(), framed.size());
  }
  if (!m.xmp.empty()) vips_image_set_blob_copy(header, "xmp-data", m.xmp.data(), m.xmp.size());
  if (!m.iptc.empty()) vips_image_set_blob_copy(header, "iptc-data", m.iptc.data(), m.iptc.size());
  return image;
}

vips::VOption* save_options(const Format& format, const WriteOptions& options) {
  vips::VOption* o = vips::VImage::option()->set("strip", options.strip);
  if (format.lossy && options.quality > 0) o = o->set("Q", options.quality);
  if (std::strcmp(format.word, "jpeg") == 0 && options.quality == 0) o = o->set("Q", 90);
  if (std::strcmp(format.word, "webp") == 0 || std::strcmp(format.word, "avif") == 0 ||
      std::strcmp(format.word, "heif") == 0)
    o = o->set("lossless", options.lossless);
  if (std::strcmp(format.word, "avif") == 0)
    o = o->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1);
  // TIFF stays uncompressed, as photographs' TIFFs usually are, and fast to write.
  if (std::strcmp(format.word, "tiff") == 0) o = o->set("resunit", VIPS_FOREIGN_TIFF_RESUNIT_INCH);
  return o;
}

std::atomic<unsigned> temporary_count{0};

}  // namespace

std::optional<LoadedImage> read_image(const std::string& path, std::string* error) {
  if (!start_vips(error)) return std::nullopt;
  auto options = [] {
    return vips::VImage::option()
        ->set("access", VIPS_ACCESS_SEQUENTIAL)
        ->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
  };
  try {
    if (path == "-") {
      std::vector<uint8_t> bytes;
      uint8_t buffer[1 << 16];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
      if (bytes.empty()) {
        *error = "standard input: no image came";
        return std::nullopt;
      }
      return decode("standard input",
                    vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "", options()),
                    error);
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
      *error = path + ": cannot be opened (" + std::strerror(errno) + ")";
      return std::nullopt;
    }
    if (S_ISDIR(info.st_mode)) {
      *error = path + ": is a folder, not an image";
      return std::nullopt;
    }
    if (vips_foreign_find_load(path.c_str()) == nullptr) {
      vips_error_clear();
      *error = path + ": not an image this build reads (" + writable_formats() + ", GIF, ...)";
      return std::nullopt;
    }
    return decode(path, vips::VImage::new_from_file(path.c_str(), options()), error);
  } catch (const vips::VError&) {
    *error =
        (path == "-" ? std::string("standard input") : path) + ": cannot be read: " + vips_reason();
    return std::nullopt;
  }
}

bool write_image(const std::string& path, const LoadedImage& loaded, const WriteOptions& options,
                 std::string* error) {
  const std::string shown = path == "-" ? "standard output" : path;
  const std::string& named = options.format.empty() ? path : options.format;
  if (auto refusal = write_refusal(named, loaded.kind)) {
    *error = shown + ": " + *refusal;
    return false;
  }
  const Format& format = *find_format(named);
  try {
    vips::VImage image = to_vips(loaded, options.strip);
    if (path == "-") {
      std::string suffix = std::string(".") + format.extensions[0];
      void* bytes = nullptr;
      std::size_t length = 0;
      image.write_to_buffer(suffix.c_str(), &bytes, &length, save_options(format, options));
      bool written = std::fwrite(bytes, 1, length, stdout) == length && std::fflush(stdout) == 0;
      g_free(bytes);
      if (!written)
        *error = "standard output: cannot be written (" + std::string(std::strerror(errno)) + ")";
      return written;
    }
    const std::string temporary =
        path + ".zorbel-tmp-" + std::to_string(getpid()) + "-" + std::to_string(temporary_count++);
    begin_partial_output(temporary);
    bool written = false;
    try {
      vips::VImage::call(
          format.saver,
          save_options(format, options)->set("in", image)->set("filename", temporary.c_str()));
      written = true;
    } catch (const vips::VError&) {
      *error = path + ": cannot be written: " + vips_reason();
    }
    if (written && std::rename(temporary.c_str(), path.c_str()) != 0) {
      *error = path + ": cannot be written (" + std::strerror(errno) + ")";
      written = false;
    }
    if (!written) std::remove(temporary.c_str());
    end_partial_output(temporary);
    return written;
  } catch (const vips::VError&) {
    *error = shown + ": cannot be written: " + vips_reason();
    return false;
  }
}

bool write_image(const std::string& path, const LoadedImage& loaded, std::string* error) {
  return write_image(path, loaded, WriteOptions{}, error);
}

std::optional<std::string> output_format(const std::string& path_or_format) {
  const Format* format = find_format(path_or_format);
  if (format == nullptr) return std::nullopt;
  return std::string(format->word);
}

std::string writable_formats() {
  std::string list;
  std::string why;
  if (!start_vips(&why)) return list;
  for (const Format& format : kFormats) {
    if (!saver_present(format)) continue;
    if (!list.empty()) list += ", ";
    list += format.extensions[0];
  }
  return list;
}

bool writable_extension(const std::string& path) { return find_format(path) != nullptr; }

std::optional<std::string> write_refusal(const std::string& path_or_format, Kind kind) {
  const Format* format = find_format(path_or_format);
  if (format == nullptr) {
    std::string wanted = extension_of(path_or_format);
    return (wanted.empty() ? std::string("no image format given")
                           : "this build does not write " + wanted + " images") +
           " (it writes " + writable_formats() + ")";
  }
  if (kind == Kind::kCmyk && !format->cmyk)
    return std::string("a CMYK image cannot be written as ") + format->word + " (write jpg or tif)";
  if ((kind == Kind::kGrayAlpha || kind == Kind::kRgba) && !format->alpha)
    return std::string("an image with alpha cannot be written as ") + format->word +
           " without losing it (write png, tif or webp)";
  return std::nullopt;
}

}  // namespace image_io
