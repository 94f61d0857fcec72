// The zorbel command as users meet it: real photographs in every image kind, --repeat,
// --max-space, selections and areas, and every kind of bad input refused with one line and
// the right exit status, leaving no output behind. Runs the built command as a process.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "plugin_host/image_io.h"

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
  static void TearDownTestSuite() { std::system(("rm -rf " + folder).c_str()); }

  static std::string path(const std::string& name) { return folder + "/" + name; }
  // Writes a ui script into the test folder; returns its path.
  static std::string script(const std::string& name, const std::string& steps) {
    std::ofstream(path(name)) << steps;
    return path(name);
  }

  // Runs zorbel with the arguments, in the folder `in` when given; settings live in the
  // test's own folder.
  static Outcome zorbel(const std::string& arguments, const std::string& in = "") {
    std::string command = (in.empty() ? "" : "cd '" + in + "' && ") +
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
  std::system(("mkdir -p " + folder + "/config").c_str());
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

}  // namespace
