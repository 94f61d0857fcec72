// The zorbel command as users meet it: real photographs in every image kind, --repeat,
// --max-space, selections and areas, and every kind of bad input refused with one line and
// the right exit status, leaving no output behind. Runs the built command as a process.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "image_files/exif.h"
#include "image_files/image_io.h"
// After our headers, which define TRUE and FALSE as Windows does (GLib keeps them).
#include <vips/vips.h>

namespace {

using image_io::Kind;
using image_io::LoadedImage;

struct Outcome {
  int status;
  std::string output;  // stdout and stderr together
};

class Cli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = "/tmp/zorbel-e2e-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0755);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(folder); }

  static std::string path(const std::string& name) { return folder + "/" + name; }
  // Writes a ui script into the test folder; returns its path.
  static std::string script(const std::string& name, const std::string& steps) {
    std::ofstream(path(name)) << steps;
    return path(name);
  }

  // Runs zorbel with the arguments, in the folder `in` when given, after the shell command
  // `first`; settings live in the test's own folder.
  static Outcome zorbel(const std::string& arguments, const std::string& in = "",
                        const std::string& first = "") {
    std::string command = first + (in.empty() ? "" : "cd '" + in + "' && ") +
                          "ZORBEL_CONFIG_DIR=" + folder + "/config " ZORBEL_COMMAND " " +
                          arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
  }

  static LoadedImage read(const std::string& file) {
    std::string why;
    auto image = image_io::read_image(file, &why);
    EXPECT_TRUE(image.has_value()) << why;
    return image ? *image : LoadedImage{};
  }
  static void write(const std::string& file, const LoadedImage& image) {
    std::string why;
    ASSERT_TRUE(image_io::write_image(file, image, &why)) << why;
  }
  static bool exists(const std::string& file) {
    struct stat info;
    return stat(file.c_str(), &info) == 0;
  }
  static std::string sample(const std::string& name) { return ZORBEL_SAMPLES "/" + name; }

  // A one-line refusal naming `what`, with the exit status, and no file at `output`.
  static void expect_refused(const Outcome& run, int status, const std::string& what,
                             const std::string& output) {
    EXPECT_EQ(run.status, status) << run.output;
    EXPECT_NE(run.output.find(what), std::string::npos) << run.output;
    EXPECT_LE(std::count(run.output.begin(), run.output.end(), '\n'), 2) << run.output;
    EXPECT_FALSE(exists(output)) << output;
  }

  static std::string folder;
};
std::string Cli::folder;

LoadedImage with_alpha(const LoadedImage& from) {
  LoadedImage out;
  bool gray = from.kind == Kind::kGray;
  out.kind = gray ? Kind::kGrayAlpha : Kind::kRgba;
  int32_t planes = from.image.planes;
  out.image = plugin_host::Image(from.image.width, from.image.height, planes + 1);
  for (int32_t y = 0; y < from.image.height; ++y)
    for (int32_t x = 0; x < from.image.width; ++x) {
      std::copy(from.image.at(x, y), from.image.at(x, y) + planes, out.image.at(x, y));
      out.image.at(x, y)[planes] = uint8_t((x * 7 + y * 3) & 0xFF);
    }
  return out;
}

LoadedImage as_cmyk(const LoadedImage& rgb) {
  LoadedImage out;
  out.kind = Kind::kCmyk;
  out.image = plugin_host::Image(rgb.image.width, rgb.image.height, 4);
  for (int32_t y = 0; y < rgb.image.height; ++y)
    for (int32_t x = 0; x < rgb.image.width; ++x) {
      const uint8_t* p = rgb.image.at(x, y);
      uint8_t* q = out.image.at(x, y);
      uint8_t k = uint8_t(255 - std::max({p[0], p[1], p[2]}));
      for (int c = 0; c < 3; ++c) q[c] = uint8_t(255 - p[c] - k);
      q[3] = k;
    }
  return out;
}

TEST_F(Cli, FiltersThePhotographsInEveryImageKind) {
  LoadedImage coffee = read(sample("coffee.png"));
  LoadedImage camera = read(sample("camera.png"));
  ASSERT_EQ(coffee.kind, Kind::kRgb);
  ASSERT_EQ(camera.kind, Kind::kGray);
  write(path("coffee-alpha.png"), with_alpha(coffee));
  write(path("camera-alpha.png"), with_alpha(camera));
  write(path("coffee-cmyk.tif"), as_cmyk(coffee));
  write(path("coffee.tif"), coffee);
  struct Case {
    std::string input, output;
    Kind kind;
  } cases[] = {{sample("coffee.png"), "coffee.png", Kind::kRgb},
               {sample("camera.png"), "camera.png", Kind::kGray},
               {path("coffee-alpha.png"), "coffee-alpha.png", Kind::kRgba},
               {path("camera-alpha.png"), "camera-alpha.png", Kind::kGrayAlpha},
               {path("coffee-cmyk.tif"), "coffee-cmyk.tif", Kind::kCmyk},
               {path("coffee.tif"), "coffee.tif", Kind::kRgb}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Outcome run = zorbel("-q " + c.input + " " + path("out-" + c.output));
    ASSERT_EQ(run.status, 0) << run.output;
    LoadedImage before = read(c.input), after = read(path("out-" + c.output));
    EXPECT_EQ(after.kind, c.kind);
    ASSERT_EQ(after.image.width, before.image.width);
    ASSERT_EQ(after.image.height, before.image.height);
    EXPECT_NE(after.image.pixels, before.image.pixels);
    int32_t colour = image_io::color_planes(c.kind);
    for (size_t i = 0; i < before.image.pixels.size(); i += size_t(before.image.planes))
      for (int32_t p = colour; p < before.image.planes; ++p)
        ASSERT_EQ(after.image.pixels[i + size_t(p)], before.image.pixels[i + size_t(p)])
            << "alpha must pass through untouched";
  }
  // The same photograph as PNG and as TIFF gives the same pixels.
  EXPECT_EQ(read(path("out-coffee.png")).image.pixels, read(path("out-coffee.tif")).image.pixels);
}

TEST_F(Cli, RepeatReproducesTheLastOutputExactly) {
  Outcome first = zorbel(
      "-q --angle 200 --regions 12 --spacing 30 --mode mixed --fade "
      "--intensity 70 --center 100,120 " +
      sample("chelsea.png") + " " + path("first.png"));
  ASSERT_EQ(first.status, 0) << first.output;
  Outcome plain = zorbel("-q " + sample("chelsea.png") + " " + path("plain.png"));
  ASSERT_EQ(plain.status, 0) << plain.output;
  // The last run's settings are now the plain defaults; run the special ones again.
  ASSERT_EQ(zorbel("-q --angle 200 --regions 12 --spacing 30 --mode mixed --fade --intensity 70 "
                   "--center 100,120 " +
                   sample("chelsea.png") + " " + path("again.png"))
                .status,
            0);
  Outcome repeat = zorbel("-q --repeat " + sample("chelsea.png") + " " + path("repeat.png"));
  ASSERT_EQ(repeat.status, 0) << repeat.output;
  EXPECT_EQ(read(path("repeat.png")).image.pixels, read(path("first.png")).image.pixels);
  EXPECT_NE(read(path("repeat.png")).image.pixels, read(path("plain.png")).image.pixels);
  Outcome mixed = zorbel("--repeat --angle 3 " + sample("chelsea.png") + " " + path("x.png"));
  expect_refused(mixed, 2, "--repeat", path("x.png"));
}

