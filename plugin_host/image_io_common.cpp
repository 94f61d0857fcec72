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

bool writable_extension(const std::string& path) {
  std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return ext == "png" || ext == "tif" || ext == "tiff";
}

}  // namespace image_io
