// zorbel.exe from the win64 build, run under wine64, against the native zorbel: the same
// photographs and settings give the same pixels once the simulated screen measures the big
// preview as Windows does. (The files' bytes differ: libpng and WIC compress differently.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "plugin_host/image_io.h"

namespace {

// The dialog base units wine gives the dialog's 9-point font under the Chinese locale, so
// that the measured preview (and with it the band width) is the one Windows uses.
constexpr const char* kWineBaseUnits = ZORBEL_WINE_BASE_UNITS;

int run(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *output += buffer;
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

plugin_host::Image pixels(const std::string& file) {
  std::string why;
  auto image = image_io::read_image(file, &why);
  EXPECT_TRUE(image.has_value()) << why;
  return image ? image->image : plugin_host::Image{};
}

TEST(UnderWine, ZorbelExeGivesTheNativePixels) {
  struct stat info;
  ASSERT_EQ(stat(ZORBEL_WIN64_COMMAND, &info), 0)
      << ZORBEL_WIN64_COMMAND << " is missing: build the win64 preset first";
  std::string folder = "/tmp/zorbel-wine-" + std::to_string(getpid());
  mkdir(folder.c_str(), 0755);
  struct Case {
    const char* sample;
    const char* options;
  } cases[] = {{"camera.png", ""},
               {"coffee.png", "--angle 200 --regions 12 --spacing 30 --mode mixed --fade"},
               {"chelsea.png", "--mode right-angle --center 120,80 --max-space 300000"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sample);
    std::string output;
    int status = run(std::string(ZORBEL_WINE_RUN " " ZORBEL_WIN64_COMMAND " -q ") + c.options +
                         " Z:" ZORBEL_SAMPLES "/" + c.sample + " Z:" + folder + "/wine-" + c.sample,
                     &output);
    ASSERT_EQ(status, 0) << output;
    std::string native = folder + "/native-" + c.sample;
    std::string log;
    ASSERT_EQ(
        run(std::string("ZORBEL_CONFIG_DIR=") + folder + " " ZORBEL_COMMAND " -q --base-units " +
                kWineBaseUnits + " " + c.options + " " ZORBEL_SAMPLES "/" + c.sample + " " + native,
            &log),
        0)
        << log;
    plugin_host::Image from_wine = pixels(folder + "/wine-" + c.sample);
    plugin_host::Image here = pixels(native);
    ASSERT_EQ(from_wine.width, here.width) << output;
    EXPECT_EQ(from_wine.pixels, here.pixels);
  }
  std::system(("rm -rf " + folder).c_str());
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

// One scenario played in both worlds: a drag, a mode, a field, Preview, the angle field
// emptied (no guide lines), a snapshot of the big preview, then more settings and OK. The
// stored settings, the output and the preview's pixels are the same; Cancel writes nothing.
TEST(UnderWine, TheScriptedDialogGivesTheNativeResults) {
  struct stat info;
  ASSERT_EQ(stat(ZORBEL_WIN64_COMMAND, &info), 0)
      << ZORBEL_WIN64_COMMAND << " is missing: build the win64 preset first";
  std::string folder = "/tmp/zorbel-wine-dialog-" + std::to_string(getpid());
  mkdir(folder.c_str(), 0755);
  std::string input = ZORBEL_SAMPLES "/coffee.png";
  auto scenario = [&](const std::string& world, const std::string& prefix) {
    std::ofstream(folder + "/" + world + ".txt")
        << "wait-ready\n"
        << (world == "wine" ? "snapshot dialog " + prefix + folder + "/dialog.png\n" : "")
        << "press 100 150 120\nmove 100 170 90\nrelease 100 170 90\n"
        << "click 252\ntype 115 6\nscroll 229 pageleft\nclick 102\ntype 153 \n"
        << "snapshot 100 " << prefix << folder << "/" << world << "-view.png\n"
        << "type 153 70\nclick 223\nclick 1\n";
  };
  scenario("wine", "Z:");
  scenario("native", "");
  std::ofstream(folder + "/cancel.txt") << "type 153 90\nclick 2\n";
  std::string wine = "ZORBEL_CONFIG_DIR=Z:" + folder +
                     "/wine-config " ZORBEL_WINE_RUN " " ZORBEL_WIN64_COMMAND " -q --regions 12 ";
  std::string output;
  ASSERT_EQ(run(wine + "--dialog --ui-script Z:" + folder + "/wine.txt Z:" + input +
                    " Z:" + folder + "/wine-ok.png",
                &output),
            0)
      << output;
  std::string log;
  ASSERT_EQ(run("ZORBEL_CONFIG_DIR=" + folder +
                    "/native-config " ZORBEL_COMMAND " -q --regions 12 --base-units " +
                    kWineBaseUnits + " --dialog --ui-script " + folder + "/native.txt " + input +
                    " " + folder + "/native-ok.png",
                &log),
            0)
      << log;
  plugin_host::Image from_wine = pixels(folder + "/wine-ok.png");
  plugin_host::Image here = pixels(folder + "/native-ok.png");
  ASSERT_EQ(from_wine.width, here.width);
  EXPECT_EQ(from_wine.pixels, here.pixels);
  std::vector<uint8_t> wine_settings = file_bytes(folder + "/wine-config/last-settings");
  EXPECT_FALSE(wine_settings.empty());
  EXPECT_EQ(wine_settings, file_bytes(folder + "/native-config/last-settings"));
  // The filtered preview with the marker and no guide lines: the same pixels in both worlds.
  plugin_host::Image wine_view = pixels(folder + "/wine-view.png");
  plugin_host::Image native_view = pixels(folder + "/native-view.png");
  EXPECT_EQ(wine_view.width, 311);
  ASSERT_EQ(wine_view.width, native_view.width);
  ASSERT_EQ(wine_view.height, native_view.height);
  // Every pixel, the marker's included.
  int differing = 0;
  std::string first;
  for (int32_t y = 0; y < wine_view.height; ++y)
    for (int32_t x = 0; x < wine_view.width; ++x)
      if (std::memcmp(wine_view.at(x, y), native_view.at(x, y), size_t(wine_view.planes)) != 0 &&
          differing++ < 12)
        first += " (" + std::to_string(x) + "," + std::to_string(y) + ")";
  EXPECT_EQ(differing, 0) << "first at" << first;
  // The dialog's picture: its frame around a client area larger than the template's 340 x 211
  // dialog units at the smallest base units, with the previews drawn (not one flat colour).
  plugin_host::Image dialog = pixels(folder + "/dialog.png");
  EXPECT_GE(dialog.width, 510);
  EXPECT_GE(dialog.height, 317);
  EXPECT_LT(dialog.width, 1024);
  EXPECT_LT(dialog.height, 768);
  std::set<uint8_t> shades(dialog.pixels.begin(), dialog.pixels.end());
  EXPECT_GT(shades.size(), 64u);

  output.clear();
  EXPECT_EQ(run(wine + "--dialog --ui-script Z:" + folder + "/cancel.txt Z:" + input +
                    " Z:" + folder + "/wine-cancel.png",
                &output),
            1)
      << output;
  EXPECT_NE(stat((folder + "/wine-cancel.png").c_str(), &info), 0);
  std::system(("rm -rf " + folder).c_str());
}

// A feathered selection through the real dialog (preview, ants, OK) gives the native pixels,
// and outside the selection the photograph's own.
TEST(UnderWine, TheDialogWithAFeatheredSelectionGivesTheNativePixels) {
  std::string folder = "/tmp/zorbel-wine-selection-" + std::to_string(getpid());
  mkdir(folder.c_str(), 0755);
  std::string input = ZORBEL_SAMPLES "/chelsea.png";
  plugin_host::Image photo = pixels(input);
  image_io::LoadedImage mask;
  mask.kind = image_io::Kind::kGray;
  mask.image = plugin_host::Image(photo.width, photo.height, 1);
  for (int32_t y = 0; y < photo.height; ++y)
    for (int32_t x = 0; x < photo.width; ++x) {
      int32_t dx = x - photo.width / 2, dy = y - photo.height / 2;
      int32_t level = (140 * 140 - dx * dx - 2 * dy * dy) / 40;
      *mask.image.at(x, y) = uint8_t(level < 0 ? 0 : level > 255 ? 255 : level);
    }
  std::string why;
  ASSERT_TRUE(image_io::write_image(folder + "/mask.png", mask, &why)) << why;
  std::ofstream(folder + "/ok.txt") << "wait-ready\ntick 3\nclick 102\ntick 2\nclick 1\n";
  std::ofstream(folder + "/ants.txt")
      << "wait-ready\ntick 3\nsnapshot 100 Z:" << folder
      << "/ants-1.png\ntick 3\nsnapshot 100 Z:" << folder << "/ants-2.png\nclick 1\n";
  std::string output, log;
  ASSERT_EQ(run(ZORBEL_WINE_RUN " " ZORBEL_WIN64_COMMAND " -q --selection Z:" + folder +
                    "/mask.png --dialog --ui-script Z:" + folder + "/ok.txt Z:" + input +
                    " Z:" + folder + "/wine.png",
                &output),
            0)
      << output;
  ASSERT_EQ(run(std::string(ZORBEL_COMMAND) + " -q --base-units " + kWineBaseUnits +
                    " --selection " + folder + "/mask.png --dialog --ui-script " + folder +
                    "/ok.txt " + input + " " + folder + "/native.png",
                &log),
            0)
      << log;
  plugin_host::Image from_wine = pixels(folder + "/wine.png"),
                     here = pixels(folder + "/native.png");
  ASSERT_EQ(from_wine.width, here.width);
  EXPECT_EQ(from_wine.pixels, here.pixels);
  int outside_changed = 0, changed = 0;
  for (int32_t y = 0; y < photo.height; ++y)
    for (int32_t x = 0; x < photo.width; ++x) {
      bool same = std::memcmp(from_wine.at(x, y), photo.at(x, y), 3) == 0;
      changed += !same;
      if (*mask.image.at(x, y) == 0) outside_changed += !same;
    }
  EXPECT_EQ(outside_changed, 0);
  EXPECT_GT(changed, 1000);

  // The ants crawl: two snapshots of the big preview a few ticks apart differ, and only in
  // a thin line of pixels (the outline), not in the picture.
  ASSERT_EQ(run(ZORBEL_WINE_RUN " " ZORBEL_WIN64_COMMAND " -q --selection Z:" + folder +
                    "/mask.png --dialog --ui-script Z:" + folder + "/ants.txt Z:" + input +
                    " Z:" + folder + "/wine-ants.png",
                &output),
            0)
      << output;
  plugin_host::Image first = pixels(folder + "/ants-1.png"),
                     second = pixels(folder + "/ants-2.png");
  ASSERT_EQ(first.width, second.width);
  ASSERT_EQ(first.height, second.height);
  int moved = 0;
  for (int32_t y = 0; y < first.height; ++y)
    for (int32_t x = 0; x < first.width; ++x)
      moved += std::memcmp(first.at(x, y), second.at(x, y), 3) != 0;
  EXPECT_GT(moved, 50);
  EXPECT_LT(moved, first.width * first.height / 20);
  std::system(("rm -rf " + folder).c_str());
}

}  // namespace