TEST_F(Cli, ADamagedSettingsFileMeansTheDefaultsWithANotice) {
  std::filesystem::create_directories(folder + "/config");
  std::ofstream(folder + "/config/last-settings") << "garbage";
  Outcome run = zorbel("--repeat " + sample("camera.png") + " " + path("damaged.png"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("damaged; using the defaults"), std::string::npos) << run.output;
  Outcome defaults = zorbel("-q " + sample("camera.png") + " " + path("defaults.png"));
  EXPECT_EQ(read(path("damaged.png")).image.pixels, read(path("defaults.png")).image.pixels);
}

TEST_F(Cli, SmallMaxSpaceStillGivesAValidImage) {
  // astronaut.png is 512 x 512 RGB (786,432 bytes): these allowances give decimations 1 to 5.
  for (const char* space : {"1000000", "700000", "200000", "120000", "100000"}) {
    Outcome run = zorbel(std::string("-q --max-space ") + space + " " + sample("astronaut.png") +
                         " " + path(std::string("small-") + space + ".png"));
    ASSERT_EQ(run.status, 0) << space << ": " << run.output;
    LoadedImage out = read(path(std::string("small-") + space + ".png"));
    EXPECT_EQ(out.image.width, 512);
  }
}

TEST_F(Cli, SelectionsAndAreasChangeOnlyTheirPixels) {
  LoadedImage camera = read(sample("camera.png"));
  LoadedImage mask;
  mask.kind = Kind::kGray;
  mask.image = plugin_host::Image(512, 512, 1);
  for (int32_t y = 0; y < 512; ++y)
    for (int32_t x = 0; x < 512; ++x)
      *mask.image.at(x, y) = (x - 300) * (x - 300) + (y - 300) * (y - 300) < 150 * 150 ? 255 : 0;
  write(path("mask.png"), mask);
  ASSERT_EQ(zorbel("-q --selection " + path("mask.png") + " " + sample("camera.png") + " " +
                   path("selected.png"))
                .status,
            0);
  LoadedImage selected = read(path("selected.png"));
  int changed = 0;
  for (int32_t y = 0; y < 512; ++y)
    for (int32_t x = 0; x < 512; ++x) {
      bool same = *selected.image.at(x, y) == *camera.image.at(x, y);
      if (*mask.image.at(x, y) == 0) {
        ASSERT_TRUE(same) << x << "," << y;
      }
      changed += same ? 0 : 1;
    }
  EXPECT_GT(changed, 1000);
  ASSERT_EQ(zorbel("-q --area 50,60,200,150 --center 100,100 " + sample("camera.png") + " " +
                   path("area.png"))
                .status,
            0);
  LoadedImage area = read(path("area.png"));
  for (int32_t y = 0; y < 512; ++y)
    for (int32_t x = 0; x < 512; ++x)
      if (x < 50 || x >= 250 || y < 60 || y >= 210) {
        ASSERT_EQ(*area.image.at(x, y), *camera.image.at(x, y)) << x << "," << y;
      }
}

// An elliptical selection of the photograph, hard-edged or feathered (255 in the middle
// falling to 0 over its outer third).
LoadedImage ellipse_mask(int32_t width, int32_t height, bool feathered) {
  LoadedImage mask;
  mask.kind = Kind::kGray;
  mask.image = plugin_host::Image(width, height, 1);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      double dx = (x - width * 0.62) / (width * 0.33), dy = (y - height * 0.58) / (height * 0.38);
      double r = std::sqrt(dx * dx + dy * dy);
      double level = !feathered ? (r < 1 ? 1.0 : 0.0) : std::clamp((1.0 - r) * 3.0, 0.0, 1.0);
      *mask.image.at(x, y) = uint8_t(std::lround(level * 255));
    }
  return mask;
}

TEST_F(Cli, TheDialogWithASelectionFiltersOnlyTheSelection) {
  LoadedImage photo = read(sample("chelsea.png"));
  const int32_t w = photo.image.width, h = photo.image.height;
  ASSERT_EQ(zorbel("-q " + sample("chelsea.png") + " " + path("chelsea-all.png")).status, 0);
  LoadedImage whole = read(path("chelsea-all.png"));
  std::string steps = script("ants.txt", "wait-ready\ntick 3\nclick 102\ntick 2\nclick 1\n");
  for (bool feathered : {false, true}) {
    std::string mask_file = path(feathered ? "feathered.png" : "ellipse.png");
    LoadedImage mask = ellipse_mask(w, h, feathered);
    write(mask_file, mask);
    std::string out = path(feathered ? "chelsea-feathered.png" : "chelsea-ellipse.png");
    Outcome run = zorbel("-q --selection " + mask_file + " --dialog --ui-script " + steps + " " +
                         sample("chelsea.png") + " " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    LoadedImage result = read(out);
    int outside_changed = 0, inside_wrong = 0, inside_changed = 0, between_wrong = 0, partial = 0;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        uint8_t m = *mask.image.at(x, y);
        const uint8_t *in = photo.image.at(x, y), *all = whole.image.at(x, y),
                      *got = result.image.at(x, y);
        for (int c = 0; c < 3; ++c) {
          if (m == 0) {
            outside_changed += got[c] != in[c];
          } else if (m == 255) {
            inside_wrong += got[c] != all[c];
            inside_changed += got[c] != in[c];
          } else {
            ++partial;
            between_wrong += got[c] < std::min(in[c], all[c]) || got[c] > std::max(in[c], all[c]);
          }
        }
      }
    EXPECT_EQ(outside_changed, 0) << feathered;
    EXPECT_EQ(inside_wrong, 0) << feathered;
    EXPECT_GT(inside_changed, 10000) << feathered;  // the selection holds echoes
    EXPECT_EQ(between_wrong, 0) << feathered;
    EXPECT_EQ(partial > 0, feathered);
  }
}

