// The zorbel command on photographs stored sideways or mirrored with an EXIF orientation tag:
// each of the eight is filtered as viewers show it (libvips' own autorotate is the reference),
// alone and in a batch, its selection read in the same frame; --keep-orientation keeps the
// stored frame; and a JPEG keeps the quality it was saved with.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "image_files/image_io.h"
// After our headers, which define TRUE and FALSE as Windows does (GLib keeps them).
#include <vips/vips.h>

namespace {

class Orientation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = "/tmp/zorbel-orientation-" + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    ASSERT_EQ(VIPS_INIT("zorbel_e2e_tests"), 0);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(folder); }
  static std::string path(const std::string& name) { return folder + "/" + name; }

  static int zorbel(const std::string& arguments, std::string* output) {
    const std::string command =
        "ZORBEL_CONFIG_DIR=" + folder + "/config " ZORBEL_COMMAND " -q " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *output += buffer;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static void expect_zorbel(const std::string& arguments) {
    std::string output;
    EXPECT_EQ(zorbel(arguments, &output), 0) << arguments << "\n" << output;
  }

  // A 160 x 100 part of a sample photograph saved with the orientation tag (`file`'s extension
  // and options decide the format).
  static void tagged(const std::string& file, int orientation, const char* sample = "chelsea.png") {
    VipsImage* photo = vips_image_new_from_file(ZORBEL_SAMPLES "/chelsea.png", nullptr);
    ASSERT_NE(photo, nullptr) << sample;
    VipsImage *part = nullptr, *copy = nullptr;
    ASSERT_EQ(vips_extract_area(photo, &part, 40, 30, 160, 100, nullptr), 0);
    ASSERT_EQ(vips_copy(part, &copy, nullptr), 0);
    // An EXIF block of its own for the tag, which libvips then sets (a PNG keeps it in eXIf).
    const unsigned char exif[] = {'E',  'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                                  0x12, 1,   3,   0,   1, 0, 0,   0,   1,  0, 0, 0, 0, 0, 0, 0};
    vips_image_set_blob_copy(copy, "exif-data", exif, sizeof exif);
    vips_image_set_int(copy, VIPS_META_ORIENTATION, orientation);
    EXPECT_EQ(vips_image_write_to_file(copy, file.c_str(), nullptr), 0) << vips_error_buffer();
    g_object_unref(copy);
    g_object_unref(part);
    g_object_unref(photo);
  }
  // The file as libvips' autorotate turns it upright, as an untagged PNG.
  static void turned_by_libvips(const std::string& file, const std::string& png) {
    VipsImage* stored = vips_image_new_from_file(file.c_str(), nullptr);
    ASSERT_NE(stored, nullptr) << file;
    VipsImage* upright = nullptr;
    ASSERT_EQ(vips_autorot(stored, &upright, nullptr), 0);
    EXPECT_EQ(vips_image_write_to_file(upright, (png + "[strip]").c_str(), nullptr), 0);
    g_object_unref(upright);
    g_object_unref(stored);
  }
  // The orientation a file's header gives, 1 when none.
  static int orientation_of(const std::string& file) {
    VipsImage* image = vips_image_new_from_file(file.c_str(), nullptr);
    int value = 1;
    if (image != nullptr && vips_image_get_typeof(image, VIPS_META_ORIENTATION) != 0)
      vips_image_get_int(image, VIPS_META_ORIENTATION, &value);
    if (image != nullptr) g_object_unref(image);
    return value;
  }
  static image_io::LoadedImage read(const std::string& file) {
    std::string why;
    auto image = image_io::read_image(file, &why);
    EXPECT_TRUE(image.has_value()) << why;
    return image ? *image : image_io::LoadedImage{};
  }

  static std::string folder;
};
std::string Orientation::folder;

// Settings whose every part is read in a frame: a direction, a centre and an area off the
// middle.
constexpr const char* kFramed = "--angle 20 --regions 5 --center 30%,20% --area 8,4,70%,60%";

TEST_F(Orientation, EachOrientationIsFilteredAsViewersShowThePicture) {
  std::string batch;
  for (const char* format : {"jpg", "tif", "png", "webp"})
    for (int orientation = 1; orientation <= 8; ++orientation) {
      const std::string name = std::string("o") + std::to_string(orientation) + "." + format;
      SCOPED_TRACE(name);
      tagged(path(name), orientation);
      ASSERT_EQ(orientation_of(path(name)), orientation);
      turned_by_libvips(path(name), path("upright-" + name + ".png"));
      expect_zorbel(std::string(kFramed) + " " + path(name) + " " + path("out-" + name + ".png"));
      expect_zorbel(std::string(kFramed) + " " + path("upright-" + name + ".png") + " " +
                    path("expected-" + name + ".png"));
      const image_io::LoadedImage out = read(path("out-" + name + ".png"));
      const image_io::LoadedImage expected = read(path("expected-" + name + ".png"));
      EXPECT_EQ(out.image.width, orientation >= 5 ? 100 : 160);
      EXPECT_EQ(out.image.pixels, expected.image.pixels);
      EXPECT_EQ(orientation_of(path("out-" + name + ".png")), 1);
      if (std::string(format) == "jpg") batch += " " + path(name);
    }
  // A batch turns each file as the single runs do, and writes JPEGs that say they are upright.
  std::filesystem::create_directories(path("batch"));
  expect_zorbel(std::string(kFramed) + " -j 2 --format png --output-dir " + path("batch") + batch);
  expect_zorbel(std::string(kFramed) + " --output-dir " + path("batch") + batch);
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const std::string name = "o" + std::to_string(orientation);
    SCOPED_TRACE(name);
    EXPECT_EQ(read(path("batch/" + name + ".png")).image.pixels,
              read(path("expected-" + name + ".jpg.png")).image.pixels);
    EXPECT_EQ(orientation_of(path("batch/" + name + ".jpg")), 1);
    EXPECT_EQ(read(path("batch/" + name + ".jpg")).image.width, orientation >= 5 ? 100 : 160);
  }
}

