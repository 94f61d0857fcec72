// Image files for the zorbel command: PNG and TIFF, 8 bits per sample, gray, gray with alpha,
// RGB, RGBA and (TIFF) CMYK. libpng and libtiff on Linux, Windows' own codecs (WIC) on
// Windows, behind this one interface. Everything else is refused with a one-line reason.
#pragma once

#include <optional>
#include <string>

#include "plugin_host/plugin_host.h"

namespace image_io {

enum class Kind { kGray, kGrayAlpha, kRgb, kRgba, kCmyk };

struct LoadedImage {
  plugin_host::Image image;  // planes: 1, 2, 3, 4 or 4 by kind; alpha last
  Kind kind = Kind::kRgb;
};

// Colour planes the filter sees (alpha excluded) and the host image mode of a kind.
int32_t color_planes(Kind kind);
int16_t image_mode(Kind kind);
const char* kind_name(Kind kind);

// Reads a PNG or TIFF file. On failure returns nothing and sets *error to one line that
// names the file and the reason ("photo.png: 16-bit samples are not supported").
std::optional<LoadedImage> read_image(const std::string& path, std::string* error);

// Writes a PNG (.png) or TIFF (.tif, .tiff) file, chosen by the extension. The bytes go to a
// temporary file beside the target, which is renamed over it only when complete: a failed
// write leaves no file and never clobbers an existing one.
bool write_image(const std::string& path, const LoadedImage& image, std::string* error);

// True for a path whose extension write_image understands.
bool writable_extension(const std::string& path);

// Why an image of this kind cannot be written under this name (the format cannot hold it),
// or nothing when it can; lets a caller refuse before any work is done.
std::optional<std::string> write_refusal(const std::string& path, Kind kind);

}  // namespace image_io