// A PNG of the given colour type and depth, pixels all zero.
void write_png(const std::string& file, int width, int height, int type, int depth) {
  FILE* f = std::fopen(file.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), depth, type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color palette[2] = {{0, 0, 0}, {255, 255, 255}};
  if (type == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, 2);
  png_write_info(png, info);
  std::vector<uint8_t> row(size_t(width) * 8, 0);
  for (int y = 0; y < height; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

TEST_F(Cli, BadInputIsRefusedWithOneLineAndNothingWritten) {
  write_png(path("deep.png"), 8, 8, PNG_COLOR_TYPE_RGB, 16);
  write_png(path("indexed.png"), 8, 8, PNG_COLOR_TYPE_PALETTE, 8);
  std::ofstream(path("notes.png")) << "not an image\n";
  std::string out = path("never.png");
  expect_refused(zorbel(path("missing.png") + " " + out), 3, "missing.png", out);
  expect_refused(zorbel(path("deep.png") + " " + out), 3, "16-bit", out);
  expect_refused(zorbel(path("notes.png") + " " + out), 3, "not an image this build reads", out);
  expect_refused(zorbel(sample("camera.png") + " " + path("no/such/folder/x.png")), 3,
                 "no/such/folder/x.png", path("no/such/folder/x.png"));
  expect_refused(zorbel("--area 500,500,100,100 " + sample("camera.png") + " " + out), 2, "--area",
                 out);
  expect_refused(
      zorbel("--selection " + sample("coffee.png") + " " + sample("camera.png") + " " + out), 3,
      "grayscale", out);
  LoadedImage small;
  small.kind = Kind::kGray;
  small.image = plugin_host::Image(10, 10, 1);
  write(path("small-mask.png"), small);
  expect_refused(
      zorbel("--selection " + path("small-mask.png") + " " + sample("camera.png") + " " + out), 3,
      "small-mask.png", out);
  for (const char* bad :
       {"--angle 361", "--angle -1", "--regions 0", "--regions 21", "--spacing 4", "--spacing 101",
        "--intensity 101", "--mode sideways", "--center 5", "--max-space -3"}) {
    std::string option(bad);
    expect_refused(zorbel(option + " " + sample("camera.png") + " " + out), 2,
                   option.substr(0, option.find(' ')), out);
  }
  expect_refused(zorbel(sample("camera.png") + " " + path("out.bmp")), 2, "out.bmp",
                 path("out.bmp"));
  // A palette image is taken as RGB.
  ASSERT_EQ(zorbel("-q " + path("indexed.png") + " " + path("indexed-out.png")).status, 0);
  EXPECT_EQ(read(path("indexed-out.png")).kind, Kind::kRgb);
  expect_refused(zorbel(sample("camera.png")), 2, "OUTPUT", out);
}

// Loaders libvips does not fuzz (PPM here) read nothing unless the user allows them: one line
// naming the file, the loader and the way to allow it, exit 3, no output; from a file or from
// standard input alike.
TEST_F(Cli, UntrustedLoadersAreBlockedUnlessAllowed) {
  std::string ppm = "P6\n4 3\n255\n";
  for (int i = 0; i < 4 * 3 * 3; ++i) ppm += char(i * 7);
  std::ofstream(path("plain.ppm"), std::ios::binary) << ppm;
  std::string out = path("from-ppm.png");
  Outcome blocked = zorbel("-q " + path("plain.ppm") + " " + out);
  expect_refused(blocked, 3, "plain.ppm: only libvips' ppmload reads this file", out);
  EXPECT_NE(blocked.output.find("ZORBEL_ALLOW_UNTRUSTED_LOADERS=1"), std::string::npos)
      << blocked.output;
  expect_refused(zorbel("-q - --format png " + out + " < " + path("plain.ppm")), 3,
                 "standard input: only libvips' ", out);
  // Anything but 1 keeps them blocked.
  expect_refused(
      zorbel("-q " + path("plain.ppm") + " " + out, "", "ZORBEL_ALLOW_UNTRUSTED_LOADERS=yes "), 3,
      "ppmload", out);
  Outcome allowed =
      zorbel("-q " + path("plain.ppm") + " " + out, "", "ZORBEL_ALLOW_UNTRUSTED_LOADERS=1 ");
  ASSERT_EQ(allowed.status, 0) << allowed.output;
  LoadedImage image = read(out);
  EXPECT_EQ(image.kind, Kind::kRgb);
  EXPECT_EQ(image.image.width, 4);
  EXPECT_EQ(image.image.height, 3);
}

// A file of a few hundred bytes that declares a 30000 x 30000 picture: with less memory than
// that, one line says so (it was an abort).
TEST_F(Cli, APictureLargerThanTheMemoryIsRefusedWithOneLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#endif
  // Its header and a few rows of its pixels, then the end.
  auto chunk = [](std::string* png, const char* type, const std::vector<uint8_t>& data) {
    for (int shift = 24; shift >= 0; shift -= 8) png->push_back(char(data.size() >> shift));
    std::string body = std::string(type) + std::string(data.begin(), data.end());
    *png += body;
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
    for (int shift = 24; shift >= 0; shift -= 8) png->push_back(char(crc >> shift));
  };
  std::string png = "\x89PNG\r\n\x1a\n";
  chunk(&png, "IHDR", {0, 0, 0x75, 0x30, 0, 0, 0x75, 0x30, 8, 2, 0, 0, 0});  // 30000 x 30000 RGB
  std::vector<uint8_t> rows(4 * (1 + 30000 * 3), 0), packed(compressBound(uLong(rows.size())));
  uLongf packed_size = uLongf(packed.size());
  ASSERT_EQ(compress(packed.data(), &packed_size, rows.data(), uLong(rows.size())), Z_OK);
  packed.resize(packed_size);
  chunk(&png, "IDAT", packed);
  chunk(&png, "IEND", {});
  std::ofstream(path("huge.png"), std::ios::binary) << png;
  Outcome run =
      zorbel("-q " + path("huge.png") + " " + path("huge-out.png"), "", "ulimit -v 1500000 && ");
  expect_refused(run, 3, "huge.png: not enough memory for its 30000 x 30000 picture (2700 MB)",
                 path("huge-out.png"));
}

TEST_F(Cli, AFailedRunNeverClobbersAnExistingOutput) {
  std::ofstream(path("keep.png")) << "precious";
  Outcome run = zorbel("--max-space 1000 " + sample("camera.png") + " " + path("keep.png"));
  EXPECT_EQ(run.status, 4) << run.output;
  EXPECT_NE(run.output.find("-108"), std::string::npos) << run.output;
  std::ifstream kept(path("keep.png"));
  std::string content((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "precious");
}

// --- the dialog, played by a scripted user ---

TEST_F(Cli, DialogOptionsAndScriptsAreCheckedBeforeAnyWork) {
  std::string out = path("never.png"), input = sample("camera.png");
  expect_refused(zorbel("--dialog " + input + " " + out), 2, "--dialog needs --ui-script", out);
  std::string ok = script("ok.txt", "click 1\n");
  expect_refused(zorbel("--ui-script " + ok + " " + input + " " + out), 2, "needs --dialog", out);
  expect_refused(zorbel("--dialog --ui-script " + path("none.txt") + " " + input + " " + out), 2,
                 "none.txt: cannot read", out);
  expect_refused(zorbel("--dialog --ui-script " + folder + " " + input + " " + out), 2,
                 "cannot read the ui script", out);
  // One line per bad line, each naming the file and the line; good lines do not count.
  std::string bad = script("bad.txt",
                           "# a comment\n"
                           "click 1\n"
                           "clack 1\n"
                           "\n"
                           "type x 90\n"
                           "snapshot dialog picture.jpg\n"
                           "key space\r\n");
  Outcome run = zorbel("--dialog --ui-script " + bad + " " + input + " " + out);
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 4) << run.output;
  for (const char* line : {"bad.txt: line 3: unknown step 'clack'", "bad.txt: line 5: type needs",
                           "bad.txt: line 6: snapshot writes PNG", "bad.txt: line 7: key takes"})
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  EXPECT_FALSE(exists(out));
}

TEST_F(Cli, DialogOkFiltersWithTheDialogsSettingsAndStoresThem) {
  std::string input = sample("camera.png");
  ASSERT_EQ(zorbel("-q --angle 90 --regions 5 " + input + " " + path("ok-reference.png")).status,
            0);
  ASSERT_EQ(zorbel("-q --regions 3 " + input + " " + path("ok-other.png")).status, 0);
  // The dialog opens on the options' settings; the user types a new angle and confirms.
  std::string angle = script("angle.txt", "type 153 90\nclick 1\n");
  Outcome run = zorbel("-q --angle 30 --regions 5 --dialog --ui-script " + angle + " " + input +
                       " " + path("ok-dialog.png"));
  ASSERT_EQ(run.status, 0) << run.output;
  LoadedImage reference = read(path("ok-reference.png"));
  EXPECT_EQ(read(path("ok-dialog.png")).image.pixels, reference.image.pixels);
  EXPECT_NE(read(path("ok-other.png")).image.pixels, reference.image.pixels);
  // The confirmed settings are the stored ones: --repeat finds them, with or without the
  // dialog.
  ASSERT_EQ(zorbel("-q --repeat " + input + " " + path("ok-repeat.png")).status, 0);
  EXPECT_EQ(read(path("ok-repeat.png")).image.pixels, reference.image.pixels);
  std::string ok = script("ok.txt", "click 1\n");
  run = zorbel("-q --repeat --dialog --ui-script " + ok + " " + input + " " +
               path("ok-repeat-dialog.png"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(read(path("ok-repeat-dialog.png")).image.pixels, reference.image.pixels);
}

TEST_F(Cli, DialogCancelWritesNothingAndKeepsTheStoredSettings) {
  std::string input = sample("camera.png");
  ASSERT_EQ(zorbel("-q --angle 120 " + input + " " + path("kept.png")).status, 0);
  for (const char* steps : {"type 153 90\nclick 2\n", "type 153 90\nkey esc\n"}) {
    SCOPED_TRACE(steps);
    std::string cancel = script("cancel.txt", steps);
    Outcome run =
        zorbel("--dialog --ui-script " + cancel + " " + input + " " + path("cancelled.png"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("cancelled"), std::string::npos) << run.output;
    EXPECT_FALSE(exists(path("cancelled.png")));
    ASSERT_EQ(zorbel("-q --repeat " + input + " " + path("after-cancel.png")).status, 0);
    EXPECT_EQ(read(path("after-cancel.png")).image.pixels, read(path("kept.png")).image.pixels);
  }
}

TEST_F(Cli, AScriptThatRunsOutCancelsTheDialog) {
  for (const char* steps : {"type 153 90\n", "# nothing but a comment\n"}) {
    SCOPED_TRACE(steps);
    std::string short_script = script("short.txt", steps);
    Outcome run = zorbel("--dialog --ui-script " + short_script + " " + sample("camera.png") + " " +
                         path("ran-out.png"));
    expect_refused(run, 1, "short.txt: the script ran out with the dialog still open",
                   path("ran-out.png"));
  }
}

TEST_F(Cli, FailedStepsExitWithFiveAndWriteNothing) {
  struct Case {
    const char* steps;
    const char* failure;
  } cases[] = {{"expect-beeps 2\nclick 1\n", "line 1: expected 2 beeps, heard 0"},
               {"click 999\nclick 1\n", "line 1: no control 999"},
               {"type 154 9\nclick 1\n", "line 1: control 154 is no edit control"},
               {"snapshot dialog no/such/folder/d.png\nclick 1\n", "line 1: "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps);
    std::string failing = script("failing.txt", c.steps);
    Outcome run = zorbel("--dialog --ui-script " + failing + " " + sample("camera.png") + " " +
                         path("failed.png"));
    EXPECT_EQ(run.status, 5) << run.output;
    EXPECT_NE(run.output.find(std::string("failing.txt: ") + c.failure), std::string::npos)
        << run.output;
    EXPECT_FALSE(exists(path("failed.png")));
  }
  // A step that expects what happens passes.
  std::string quiet = script("quiet.txt", "expect-beeps 0\nclick 1\n");
  EXPECT_EQ(zorbel("-q --dialog --ui-script " + quiet + " " + sample("camera.png") + " " +
                   path("quiet.png"))
                .status,
            0);
}

// Where `part` lies inside `whole` (same kind), or (-1, -1).
std::pair<int, int> find_inside(const plugin_host::Image& whole, const plugin_host::Image& part) {
  std::size_t row = size_t(part.width) * size_t(part.planes);
  for (int32_t y = 0; y + part.height <= whole.height; ++y)
    for (int32_t x = 0; x + part.width <= whole.width; ++x) {
      bool same = true;
      for (int32_t r = 0; r < part.height && same; ++r)
        same = std::equal(part.at(0, r), part.at(0, r) + row, whole.at(x, y + r));
      if (same) return {x, y};
    }
  return {-1, -1};
}

TEST_F(Cli, SnapshotsShowTheDialogWithItsControlsComposedIn) {
  // A relative file name is taken from the current folder.
  std::string steps = "tick 3\nsnapshot dialog " + path("dialog shot.png") +
                      "\nsnapshot 101 small.png\nsnapshot 100 big.png\nclick 2\n";
  std::string shots = script("shots.txt", steps);
  std::string command =
      "--dialog --ui-script " + shots + " " + sample("camera.png") + " " + path("shot-output.png");
  Outcome run = zorbel("--base-units 6,12 " + command, folder);
  EXPECT_EQ(run.status, 1) << run.output;
  LoadedImage dialog = read(path("dialog shot.png"));
  LoadedImage small = read(path("small.png"));
  LoadedImage big = read(path("big.png"));
  EXPECT_EQ(dialog.kind, Kind::kRgb);
  // The template's 340 x 211 dialog units at base units 6 x 12, and the big view's 268.
  EXPECT_EQ(dialog.image.width, 340 * 6 / 4);
  EXPECT_EQ(dialog.image.height, 317);
  EXPECT_EQ(big.image.width, 268);
  EXPECT_EQ(big.image.height, 268);
  // The small view shows its guide lines on white, and its pixels are where it lies in the
  // dialog's picture (at 190 x 5 dialog units plus its border).
  ASSERT_GT(small.image.width, 0);
  EXPECT_NE(std::count(small.image.pixels.begin(), small.image.pixels.end(), 255), 0);
  std::pair<int, int> at = find_inside(dialog.image, small.image);
  EXPECT_GE(at.first, 190 * 6 / 4);
  EXPECT_LE(at.first, 190 * 6 / 4 + 3);
  EXPECT_GE(at.second, 5 * 12 / 8);
  EXPECT_LE(at.second, 5 * 12 / 8 + 3);
}

TEST_F(Cli, HelpVersionAndAbout) {
  Outcome help = zorbel("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* word : {"--angle", "--regions", "--spacing", "--intensity", "--mode", "--fade",
                           "--center", "--area", "--selection", "--repeat", "--max-space",
                           "--dialog", "--ui-script", "snapshot", "Examples"})
    EXPECT_NE(help.output.find(word), std::string::npos) << word;
  EXPECT_NE(zorbel("--version").output.find("1.0"), std::string::npos);
  Outcome about = zorbel("--about");
  EXPECT_EQ(about.status, 0);
  EXPECT_NE(about.output.find("Zorbel 1.0"), std::string::npos) << about.output;
}

// --- photographs as they come: formats, metadata, batches, streams, interruptions ---

// A small EXIF block (little-endian TIFF structure): IFD0 with Make "Zorbel Test" and
// Orientation 6 (the camera was turned; the pixels are stored unrotated).
std::vector<uint8_t> exif_block() {
  std::vector<uint8_t> b = {'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0};
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    for (uint32_t v : {uint32_t(tag), uint32_t(type)})
      b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
    for (uint32_t v : {count, value})
      b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  };
  entry(0x010F, 2, 12, 8 + 2 + 2 * 12 + 4);  // Make, ASCII, after the IFD
  entry(0x0112, 3, 1, 6);                    // Orientation
  b.insert(b.end(), {0, 0, 0, 0});           // no next IFD
  const char make[] = "Zorbel Test";
  b.insert(b.end(), make, make + 12);
  return b;
}

// The Orientation of IFD0 in an EXIF block, or 0.
int exif_orientation(const std::vector<uint8_t>& exif) {
  if (exif.size() < 8) return 0;
  bool little = exif[0] == 'I';
  auto u16 = [&](size_t at) {
    return at + 2 > exif.size() ? 0
           : little             ? exif[at] | exif[at + 1] << 8
                                : exif[at] << 8 | exif[at + 1];
  };
  auto u32 = [&](size_t at) {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  size_t ifd = size_t(u32(4));
  for (int i = 0, n = u16(ifd); i < n; ++i)
    if (u16(ifd + 2 + 12 * size_t(i)) == 0x0112) return u16(ifd + 2 + 12 * size_t(i) + 8);
  return 0;
}

std::vector<uint8_t> srgb_profile() {
  if (VIPS_INIT("zorbel-tests") != 0) return {};
  VipsBlob* blob = nullptr;
  if (vips_profile_load("srgb", &blob, nullptr) != 0) return {};
  std::size_t length = 0;
  const auto* data = static_cast<const uint8_t*>(vips_blob_get(blob, &length));
  std::vector<uint8_t> bytes(data, data + length);
  vips_area_unref(VIPS_AREA(blob));
  return bytes;
}

double mean_difference(const plugin_host::Image& a, const plugin_host::Image& b) {
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
  return sum / double(a.pixels.size());
}

TEST_F(Cli, EveryFormatIsReadAndWrittenAndLosslessOnesKeepThePixels) {
  LoadedImage coffee = read(sample("coffee.png"));
  ASSERT_EQ(zorbel("-q " + sample("coffee.png") + " " + path("fmt-ref.png")).status, 0);
  plugin_host::Image reference = read(path("fmt-ref.png")).image;
  struct Case {
    const char* extension;
    const char* options;
    bool lossless;
    LoadedImage input;
  } cases[] = {
      {"png", "", true, with_alpha(coffee)}, {"tif", "", true, as_cmyk(coffee)},
      {"webp", "--lossless", true, coffee},  {"jpg", "", false, coffee},
      {"jpg", "", false, as_cmyk(coffee)},   {"webp", "--quality 90", false, with_alpha(coffee)},
      {"heic", "", false, coffee},           {"avif", "", false, coffee}};
  int formats = 0;
  for (const Case& c : cases) {
    if (!image_io::output_format(c.extension)) continue;  // not in this build's libvips
    SCOPED_TRACE(std::string(c.extension) + " " + image_io::kind_name(c.input.kind));
    ++formats;
    // Read: a file of the format filters exactly as its decoded pixels do.
    std::string in = path(std::string("fmt-in.") + c.extension);
    write(in, c.input);
    LoadedImage decoded = read(in);
    ASSERT_EQ(decoded.kind, c.input.kind);
    write(path("fmt-decoded.tif"), decoded);
    ASSERT_EQ(zorbel("-q " + in + " " + path("fmt-a.tif")).status, 0);
    ASSERT_EQ(zorbel("-q " + path("fmt-decoded.tif") + " " + path("fmt-b.tif")).status, 0);
    EXPECT_EQ(read(path("fmt-a.tif")).image.pixels, read(path("fmt-b.tif")).image.pixels);
    // Write: the filtered photograph in the format, exact when lossless, close when not.
    if (c.input.kind != Kind::kRgb) continue;
    std::string out = path(std::string("fmt-out.") + c.extension);
    Outcome run = zorbel(std::string("-q ") + c.options + " " + sample("coffee.png") + " " + out);
    ASSERT_EQ(run.status, 0) << run.output;
    LoadedImage written = read(out);
    ASSERT_EQ(written.image.width, reference.width);
    if (c.lossless)
      EXPECT_EQ(written.image.pixels, reference.pixels);
    else
      EXPECT_LT(mean_difference(written.image, reference), 6.0);
  }
  EXPECT_GE(formats, 6);  // PNG, TIFF, WebP and JPEG at least
  // A lower quality makes a smaller JPEG.
  ASSERT_EQ(zorbel("-q --quality 30 " + sample("coffee.png") + " " + path("q30.jpg")).status, 0);
  ASSERT_EQ(zorbel("-q --quality 95 " + sample("coffee.png") + " " + path("q95.jpg")).status, 0);
  struct stat low {
  }, high{};
  ASSERT_EQ(stat(path("q30.jpg").c_str(), &low), 0);
  ASSERT_EQ(stat(path("q95.jpg").c_str(), &high), 0);
  EXPECT_LT(low.st_size * 2, high.st_size);
  // Alpha cannot go into JPEG: refused before any work, nothing written.
  expect_refused(zorbel(path("fmt-in.png") + " " + path("alpha.jpg")), 2, "alpha",
                 path("alpha.jpg"));
}

TEST_F(Cli, ProfileExifXmpAndResolutionGoFromInputToOutput) {
  LoadedImage photo = read(sample("coffee.png"));
  photo.metadata.icc = srgb_profile();
  ASSERT_FALSE(photo.metadata.icc.empty());
  photo.metadata.exif = exif_block();
  const std::string xmp =
      "<?xpacket begin=\"\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
      "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" dc:source=\"zorbel-xmp-mark\"/></rdf:RDF>"
      "</x:xmpmeta><?xpacket end=\"w\"?>";
  photo.metadata.xmp.assign(xmp.begin(), xmp.end());
  photo.metadata.x_dpi = photo.metadata.y_dpi = 300;
  photo.metadata.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04,  // record version 4, a caption
                         0x1C, 0x02, 0x78, 0x00, 0x05, 'e',  'c',  'h', 'o', 's'};
  write(path("meta.jpg"), photo);
  write(path("meta.tif"), photo);
  auto text = [](const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
  };
  for (const char* input : {"meta.jpg", "meta.tif"})
    for (const char* output : {"jpg", "tif", "png", "webp"}) {
      SCOPED_TRACE(std::string(input) + " -> " + output);
      std::string out = path(std::string("meta-out.") + output);
      // The stored frame, so that the orientation tag travels as it is too.
      ASSERT_EQ(zorbel(std::string("-q --keep-orientation ") + path(input) + " " + out).status, 0);
      std::string why;
      image_io::Metadata kept =
          image_io::read_image(out, &why, image_io::Orientation::kAsStored).value().metadata;
      EXPECT_EQ(kept.icc, photo.metadata.icc);  // byte for byte
      EXPECT_EQ(exif_orientation(kept.exif), 6);
      EXPECT_NE(text(kept.exif).find("Zorbel Test"), std::string::npos);
      EXPECT_NE(text(kept.xmp).find("zorbel-xmp-mark"), std::string::npos);
      if (std::string(output) == "jpg" || std::string(output) == "tif") {
        EXPECT_EQ(kept.iptc, photo.metadata.iptc);
      }
      if (std::string(output) != "webp") {  // WebP keeps no resolution of its own
        EXPECT_NEAR(kept.x_dpi, 300, 0.5);
        EXPECT_NEAR(kept.y_dpi, 300, 0.5);
      }
    }
  ASSERT_EQ(zorbel("-q --strip " + path("meta.jpg") + " " + path("stripped.jpg")).status, 0);
  image_io::Metadata stripped = read(path("stripped.jpg")).metadata;
  EXPECT_TRUE(stripped.icc.empty());
  EXPECT_TRUE(stripped.exif.empty());
  EXPECT_TRUE(stripped.xmp.empty());
  EXPECT_TRUE(stripped.iptc.empty());
  // A TIFF takes its EXIF from the encoder's own first IFD on: none is added when stripped.
  ASSERT_EQ(zorbel("-q --strip " + path("meta.jpg") + " " + path("stripped.tif")).status, 0);
  EXPECT_EQ(text(read(path("stripped.tif")).metadata.exif).find("Zorbel Test"), std::string::npos);
}

// Files written row by row as the filter makes them: complete ones equal a whole-image write
// with their metadata; an unfinished one leaves no file, not even a temporary one.
TEST_F(Cli, RowWritersWriteWholeFilesOrNothing) {
  LoadedImage photo = read(sample("chelsea.png"));                  // with a profile and XMP
  photo.metadata.iptc = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04,  // IPTC record version 4
                         0x1C, 0x02, 0x78, 0x00, 0x06, 'z',  'o',  'r', 'b', 'e', 'l'};
  const std::string folder = path("row-writers");
  mkdir(folder.c_str(), 0755);
  const size_t row_bytes = size_t(photo.image.width) * size_t(photo.image.planes);
  auto put_rows = [&](image_io::RowWriter& writer, int32_t count) {
    for (int32_t y = 0; y < count; ++y)
      if (!writer.put(photo.image.pixels.data() + size_t(y) * row_bytes)) return false;
    return true;
  };
  for (const char* extension : {"png", "tif", "jpg", "webp"}) {
    SCOPED_TRACE(extension);
    const std::string out = folder + "/whole." + extension;
    std::string why;
    auto writer = image_io::open_row_writer(out, photo, image_io::WriteOptions{}, &why);
    ASSERT_TRUE(writer) << why;
    ASSERT_TRUE(put_rows(*writer, photo.image.height));
    EXPECT_FALSE(writer->put(photo.image.pixels.data())) << "a row past the last";
    ASSERT_TRUE(writer->finish(&why)) << why;
    LoadedImage back = read(out);
    const bool lossless = std::string(extension) == "png" || std::string(extension) == "tif";
    EXPECT_TRUE(!lossless || back.image.pixels == photo.image.pixels);
    EXPECT_EQ(back.metadata.icc, photo.metadata.icc);
    EXPECT_EQ(back.metadata.xmp, photo.metadata.xmp);
    // IPTC travels in JPEG and TIFF files.
    EXPECT_TRUE(std::string(extension) == "png" || std::string(extension) == "webp" ||
                back.metadata.iptc == photo.metadata.iptc);
  }
  {
    std::string why;
    auto dropped = image_io::open_row_writer(folder + "/dropped.png", photo, {}, &why);
    ASSERT_TRUE(dropped) << why;
    ASSERT_TRUE(put_rows(*dropped, photo.image.height / 2));
    auto short_one = image_io::open_row_writer(folder + "/short.png", photo, {}, &why);
    ASSERT_TRUE(short_one) << why;
    ASSERT_TRUE(put_rows(*short_one, 3));
    EXPECT_FALSE(short_one->finish(&why));
    EXPECT_EQ(why, folder + "/short.png: the image was not finished");
  }
  int left = 0;
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const bool unexpected = name != "." && name != ".." && name.rfind("whole.", 0) != 0;
    EXPECT_FALSE(unexpected) << name;
    left += unexpected;
  }
  closedir(dir);
  EXPECT_EQ(left, 0);
  std::string why;
  EXPECT_FALSE(image_io::open_row_writer(path("no-such-folder/out.png"), photo, {}, &why));
  EXPECT_EQ(why,
            path("no-such-folder/out.png") + ": cannot be written (No such file or directory)");
}

// Cameras and editors put more of Photoshop's resources beside the IPTC records in a JPEG.
TEST_F(Cli, IptcRecordsAreFoundAmongPhotoshopResources) {
  const std::vector<uint8_t> records = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04, 0x1C,
                                        0x02, 0x50, 0x00, 0x03, 'A',  'd',  'a'};
  std::vector<uint8_t> block = {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.', '0', 0};
  // A resource with a name of odd length and three bytes of data (both padded), then the IPTC.
  const uint8_t other[] = {'8', 'B', 'I', 'M', 0x04, 0x25, 2, 'n', 'm', 0, 0, 0, 0, 3, 1, 2, 3, 0};
  block.insert(block.end(), other, other + sizeof other);
  const uint8_t iptc[] = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0, 0, 0, 0, uint8_t(records.size())};
  block.insert(block.end(), iptc, iptc + sizeof iptc);
  block.insert(block.end(), records.begin(), records.end());
  block.push_back(0);
  VipsImage* image = nullptr;
  ASSERT_EQ(vips_black(&image, 16, 16, nullptr), 0);
  VipsImage* bytes = nullptr;
  ASSERT_EQ(vips_cast_uchar(image, &bytes, nullptr), 0);
  vips_image_set_blob_copy(bytes, "iptc-data", block.data(), block.size());
  ASSERT_EQ(vips_jpegsave(bytes, path("photoshop.jpg").c_str(), nullptr), 0);
  g_object_unref(bytes);
  g_object_unref(image);
  EXPECT_EQ(read(path("photoshop.jpg")).metadata.iptc, records);
}

// A camera's big-endian EXIF with an EXIF and a GPS IFD goes into a TIFF and out of it with
// every value as it was (rationals as two numbers, in the file's byte order).
TEST_F(Cli, BigEndianExifWithItsSubIfdsGoesThroughATiffWhole) {
  std::vector<uint8_t> b = {'M', 'M', 0, 42, 0, 0, 0, 8};
  auto u16 = [&](uint32_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); };
  auto u32 = [&](uint32_t v) {
    u16(v >> 16);
    u16(v & 0xFFFF);
  };
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    u16(tag);
    u16(type);
    u32(count);
    u32(value);
  };
  // IFD0 at 8 (Make, EXIF and GPS pointers), the EXIF IFD at 50, the GPS IFD at 80, the
  // rational at 98 and Make's text at 106.
  u16(3);
  entry(0x010F, 2, 8, 106);
  entry(image_io::kExifPointer, 4, 1, 50);
  entry(image_io::kGpsPointer, 4, 1, 80);
  u32(0);
  u16(2);
  entry(0x829A, 5, 1, 98);  // ExposureTime 1/250 (a rational, out of line)
  b.insert(b.end(), {0x88, 0x27, 0, 3, 0, 0, 0, 1, 0, 200, 0, 0});  // ISO speed, SHORT 200
  u32(0);
  u16(1);
  entry(0x0000, 1, 4, 0x02020000);  // GPSVersionID 2.2.0.0
  u32(0);
  u32(1);
  u32(250);
  const char make[] = "Cam Co.";
  b.insert(b.end(), make, make + 8);
  LoadedImage photo = read(sample("camera.png"));
  photo.metadata.exif = b;
  write(path("camera-exif.tif"), photo);
  ASSERT_EQ(zorbel("-q " + path("camera-exif.tif") + " " + path("camera-exif-out.tif")).status, 0);
  std::vector<image_io::ExifField> fields =
      image_io::exif_fields(read(path("camera-exif-out.tif")).metadata.exif);
  auto find = [&](uint8_t ifd, uint16_t tag) -> std::vector<uint8_t> {
    for (const image_io::ExifField& f : fields)
      if (f.ifd == ifd && f.tag == tag) return f.value;
    return {};
  };
  EXPECT_EQ(find(image_io::kIfd0, 0x010F), std::vector<uint8_t>(make, make + 8));
  EXPECT_EQ(find(image_io::kExifIfd, 0x829A), std::vector<uint8_t>({1, 0, 0, 0, 250, 0, 0, 0}));
  EXPECT_EQ(find(image_io::kExifIfd, 0x8827), std::vector<uint8_t>({200, 0}));
  EXPECT_EQ(find(image_io::kGpsIfd, 0x0000), std::vector<uint8_t>({2, 2, 0, 0}));
  EXPECT_EQ(read(path("camera-exif-out.tif")).image.width, photo.image.width);
}

