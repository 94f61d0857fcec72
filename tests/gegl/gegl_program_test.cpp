// Debian's own gegl program with the operation in its path, against the zorbel command on
// the same files: gray, RGB and RGBA photographs in every mode give the same bytes, centres
// given as fractions are the command's percentages, and a 16-bit photograph keeps its
// precision within a step of the command's 8-bit result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/gegl/gegl_support.h"

namespace {

struct Pixels {
  int width = 0, height = 0, bands = 0;
  bool sixteen = false;
  std::vector<uint8_t> bytes;
};

class GeglProgram : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef ZORBEL_SANITIZED
    // The gegl program is not built with the sanitizers, so it cannot load a module that is.
    GTEST_SKIP() << "the gegl program cannot load a sanitized module";
#endif
  }
  static void SetUpTestSuite() {
#ifdef ZORBEL_SANITIZED
    return;
#endif
    ASSERT_EQ(VIPS_INIT("zorbel_gegl_tests"), 0);
    folder = "/tmp/zorbel-gegl-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0755);
    // The sample photograph as gray, as RGB, and as RGBA with a ramp for alpha.
    VipsImage *rgb = nullptr, *gray = nullptr, *ramp = nullptr, *alpha = nullptr, *rgba = nullptr;
    ASSERT_EQ(0, vips_pngload(ZORBEL_SAMPLES "/coffee.png", &rgb, nullptr));
    ASSERT_EQ(0, vips_colourspace(rgb, &gray, VIPS_INTERPRETATION_B_W, nullptr));
    ASSERT_EQ(0, vips_xyz(&ramp, rgb->Xsize, rgb->Ysize, nullptr));
    ASSERT_EQ(0, vips_cast(ramp, &alpha, VIPS_FORMAT_UCHAR, nullptr));
    VipsImage* alpha_band = nullptr;
    ASSERT_EQ(0, vips_extract_band(alpha, &alpha_band, 0, nullptr));
    ASSERT_EQ(0, vips_bandjoin2(rgb, alpha_band, &rgba, nullptr));
    ASSERT_EQ(0, vips_pngsave(rgb, path("rgb.png").c_str(), nullptr));
    ASSERT_EQ(0, vips_pngsave(gray, path("gray.png").c_str(), nullptr));
    ASSERT_EQ(0, vips_pngsave(rgba, path("rgba.png").c_str(), nullptr));
    // 16 bits: the photograph in the top bytes and a pattern below them.
    VipsImage *wide = nullptr, *shifted = nullptr, *low = nullptr, *deep = nullptr;
    VipsImage* deep16 = nullptr;
    ASSERT_EQ(0, vips_cast(rgb, &wide, VIPS_FORMAT_USHORT, nullptr));
    ASSERT_EQ(0, vips_linear1(wide, &shifted, 256.0, 0.0, nullptr));
    ASSERT_EQ(0, vips_cast(ramp, &low, VIPS_FORMAT_UCHAR, nullptr));
    VipsImage* low_band = nullptr;
    ASSERT_EQ(0, vips_extract_band(low, &low_band, 1, nullptr));
    ASSERT_EQ(0, vips_add(shifted, low_band, &deep, nullptr));
    ASSERT_EQ(0, vips_cast(deep, &deep16, VIPS_FORMAT_USHORT, nullptr));
    deep16->Type = VIPS_INTERPRETATION_RGB16;
    ASSERT_EQ(0, vips_pngsave(deep16, path("rgb16.png").c_str(), "bitdepth", 16, nullptr));
    for (VipsImage* image :
         {rgb, gray, ramp, alpha, alpha_band, rgba, wide, shifted, low, low_band, deep, deep16})
      g_object_unref(image);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(folder); }

  static std::string path(const std::string& name) { return folder + "/" + name; }

  static int run(const std::string& command) {
    return std::system((command + " >" + path("log") + " 2>&1").c_str());
  }
  // Debian's gegl with the built operation and GEGL's own in its path.
  static int gegl(const std::string& input, const std::string& output,
                  const std::string& properties, int bitdepth = 8) {
    return run("GEGL_PATH=" ZORBEL_GEGL_DIR ":" GEGL_SYSTEM_OPERATIONS " gegl '" + input +
               "' -- halcyrion:zorbel " + properties + " gegl:png-save 'path=" + output +
               "' bitdepth=" + std::to_string(bitdepth));
  }
  static int zorbel(const std::string& input, const std::string& output,
                    const std::string& options) {
    return run("ZORBEL_CONFIG_DIR=" + folder + "/config " ZORBEL_COMMAND " --quiet " + options +
               " '" + input + "' '" + output + "'");
  }
  static Pixels read(const std::string& file) {
    Pixels p;
    VipsImage* image = vips_image_new_from_file(file.c_str(), nullptr);
    EXPECT_NE(image, nullptr) << file;
    if (image == nullptr) return p;
    p.width = image->Xsize;
    p.height = image->Ysize;
    p.bands = image->Bands;
    p.sixteen = image->BandFmt == VIPS_FORMAT_USHORT;
    size_t size = 0;
    auto* data = static_cast<uint8_t*>(vips_image_write_to_memory(image, &size));
    p.bytes.assign(data, data + size);
    g_free(data);
    g_object_unref(image);
    return p;
  }

  static std::string folder;
};
std::string GeglProgram::folder;

