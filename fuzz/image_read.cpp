// Feeds random bytes to the command's image reader (image_io::read_image, libvips behind
// it) as an image file, under a name with or without a format's extension.
//
// A file it reads gives an image whose pixels, planes and kind agree, 1 to 32767 pixels a
// side; a file it refuses gives one line naming the file. Files that declare more than a few
// million pixels are left out before reading, so that decoding stays quick: their size is
// refused or allocated by the reader as the header says, and nothing more is learnt.
// The same bytes go to the readers of metadata inside JPEG, PNG and TIFF files (which the
// Windows build uses), and what they find is written into small files of each kind and read
// back as it was; their orientation and a JPEG's estimated quality stay in range, and a picture
// marked upright says orientation 1 in an EXIF block of the same size.
// Our headers first: they define TRUE and FALSE as Windows does, which GLib then keeps.
#include "image_files/embedded_metadata.h"
#include "image_files/image_io.h"
#include "image_files/orientation.h"
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

// The smallest files of each kind the writers put metadata into: a JPEG's start and end, a PNG's
// signature, header and end.
const std::vector<uint8_t> kJpegShell = {0xFF, 0xD8, 0xFF, 0xD9};

std::vector<uint8_t> png_shell() {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const uint8_t header[] = {'I', 'H', 'D', 'R', 0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0};
  png.insert(png.end(), {0, 0, 0, 13});
  png.insert(png.end(), header, header + sizeof header);
  const uint32_t crc = image_io::crc32(header, sizeof header);
  png.insert(png.end(), {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
  png.insert(png.end(), {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82});
  return png;
}

// The metadata found in the bytes goes into a JPEG and a PNG and comes back as it went in,
// as far as each holds it.
void metadata_round_trip(const uint8_t* data, size_t size) {
  image_io::Metadata found;
  image_io::read_jpeg_metadata(data, size, &found);
  image_io::read_png_metadata(data, size, &found);
  image_io::read_tiff_metadata(data, size, &found);
  image_io::Metadata back;
  const std::vector<uint8_t> jpeg = image_io::jpeg_with_metadata(kJpegShell, found);
  image_io::read_jpeg_metadata(jpeg.data(), jpeg.size(), &back);
  check(found.icc.size() > 65500 * 255 || back.icc == found.icc, "a JPEG keeps the profile");
  check(found.exif.size() > 65500 || back.exif == found.exif, "a JPEG keeps the EXIF");
  check(found.xmp.size() > 65500 || back.xmp == found.xmp, "a JPEG keeps the XMP");
  check(found.iptc.size() > 65500 || back.iptc == found.iptc, "a JPEG keeps the IPTC");
  image_io::Metadata from_png;
  const std::vector<uint8_t> png = image_io::png_with_metadata(png_shell(), found);
  image_io::read_png_metadata(png.data(), png.size(), &from_png);
  const bool exif = found.exif.size() >= 8 && found.exif[0] == found.exif[1] &&
                    (found.exif[0] == 'I' || found.exif[0] == 'M');
  check(!exif || from_png.exif == found.exif, "a PNG keeps the EXIF");
  check(from_png.xmp == found.xmp, "a PNG keeps the XMP");

  const int quality = image_io::jpeg_quality(data, size);
  check(quality >= 0 && quality <= 100, "a JPEG's quality is 0 to 100");
  const int orientation = image_io::exif_orientation(found.exif);
  check(orientation >= 1 && orientation <= 8, "an orientation is 1 to 8");
  image_io::Metadata upright = found;
  image_io::mark_upright(&upright, orientation);
  check(upright.exif.size() == found.exif.size() && upright.xmp.size() == found.xmp.size(),
        "marking a picture upright keeps the blocks' sizes");
  check(image_io::exif_orientation(upright.exif) == 1, "a picture marked upright says so");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // One worker thread: the harness runs beside others on a shared machine.
  setenv("VIPS_CONCURRENCY", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  metadata_round_trip(data + 1, size - 1);
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
    check(image_io::exif_orientation(loaded->metadata.exif) == 1 || loaded->turned_from == 1,
          "a picture turned upright says orientation 1");
  }
  std::remove(path.c_str());
  return 0;
}