TEST_F(Cli, BatchesFilterEveryFileAndGoOnPastBrokenOnes) {
  std::string outputs = path("batch-out");
  mkdir(outputs.c_str(), 0755);
  LoadedImage small;
  small.image = plugin_host::Image(50, 30, 3);
  for (size_t i = 0; i < small.image.pixels.size(); ++i) small.image.pixels[i] = uint8_t(i * 13);
  write(path("small.jpg"), small);
  std::ofstream(path("broken.jpg")) << "\xFF\xD8\xFF not really a JPEG";
  std::string inputs = sample("coffee.png") + " " + sample("camera.png") + " " +
                       path("broken.jpg") + " " + path("small.jpg");
  Outcome run = zorbel("-q -j 2 --center 30%,40% --output-dir " + outputs + " " + inputs);
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_NE(run.output.find("broken.jpg"), std::string::npos) << run.output;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  EXPECT_FALSE(exists(outputs + "/broken.jpg"));
  // Each output is the single run's, the centre placed on each picture by its own size.
  struct Single {
    std::string input, name, center;
  } singles[] = {{sample("coffee.png"), "coffee.png", "180,160"},
                 {sample("camera.png"), "camera.png", "154,205"},
                 {path("small.jpg"), "small.jpg", "15,12"}};
  for (const Single& s : singles) {
    SCOPED_TRACE(s.name);
    ASSERT_EQ(
        zorbel("-q --center " + s.center + " " + s.input + " " + path("single-" + s.name)).status,
        0);
    EXPECT_EQ(read(outputs + "/" + s.name).image.pixels,
              read(path("single-" + s.name)).image.pixels);
  }
  // --format renames the outputs; percentages of the area are the pixels they stand for.
  ASSERT_EQ(zorbel("-q --format webp --lossless --area 10%,25%,50%,50% --output-dir " + outputs +
                   " " + sample("coffee.png"))
                .status,
            0);
  ASSERT_EQ(
      zorbel("-q --area 60,100,300,200 " + sample("coffee.png") + " " + path("area.png")).status,
      0);
  EXPECT_EQ(read(outputs + "/coffee.webp").image.pixels, read(path("area.png")).image.pixels);
  // A folder that is not there: refused before any work.
  expect_refused(zorbel("--output-dir " + path("nowhere") + " " + sample("coffee.png")), 3,
                 "nowhere", path("nowhere/coffee.png"));
  expect_refused(zorbel("--output-dir " + path("coffee-x.png") + " " + sample("coffee.png")), 3,
                 "coffee-x.png", path("coffee-x.png"));
}