TEST_F(Orientation, KeepOrientationFiltersTheStoredPixelsAndKeepsTheTag) {
  tagged(path("keep.tif"), 6);
  tagged(path("keep-stored.png"), 1);  // the same stored pixels, untagged
  expect_zorbel(std::string("--keep-orientation ") + kFramed + " " + path("keep.tif") + " " +
                path("kept.tif"));
  expect_zorbel(std::string(kFramed) + " " + path("keep-stored.png") + " " +
                path("kept-expected.png"));
  EXPECT_EQ(orientation_of(path("kept.tif")), 6);
  std::string why;
  auto kept = image_io::read_image(path("kept.tif"), &why, image_io::Orientation::kAsStored);
  ASSERT_TRUE(kept) << why;
  EXPECT_EQ(kept->image.width, 160);
  EXPECT_EQ(kept->image.pixels, read(path("kept-expected.png")).image.pixels);
}

TEST_F(Orientation, TheSelectionIsReadInTheSameFrameAsThePicture) {
  tagged(path("sel.jpg"), 8);
  for (const auto& [name, width, height] :
       {std::tuple<const char*, int, int>{"mask-upright.png", 100, 160},
        {"mask-stored.png", 160, 100}}) {
    image_io::LoadedImage mask;
    mask.kind = image_io::Kind::kGray;
    mask.image = plugin_host::Image(width, height, 1);
    for (size_t i = 0; i < mask.image.pixels.size(); ++i) mask.image.pixels[i] = uint8_t(i * 7);
    std::string why;
    ASSERT_TRUE(image_io::write_image(path(name), mask, &why)) << why;
  }
  std::string output;
  EXPECT_EQ(zorbel("--selection " + path("mask-upright.png") + " " + path("sel.jpg") + " " +
                       path("sel-out.png"),
                   &output),
            0)
      << output;
  output.clear();
  EXPECT_EQ(zorbel("--selection " + path("mask-stored.png") + " " + path("sel.jpg") + " " +
                       path("sel-refused.png"),
                   &output),
            3);
  EXPECT_NE(output.find("the selection is 160 x 100 but the image"), std::string::npos) << output;
  EXPECT_FALSE(std::filesystem::exists(path("sel-refused.png")));
  output.clear();
  EXPECT_EQ(zorbel("--keep-orientation --selection " + path("mask-stored.png") + " " +
                       path("sel.jpg") + " " + path("sel-kept.png"),
                   &output),
            0)
      << output;
}

