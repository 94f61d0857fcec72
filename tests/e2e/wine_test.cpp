// zorbel.exe from the win64 build, run under wine64, against the native zorbel: the same
// photographs and settings give the same pixels once the simulated screen measures the big
// preview as Windows does. (The files' bytes differ: libpng and WIC compress differently.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

}  // namespace