// Two cards' folders both start at IMG_0001.JPG: a batch over them must not lose either.
TEST_F(Cli, BatchesRefuseClashesAndOutputsOverInputsBeforeWritingAnything) {
  const std::string card = path("card"), out = path("card-out");
  for (const std::string& folder : {card, card + "/100CANON", card + "/101CANON", out})
    mkdir(folder.c_str(), 0755);
  LoadedImage first, second;
  first.image = plugin_host::Image(40, 30, 3);
  second.image = plugin_host::Image(40, 30, 3);
  for (size_t i = 0; i < first.image.pixels.size(); ++i) {
    first.image.pixels[i] = uint8_t(i * 7);
    second.image.pixels[i] = uint8_t(i * 11 + 5);
  }
  const std::string a = card + "/100CANON/IMG_0001.png", b = card + "/101CANON/IMG_0001.png";
  write(a, first);
  write(b, second);
  const std::vector<uint8_t> original = read(a).image.pixels;

  Outcome clash = zorbel("-q --output-dir " + out + " " + a + " " + b);
  expect_refused(clash, 2, a + " and " + b + " would both be written as " + out + "/IMG_0001.png",
                 out + "/IMG_0001.png");
  EXPECT_EQ(std::count(clash.output.begin(), clash.output.end(), '\n'), 1) << clash.output;

  // --name tells them apart; {n} numbers them in the order given.
  ASSERT_EQ(zorbel("-q --name {n}-{stem}.{ext} --output-dir " + out + " " + a + " " + b).status, 0);
  ASSERT_EQ(zorbel("-q " + a + " " + path("single-a.png")).status, 0);
  ASSERT_EQ(zorbel("-q " + b + " " + path("single-b.png")).status, 0);
  EXPECT_EQ(read(out + "/1-IMG_0001.png").image.pixels, read(path("single-a.png")).image.pixels);
  EXPECT_EQ(read(out + "/2-IMG_0001.png").image.pixels, read(path("single-b.png")).image.pixels);
  // Without --output-dir each result goes beside its own original.
  ASSERT_EQ(zorbel("-q --name {stem}-echoes.{ext} " + a + " " + b).status, 0);
  EXPECT_EQ(read(card + "/101CANON/IMG_0001-echoes.png").image.pixels,
            read(path("single-b.png")).image.pixels);

  // The inputs' own folder, here through "..": refused, the original untouched.
  Outcome over = zorbel("-q --output-dir " + card + "/101CANON/../100CANON " + a);
  EXPECT_EQ(over.status, 2);
  EXPECT_NE(over.output.find("would replace its input " + a + "; give --in-place"),
            std::string::npos)
      << over.output;
  EXPECT_EQ(read(a).image.pixels, original);
  // A single run names its output itself; --in-place replaces the originals once done.
  ASSERT_EQ(zorbel("-q " + b + " " + path("copy-b.png")).status, 0);
  ASSERT_EQ(zorbel("-q " + path("copy-b.png") + " " + path("copy-b.png")).status, 0);
  EXPECT_EQ(read(path("copy-b.png")).image.pixels, read(path("single-b.png")).image.pixels);
  Outcome in_place = zorbel("--in-place " + a + " " + b);
  EXPECT_EQ(in_place.status, 0) << in_place.output;
  EXPECT_NE(in_place.output.find("wrote 2 of 2 files in place"), std::string::npos)
      << in_place.output;
  EXPECT_EQ(read(a).image.pixels, read(path("single-a.png")).image.pixels);
  EXPECT_EQ(read(b).image.pixels, read(path("single-b.png")).image.pixels);
}

