// Feeds random bytes to the command's image reader (image_io::read_image, libvips behind
// it) as an image file, under a name with or without a format's extension.
//
// A file it reads gives an image whose pixels, planes and kind agree, 1 to 32767 pixels a
// side; a file it refuses gives one line naming the file. Files that declare more than a few
// million pixels are left out before reading, so that decoding stays quick: their size is
// refused or allocated by the reader as the header says, and nothing more is learnt.
// Our headers first: they define TRUE and FALSE as Windows does, which GLib then keeps.
#include "plugin_host/image_io.h"
//
#include <unistd.h>
#include <vips/vips8>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

constexpr uint64_t kMostPixels = 4 << 20;

std::string folder() {
  static const std::string path = [] {
    char pattern[] = "/tmp/zorbel-fuzz-images-XXXXXX";
    const char* made = mkdtemp(pattern);
    check(made != nullptr, "a folder for the files");
    return std::string(made);
  }();
  return path;
}

int32_t planes_of(image_io::Kind kind) {
  switch (kind) {
    case image_io::Kind::kGray:
      return 1;
    case image_io::Kind::kGrayAlpha:
      return 2;
    case image_io::Kind::kRgb:
      return 3;
    default:
      return 4;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // One worker thread: the harness runs beside others on a shared machine.
  setenv("VIPS_CONCURRENCY", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the file name's extension; loaders that go by the name read it.
  static const char* const kNames[] = {"image",      "image.png", "image.jpg", "image.tif",
                                       "image.webp", "image.gif", "image.csv", "image.heic"};
  const std::string path = folder() + "/" + kNames[data[0] % 8];
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), std::streamsize(size - 1));
    check(bool(out), "the file is written");
  }
  std::string error;
  // The first read starts libvips; the header alone says how large the image is.
  image_io::output_format("png");
  VipsImage* header = vips_image_new_from_file(path.c_str(), nullptr);
  if (header != nullptr) {
    const uint64_t pixels = uint64_t(vips_image_get_width(header)) *
                            uint64_t(vips_image_get_height(header)) *
                            uint64_t(vips_image_get_bands(header));
    g_object_unref(header);
    if (pixels > kMostPixels) {
      std::remove(path.c_str());
      return 0;
    }
  }
  vips_error_clear();

  auto loaded = image_io::read_image(path, &error);
  if (!loaded) {
    check(error.rfind(path + ": ", 0) == 0 && error.find('\n') == std::string::npos,
          "a refused file gives one line naming it");
  } else {
    const plugin_host::Image& image = loaded->image;
    check(image.width >= 1 && image.width <= 32767 && image.height >= 1 && image.height <= 32767,
          "1 to 32767 pixels a side");
    check(image.planes == planes_of(loaded->kind), "planes agree with the kind");
    check(image.pixels.size() == size_t(image.width) * image.height * image.planes,
          "every pixel is there");
    check(image_io::color_planes(loaded->kind) <= image.planes, "colour planes fit");
  }
  std::remove(path.c_str());
  return 0;
}
