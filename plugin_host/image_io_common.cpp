// What image kinds mean to the host, on every platform.
#include <algorithm>
#include <cctype>

#include "plugin_host/image_io.h"

namespace image_io {

int32_t color_planes(Kind kind) {
  switch (kind) {
    case Kind::kGray:
    case Kind::kGrayAlpha:
      return 1;
    case Kind::kCmyk:
      return 4;
    default:
      return 3;
  }
}

int16_t image_mode(Kind kind) {
  switch (kind) {
    case Kind::kGray:
    case Kind::kGrayAlpha:
      return filter_api::plugInModeGrayScale;
    case Kind::kCmyk:
      return filter_api::plugInModeCMYKColor;
    default:
      return filter_api::plugInModeRGBColor;
  }
}

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::kGray:
      return "gray";
    case Kind::kGrayAlpha:
      return "gray with alpha";
    case Kind::kRgb:
      return "RGB";
    case Kind::kRgba:
      return "RGBA";
    case Kind::kCmyk:
      return "CMYK";
  }
  return "?";
}

namespace {

std::string extension(const std::string& path) {
  std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos) return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

}  // namespace

bool writable_extension(const std::string& path) {
  std::string ext = extension(path);
  return ext == "png" || ext == "tif" || ext == "tiff";
}

std::optional<std::string> write_refusal(const std::string& path, Kind kind) {
  if (!writable_extension(path))
    return std::string("the output name must end in .png, .tif or .tiff");
  bool png = extension(path) == "png";
  if (kind == Kind::kCmyk && png)
    return std::string("a CMYK image can only be written as TIFF (.tif)");
#ifdef _WIN32
  // Windows' TIFF encoder has no gray-with-alpha format.
  if (kind == Kind::kGrayAlpha && !png)
    return std::string("gray with alpha can only be written as PNG on Windows");
#endif
  return std::nullopt;
}

}  // namespace image_io