const struct {
  const char* gegl;
  const char* zorbel;
} kSettings[] = {
    {"", ""},
    {"mode=right-angle fade=true angle=90 regions=12",
     "--mode right-angle --fade --angle 90 "
     "--regions 12"},
    {"mode=mixed intensity=60 angle=200 spacing=20",
     "--mode mixed --intensity 60 --angle 200 "
     "--spacing 20"},
    {"mode=parallel angle=315 center-x=0.3 center-y=0.7", "--angle 315 --center 30%,70%"},
};

TEST_F(GeglProgram, GivesTheCommandsBytesForGrayRgbAndRgbaInEveryMode) {
  for (const char* picture : {"gray.png", "rgb.png", "rgba.png"}) {
    for (const auto& settings : kSettings) {
      SCOPED_TRACE(testing::Message() << picture << " with '" << settings.zorbel << "'");
      ASSERT_EQ(0, gegl(path(picture), path("by-gegl.png"), settings.gegl));
      ASSERT_EQ(0, zorbel(path(picture), path("by-zorbel.png"), settings.zorbel));
      const Pixels ours = read(path("by-gegl.png")), theirs = read(path("by-zorbel.png"));
      ASSERT_EQ(ours.bands, theirs.bands);
      ASSERT_EQ(ours.width, 600);
      ASSERT_EQ(ours.bytes, theirs.bytes);
      ASSERT_NE(ours.bytes, read(path(picture)).bytes);  // the effect did something
    }
  }
}

TEST_F(GeglProgram, SixteenBitPhotographsStayWithinAStepOfTheCommand) {
  ASSERT_EQ(0, gegl(path("rgb16.png"), path("deep-by-gegl.png"), kSettings[1].gegl, 16));
  ASSERT_EQ(0, zorbel(path("rgb.png"), path("top-by-zorbel.png"), kSettings[1].zorbel));
  const Pixels deep = read(path("deep-by-gegl.png")), top = read(path("top-by-zorbel.png"));
  const Pixels before = read(path("rgb16.png"));
  ASSERT_TRUE(deep.sixteen);
  ASSERT_EQ(deep.bytes.size(), top.bytes.size() * 2);
  const gegl_op::Settings settings = gegl_test::settings_for(
      {{"mode", "right-angle"}, {"fade", "true"}, {"angle", "90"}, {"regions", "12"}});
  const std::vector<bool> same = gegl_test::untouched(600, 400, 3, settings);
  size_t changed = 0;
  for (size_t i = 0; i < top.bytes.size(); ++i) {
    uint16_t value, original;
    std::memcpy(&value, deep.bytes.data() + 2 * i, 2);
    std::memcpy(&original, before.bytes.data() + 2 * i, 2);
    if (same[i / 3]) {
      ASSERT_EQ(value, original) << "untouched sample " << i;
      continue;
    }
    changed += value != original;
    ASSERT_LE(std::abs(int32_t(value >> 8) - int32_t(top.bytes[i])), 1) << "sample " << i;
  }
  EXPECT_GT(changed, top.bytes.size() / 50);
}

}  // namespace