// --- animations and multi-page files ---

// Frames of `width` x `height` RGB, each its own pattern, in at most 216 colours (a GIF keeps
// them exactly).
std::vector<plugin_host::Image> test_frames(int count, int32_t width, int32_t height) {
  std::vector<plugin_host::Image> frames;
  for (int f = 0; f < count; ++f) {
    plugin_host::Image frame(width, height, 3);
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        for (int c = 0; c < 3; ++c)
          frame.at(x, y)[c] = uint8_t(51 * ((x / (3 + f) + y / (4 + c) * (f + 1) + c) % 6));
    frames.push_back(frame);
  }
  return frames;
}

// Writes frames as one file through libvips: one tall image with its page height, the delays
// (milliseconds) and the loop count, in the format of the name (with libvips' [options]).
void write_frames(const std::string& file, const std::vector<plugin_host::Image>& frames,
                  const std::vector<int>& delays, int loop) {
  ASSERT_EQ(VIPS_INIT("zorbel-tests"), 0);
  std::vector<uint8_t> tall;
  for (const plugin_host::Image& frame : frames)
    tall.insert(tall.end(), frame.pixels.begin(), frame.pixels.end());
  const plugin_host::Image& first = frames[0];
  VipsImage* image =
      vips_image_new_from_memory_copy(tall.data(), tall.size(), first.width,
                                      first.height * int(frames.size()), 3, VIPS_FORMAT_UCHAR);
  ASSERT_NE(image, nullptr);
  image->Type = VIPS_INTERPRETATION_sRGB;
  vips_image_set_int(image, "page-height", first.height);
  if (!delays.empty()) vips_image_set_array_int(image, "delay", delays.data(), int(delays.size()));
  if (loop >= 0) vips_image_set_int(image, "loop", loop);
  EXPECT_EQ(vips_image_write_to_file(image, file.c_str(), nullptr), 0) << vips_error_buffer();
  g_object_unref(image);
}