TEST_F(Orientation, EveryPageOfASidewaysFileIsTurnedAsItsFirst) {
  // Three stored pages of a sideways TIFF, each also alone, and the alone ones as libvips turns
  // them and the command filters them.
  VipsImage* photo = vips_image_new_from_file(ZORBEL_SAMPLES "/chelsea.png", nullptr);
  ASSERT_NE(photo, nullptr);
  VipsImage* pages[3] = {};
  for (int page = 0; page < 3; ++page) {
    ASSERT_EQ(vips_extract_area(photo, &pages[page], 20 + 90 * page, 40, 160, 100, nullptr), 0);
    const std::string alone = path("page" + std::to_string(page) + ".tif");
    VipsImage* tagged_page = nullptr;
    ASSERT_EQ(vips_copy(pages[page], &tagged_page, nullptr), 0);
    vips_image_set_int(tagged_page, VIPS_META_ORIENTATION, 6);
    ASSERT_EQ(vips_image_write_to_file(tagged_page, alone.c_str(), nullptr), 0);
    g_object_unref(tagged_page);
    turned_by_libvips(alone, path("page-upright" + std::to_string(page) + ".png"));
    expect_zorbel(std::string(kFramed) + " " +
                  path("page-upright" + std::to_string(page) + ".png") + " " +
                  path("page-expected" + std::to_string(page) + ".png"));
  }
  VipsImage* tall = nullptr;
  ASSERT_EQ(vips_arrayjoin(pages, &tall, 3, "across", 1, nullptr), 0);
  vips_image_set_int(tall, "page-height", 100);
  vips_image_set_int(tall, VIPS_META_ORIENTATION, 6);
  ASSERT_EQ(vips_image_write_to_file(tall, path("pages.tif").c_str(), nullptr), 0);
  for (VipsImage* page : pages) g_object_unref(page);
  g_object_unref(tall);
  g_object_unref(photo);

  expect_zorbel(std::string(kFramed) + " " + path("pages.tif") + " " + path("pages-out.tif"));
  VipsImage* out = vips_image_new_from_file(path("pages-out.tif").c_str(), "n", -1, nullptr);
  ASSERT_NE(out, nullptr) << vips_error_buffer();
  ASSERT_EQ(vips_image_get_width(out), 100);
  ASSERT_EQ(vips_image_get_page_height(out), 160);
  ASSERT_EQ(vips_image_get_height(out), 3 * 160);
  for (int page = 0; page < 3; ++page) {
    VipsImage* one = nullptr;
    ASSERT_EQ(vips_crop(out, &one, 0, 160 * page, 100, 160, nullptr), 0);
    std::size_t size = 0;
    auto* bytes = static_cast<uint8_t*>(vips_image_write_to_memory(one, &size));
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + size),
              read(path("page-expected" + std::to_string(page) + ".png")).image.pixels)
        << "page " << page;
    g_free(bytes);
    g_object_unref(one);
  }
  g_object_unref(out);
}

TEST_F(Orientation, AJpegFromAJpegKeepsTheQualityItWasSavedWith) {
  for (int quality : {30, 75, 95}) {
    const std::string in = path("q" + std::to_string(quality) + ".jpg");
    tagged(in + "[Q=" + std::to_string(quality) + "]", 1);
    ASSERT_EQ(read(in).jpeg_quality, quality);
    expect_zorbel(in + " " + path("q-out.jpg"));
    EXPECT_EQ(read(path("q-out.jpg")).jpeg_quality, quality);
  }
  expect_zorbel("--quality 60 " + path("q95.jpg") + " " + path("q-given.jpg"));
  EXPECT_EQ(read(path("q-given.jpg")).jpeg_quality, 60);
  tagged(path("q.png"), 1);
  expect_zorbel(path("q.png") + " " + path("q-from-png.jpg"));
  EXPECT_EQ(read(path("q-from-png.jpg")).jpeg_quality, 90);
  expect_zorbel("--format jpg - - < " + path("q30.jpg") + " > " + path("q-piped.jpg"));
  EXPECT_EQ(read(path("q-piped.jpg")).jpeg_quality, 30);
}

}  // namespace
