// zorbel.exe from the win64 build, run under wine64, against the native zorbel: the same
// photographs and settings give the same pixels once the simulated screen measures the big
// preview as Windows does. (The files' bytes differ: libpng and WIC compress differently.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

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

// The dialog played by the same scripts as natively: OK gives the native pixels, Cancel
// writes nothing, and a snapshot of the real dialog appears.
TEST(UnderWine, TheScriptedDialogGivesTheNativeResults) {
  struct stat info;
  ASSERT_EQ(stat(ZORBEL_WIN64_COMMAND, &info), 0)
      << ZORBEL_WIN64_COMMAND << " is missing: build the win64 preset first";
  std::string folder = "/tmp/zorbel-wine-dialog-" + std::to_string(getpid());
  mkdir(folder.c_str(), 0755);
  std::string input = ZORBEL_SAMPLES "/coffee.png";
  // The same steps in both worlds; the snapshot is taken under wine only.
  std::ofstream(folder + "/ok.txt") << "wait-ready\n"
                                    << "snapshot dialog Z:" << folder << "/dialog.png\n"
                                    << "type 153 90\n"
                                    << "click 1\n";
  std::ofstream(folder + "/native-ok.txt") << "wait-ready\ntype 153 90\nclick 1\n";
  std::ofstream(folder + "/cancel.txt") << "type 153 90\nclick 2\n";
  std::string wine = std::string(ZORBEL_WINE_RUN " " ZORBEL_WIN64_COMMAND " -q --regions 12 ");
  std::string output;
  ASSERT_EQ(run(wine + "--dialog --ui-script Z:" + folder + "/ok.txt Z:" + input + " Z:" + folder +
                    "/wine-ok.png",
                &output),
            0)
      << output;
  std::string log;
  ASSERT_EQ(
      run("ZORBEL_CONFIG_DIR=" + folder + " " ZORBEL_COMMAND " -q --regions 12 --base-units " +
              kWineBaseUnits + " --dialog --ui-script " + folder + "/native-ok.txt " + input + " " +
              folder + "/native-ok.png",
          &log),
      0)
      << log;
  plugin_host::Image from_wine = pixels(folder + "/wine-ok.png");
  plugin_host::Image here = pixels(folder + "/native-ok.png");
  ASSERT_EQ(from_wine.width, here.width);
  EXPECT_EQ(from_wine.pixels, here.pixels);
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

}  // namespace