// What a multi-frame file holds, as libvips reads it: each frame's pixels (alpha dropped when
// it is all opaque), the delays and the loop count.
struct FramesRead {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<int> delays;
  int loop = -1;
};
FramesRead frames_of(const std::string& file) {
  FramesRead read;
  if (VIPS_INIT("zorbel-tests") != 0) return read;
  VipsImage* all = vips_image_new_from_file(file.c_str(), "n", -1, nullptr);
  if (all == nullptr) {
    ADD_FAILURE() << file << ": " << vips_error_buffer();
    vips_error_clear();
    return read;
  }
  const int page = vips_image_get_page_height(all);
  int* delays = nullptr;
  int count = 0;
  if (vips_image_get_typeof(all, "delay") != 0 &&
      vips_image_get_array_int(all, "delay", &delays, &count) == 0)
    read.delays.assign(delays, delays + count);
  if (vips_image_get_typeof(all, "loop") != 0) vips_image_get_int(all, "loop", &read.loop);
  const int bands = vips_image_get_bands(all);
  for (int top = 0; top + page <= vips_image_get_height(all); top += page) {
    VipsImage* frame = nullptr;
    vips_crop(all, &frame, 0, top, vips_image_get_width(all), page, nullptr);
    std::size_t size = 0;
    auto* bytes = static_cast<uint8_t*>(vips_image_write_to_memory(frame, &size));
    std::vector<uint8_t> pixels;
    bool opaque = true;
    for (std::size_t i = 3; bands == 4 && i < size; i += 4) opaque = opaque && bytes[i] == 255;
    for (std::size_t i = 0; i < size; ++i)
      if (!(bands == 4 && opaque && i % 4 == 3)) pixels.push_back(bytes[i]);
    read.frames.push_back(std::move(pixels));
    g_free(bytes);
    g_object_unref(frame);
  }
  g_object_unref(all);
  return read;
}

double mean_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 255;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / double(a.size());
}

TEST_F(Cli, EveryFrameOfAnAnimationOrPageOfAFileIsFilteredAndKept) {
  const std::vector<plugin_host::Image> frames = test_frames(3, 90, 60);
  const std::vector<int> delays = {100, 250, 400};
  write_frames(path("anim.gif"), frames, delays, 3);
  write_frames(path("anim.webp[lossless]"), frames, delays, 0);
  write_frames(path("pages.tif"), frames, {}, -1);
  // Each frame filtered alone, at the settings given, centre in its own coordinates.
  const std::string settings = "-q --regions 5 --center 30%,60% --mode mixed ";
  std::vector<std::vector<uint8_t>> singles;
  for (size_t f = 0; f < frames.size(); ++f) {
    LoadedImage frame;
    frame.image = frames[f];
    write(path("frame" + std::to_string(f) + ".png"), frame);
    ASSERT_EQ(zorbel(settings + path("frame" + std::to_string(f) + ".png") + " " +
                     path("frame-out" + std::to_string(f) + ".png"))
                  .status,
              0);
    singles.push_back(read(path("frame-out" + std::to_string(f) + ".png")).image.pixels);
  }
  struct Case {
    std::string input, output;
    std::vector<int> delays;
    int loop;
    double within;  // mean difference per sample allowed (GIF: 256 colours; HEIF: lossy)
  } cases[] = {{"anim.gif", "gif-to.tif", {}, -1, 0},
               {"anim.gif", "gif-to.webp --lossless", delays, 3, 0},
               {"anim.webp", "webp-to.gif", delays, 0, 6},
               {"anim.gif", "gif-to.gif", delays, 3, 6},
               {"pages.tif", "tif-to.tif", {}, -1, 0},
               {"pages.tif", "tif-to.heic", {}, -1, 25}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " -> " + c.output);
    Outcome run = zorbel(settings + path(c.input) + " " + path(c.output));
    ASSERT_EQ(run.status, 0) << run.output;
    FramesRead out = frames_of(path(c.output.substr(0, c.output.find(' '))));
    ASSERT_EQ(out.frames.size(), frames.size());
    for (size_t f = 0; f < frames.size(); ++f) {
      EXPECT_LE(mean_difference(out.frames[f], singles[f]), c.within) << "frame " << f;
      for (size_t other = 0; other < frames.size(); ++other)  // and in their order
        if (other != f) {
          EXPECT_LT(mean_difference(out.frames[f], singles[f]),
                    mean_difference(out.frames[f], singles[other]))
              << "frame " << f;
        }
    }
    if (!c.delays.empty()) {
      EXPECT_EQ(out.delays, c.delays);
    }
    if (c.loop >= 0) {
      EXPECT_EQ(out.loop, c.loop);
    }
  }
  // A format of one frame: refused with the count, unless --first-frame takes the first alone.
  for (const std::string output : {"one.jpg", "one.png"}) {
    Outcome run = zorbel(settings + path("anim.webp") + " " + path(output));
    expect_refused(run, 2, "anim.webp: has 3 frames, and ", path(output));
    EXPECT_NE(run.output.find("keeps one; write " + image_io::frame_formats() +
                              " to keep them all, or give --first-frame"),
              std::string::npos)
        << run.output;
  }
  expect_refused(zorbel(settings + path("pages.tif") + " " + path("page.png")), 2,
                 "pages.tif: has 3 pages", path("page.png"));
  ASSERT_EQ(zorbel(settings + "--first-frame " + path("pages.tif") + " " + path("page.png")).status,
            0);
  EXPECT_EQ(read(path("page.png")).image.pixels, singles[0]);
}

