// Whole runs on tiny asymmetric images against outputs kept in tests/data/golden: what the
// effect gives is pinned in files, so a change to the engine, its reference or the driver
// shows as a difference from them. ZORBEL_WRITE_GOLDEN=1 writes the files afresh from the
// one-pixel reference instead of comparing (see tests/data/README.md).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "module/module_state.h"
#include "tests/protocol/protocol_support.h"

namespace pt = protocol_test;
using plugin_host::Area;
using plugin_host::Image;

namespace {

struct Golden {
  const char* name;
  int32_t width, height, planes;
  uint32_t seed;
  ParameterRecord record;
  int32_t max_space;  // small ones make the module work from a reduced image
};

const Golden kCases[] = {
    {"gray-7x5-defaults", 7, 5, 1, 11, pt::settings(8, 100, 50, 50, 0, 0, 3, 2), 1 << 24},
    {"gray-9x7-right-angle-fade", 9, 7, 1, 12, pt::settings(3, 70, 120, 20, 1, 1, 2, 5), 1 << 24},
    {"rgb-6x5-mixed", 6, 5, 3, 13, pt::settings(5, 100, 300, 30, -1, 0, 4, 1), 1 << 24},
    {"rgb-12x11-decimation-3", 12, 11, 3, 3, pt::settings(4, 100, 200, 60, 0, 0, 8, 5), 15847},
    {"cmyk-5x6-parallel-fade", 5, 6, 4, 14, pt::settings(6, 85, 10, 35, 0, 1, 1, 4), 1 << 24},
    {"cmyk-8x6-mixed-fade", 8, 6, 4, 15, pt::settings(20, 60, 225, 100, -1, 1, 7, 0), 1 << 24},
};

void PrintTo(const Golden& g, std::ostream* out) { *out << g.name; }

std::string path_of(const Golden& g) {
  return std::string(ZORBEL_GOLDEN_DATA "/") + g.name + ".txt";
}

// One line per row, one hex group per pixel.
void write_pixels(std::ostream& out, const Image& image) {
  char hex[3];
  for (int32_t y = 0; y < image.height; ++y) {
    for (int32_t x = 0; x < image.width; ++x) {
      if (x > 0) out << ' ';
      for (int32_t c = 0; c < image.planes; ++c) {
        std::snprintf(hex, sizeof hex, "%02x", image.at(x, y)[c]);
        out << hex;
      }
    }
    out << '\n';
  }
}

bool read_pixels(std::istream& in, Image* image) {
  for (int32_t y = 0; y < image->height; ++y) {
    for (int32_t x = 0; x < image->width; ++x) {
      std::string group;
      if (!(in >> group) || group.size() != size_t(image->planes) * 2) return false;
      for (int32_t c = 0; c < image->planes; ++c)
        image->at(x, y)[c] = uint8_t(std::stoul(group.substr(size_t(c) * 2, 2), nullptr, 16));
    }
  }
  return true;
}

class GoldenRun : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenRun, TheModuleGivesTheKeptOutput) {
  const Golden& g = GetParam();
  Image input = pt::pattern_image(g.width, g.height, g.planes, g.seed);
  plugin_host::RunOptions options = pt::options_for(g.planes);
  options.max_space = g.max_space;
  pt::linked_module().set_parameters(pt::record_bytes(g.record));
  Image result = input;
  plugin_host::RunResult run = pt::linked_module().run(result, options);
  ASSERT_TRUE(run.ok()) << run.result << " " << run.host_error;

  if (std::getenv("ZORBEL_WRITE_GOLDEN") != nullptr) {
    const ParameterRecord& r = g.record;
    Image expected =
        pt::reference_render(input, Area{0, 0, g.width, g.height}, g.planes, r,
                             module_state.preview.image_step, module_state.preview.preview_extent);
    std::ofstream out(path_of(g));
    out << "# " << g.name << ": written by the one-pixel reference; see ../README.md\n"
        << "size " << g.width << ' ' << g.height << ' ' << g.planes << '\n'
        << "settings regions " << r.regions << " intensity " << r.intensity << " angle " << r.angle
        << " spacing " << r.spacing << " mode " << r.mode << " fade " << r.fade << " center "
        << r.center_h << ',' << r.center_v << '\n'
        << "working image reduced by " << module_state.plan.decimation << '\n'
        << "input\n";
    write_pixels(out, input);
    out << "output\n";
    write_pixels(out, expected);
    GTEST_SKIP() << "wrote " << path_of(g);
  }

  std::ifstream file(path_of(g));
  ASSERT_TRUE(file.good()) << path_of(g) << " is missing";
  std::string line, word;
  while (std::getline(file, line) && line != "input") {
  }
  Image kept_input(g.width, g.height, g.planes), kept_output(g.width, g.height, g.planes);
  ASSERT_TRUE(read_pixels(file, &kept_input)) << path_of(g) << ": input";
  ASSERT_TRUE(file >> word && word == "output") << path_of(g);
  ASSERT_TRUE(read_pixels(file, &kept_output)) << path_of(g) << ": output";
  ASSERT_EQ(kept_input.pixels, input.pixels) << "the test image is no longer the kept one";
  EXPECT_EQ(result.pixels, kept_output.pixels) << g.name;
  EXPECT_NE(result.pixels, input.pixels);  // the effect did something
}

INSTANTIATE_TEST_SUITE_P(TinyImages, GoldenRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Golden>& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

}  // namespace