TEST_F(Cli, StandardInputAndOutputCarryImages) {
  ASSERT_EQ(zorbel("-q " + sample("coffee.png") + " " + path("stream-ref.png")).status, 0);
  ASSERT_EQ(zorbel("-q - " + path("stream-in.png") + " < " + sample("coffee.png")).status, 0);
  EXPECT_EQ(read(path("stream-in.png")).image.pixels, read(path("stream-ref.png")).image.pixels);
  // Standard output, in the input's format or the one --format gives.
  ASSERT_EQ(zorbel("-q " + sample("coffee.png") + " - > " + path("stream-out.png")).status, 0);
  EXPECT_EQ(read(path("stream-out.png")).image.pixels, read(path("stream-ref.png")).image.pixels);
  ASSERT_EQ(
      zorbel("-q --format tif - - < " + sample("coffee.png") + " > " + path("stream.tif")).status,
      0);
  EXPECT_EQ(read(path("stream.tif")).format, "tiff");
  EXPECT_EQ(read(path("stream.tif")).image.pixels, read(path("stream-ref.png")).image.pixels);
  std::ofstream(path("empty.png")).close();
  expect_refused(zorbel(path("empty.png") + " " + path("never.png")), 3, "empty.png",
                 path("never.png"));
  expect_refused(zorbel("--format bogus " + sample("coffee.png") + " -"), 2, "bogus",
                 path("never.png"));
}

// Runs zorbel on a large picture, sends the signal once its temporary output exists, and
// returns the exit status; the output folder must then hold nothing of the run.
int interrupted_status(const std::string& input, const std::string& output, int signal_number) {
  pid_t child = fork();
  if (child == 0) {
    execl(ZORBEL_COMMAND, ZORBEL_COMMAND, "-q", input.c_str(), output.c_str(), (char*)nullptr);
    _exit(127);
  }
  std::string folder = output.substr(0, output.find_last_of('/'));
  std::string prefix = output.substr(output.find_last_of('/') + 1) + ".zorbel-tmp-";
  for (int tries = 0; tries < 20000; ++tries) {
    bool found = false;
    if (DIR* dir = opendir(folder.c_str())) {
      while (dirent* entry = readdir(dir))
        found = found || std::string(entry->d_name).rfind(prefix, 0) == 0;
      closedir(dir);
    }
    if (found) break;
    usleep(1000);
  }
  kill(child, signal_number);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Cli, AnInterruptedRunLeavesNothingBehind) {
  // Noise compresses slowly, so the PNG is still being written when the signal comes. The PNG
  // is written while the filter runs: Ctrl+C then stops the run (1), after it ends the program
  // (130); SIGTERM always ends it (143).
  LoadedImage noise;
  noise.image = plugin_host::Image(3000, 2000, 3);
  uint32_t state = 7;
  for (uint8_t& b : noise.image.pixels) b = uint8_t((state = state * 1664525u + 1013904223u) >> 24);
  write(path("noise.png"), noise);
  std::string folder = path("interrupted");
  mkdir(folder.c_str(), 0755);
  const int stopped = interrupted_status(path("noise.png"), folder + "/out.png", SIGINT);
  EXPECT_TRUE(stopped == 1 || stopped == 130) << stopped;
  EXPECT_EQ(interrupted_status(path("noise.png"), folder + "/out.png", SIGTERM), 143);
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  int left = 0;
  while (dirent* entry = readdir(dir)) left += entry->d_name[0] != '.';
  closedir(dir);
  EXPECT_EQ(left, 0);
}

// Runs zorbel with its standard error on a terminal, where it draws its progress bar, and
// presses Ctrl+C (SIGINT) once the bar shows `shown` (by default: the bar at all), that is while
// the final pass runs. Returns the exit status and what the terminal showed.
Outcome stopped_while_filtering(const std::vector<std::string>& arguments,
                                const std::string& trigger = "filtering [") {
  int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) return {-1, "no pty"};
  std::string side = ptsname(terminal);
  pid_t child = fork();
  if (child == 0) {
    int err = open(side.c_str(), O_RDWR);
    dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(ZORBEL_COMMAND)};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(ZORBEL_COMMAND, argv.data());
    _exit(127);
  }
  std::string shown;
  bool pressed = false;
  char buffer[256];
  for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, size_t(n));
    if (!pressed && shown.find(trigger) != std::string::npos) {
      kill(child, SIGINT);
      pressed = true;
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  close(terminal);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, shown};
}

TEST_F(Cli, CtrlCWhileFilteringCancelsTheRunAndWritesNothing) {
  // A reduced working image: the final pass asks for its rows one call at a time, and the bar
  // moves with them.
  LoadedImage picture;
  picture.image = plugin_host::Image(3200, 2400, 3);
  for (int32_t y = 0; y < 2400; ++y)
    for (int32_t x = 0; x < 3200; ++x)
      for (int c = 0; c < 3; ++c) picture.image.at(x, y)[c] = uint8_t(x * (c + 1) + y);
  write(path("wide.png"), picture);
  std::string folder = path("stopped");
  mkdir(folder.c_str(), 0755);
  Outcome run = stopped_while_filtering(
      {"--max-space", "4000000", "--regions", "20", path("wide.png"), folder + "/out.png"});
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("zorbel: interrupted; " + folder + "/out.png was not written"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("100%"), std::string::npos);  // stopped before the last row
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  int left = 0;
  while (dirent* entry = readdir(dir)) left += entry->d_name[0] != '.';
  closedir(dir);
  EXPECT_EQ(left, 0);
}

// The bar counts the frames of a multi-page file; Ctrl+C in a later frame leaves nothing, of
// a single run or of a batch.
TEST_F(Cli, CtrlCInALaterFrameWritesNothing) {
  LoadedImage header;
  header.image = plugin_host::Image(1600, 1200, 3);
  header.frames.count = 3;
  std::string why;
  auto writer = image_io::open_row_writer(path("pages-big.tif"), header, {}, &why);
  ASSERT_TRUE(writer) << why;
  std::vector<uint8_t> row(1600 * 3);
  for (int32_t y = 0; y < 3 * 1200; ++y) {
    for (size_t i = 0; i < row.size(); ++i) row[i] = uint8_t(i * 3 + size_t(y) * 5);
    ASSERT_TRUE(writer->put(row.data()));
  }
  ASSERT_TRUE(writer->finish(&why)) << why;
  std::string folder = path("stopped-frames");
  mkdir(folder.c_str(), 0755);
  Outcome single = stopped_while_filtering(
      {"--max-space", "4000000", "--regions", "20", path("pages-big.tif"), folder + "/out.tif"},
      "frame 2 of 3");
  EXPECT_EQ(single.status, 1) << single.output;
  EXPECT_NE(single.output.find("frame 1 of 3"), std::string::npos) << single.output;
  EXPECT_NE(single.output.find("zorbel: interrupted; " + folder + "/out.tif was not written"),
            std::string::npos)
      << single.output;
  // A batch's bar counts frames: 3 pages and a picture make quarters.
  std::string counted = path("counted-frames");
  mkdir(counted.c_str(), 0755);
  Outcome whole = stopped_while_filtering(
      {"-j", "1", "--output-dir", counted, path("pages-big.tif"), sample("camera.png")},
      "no such text");
  EXPECT_EQ(whole.status, 0) << whole.output;
  for (const char* step : {" 25%", " 50%", " 75%", "100%"})
    EXPECT_NE(whole.output.find(step), std::string::npos) << step << "\n" << whole.output;
  EXPECT_NE(whole.output.find("\nzorbel: wrote 2 of 2 files"), std::string::npos) << whole.output;
  Outcome batch = stopped_while_filtering({"--max-space", "4000000", "--regions", "20", "-j", "1",
                                           "--output-dir", folder, path("pages-big.tif")});
  EXPECT_EQ(batch.status, 1) << batch.output;
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  int left = 0;
  while (dirent* entry = readdir(dir)) left += entry->d_name[0] != '.';
  closedir(dir);
  EXPECT_EQ(left, 0);
}

}  // namespace
