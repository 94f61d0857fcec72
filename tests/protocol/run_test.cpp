// Whole runs through the host library: the final image against a reference computed with
// the whole filter area in memory, the sequence of requests, and what the host sees.
#include <gtest/gtest.h>

#include <optional>

#include <cstring>

#include "module/host/host.h"
#include "module/module_state.h"
#include "tests/protocol/protocol_support.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#endif

namespace pt = protocol_test;
using plugin_host::Area;
using plugin_host::Image;

namespace {

// The smallest maxSpace at which Start keeps a working image reduced by `decimation`
// (displayPixels offered, no selection): the budget, once lowered, equals the need.
int32_t max_space_for(int32_t width, int32_t height, int32_t planes, int32_t decimation) {
  int32_t row_bytes = width * planes;
  int32_t reserve = (row_bytes + 1) * 32 + height + 2000;
  int32_t fixed = reserve + (planes == 1 ? 512 : 4352) + 8192;
  int32_t whole = height * row_bytes;
  if (decimation == 1) return whole + fixed + 1;
  int32_t need = (height / decimation) * (width / decimation) * planes;
  return need + 2 * row_bytes + fixed;
}

struct Case {
  int32_t planes;
  int16_t mode;
  int16_t fade;
  int32_t decimation;
};

class FinalImage : public ::testing::TestWithParam<Case> {};

TEST_P(FinalImage, ReducedWorkingImageAndRowCacheGiveTheWholeAreaResult) {
  const Case c = GetParam();
  const int32_t width = 97, height = 61;
  Image image = pt::pattern_image(width, height, c.planes, 7);
  plugin_host::RunOptions options = pt::options_for(c.planes);
  options.max_space = max_space_for(width, height, c.planes, c.decimation);
  // Regions and spacing that make each output row need many source rows.
  ParameterRecord record = pt::settings(20, 80, 113, 9, c.mode, c.fade, 30, 22);
  plugin_host::Module& module = pt::linked_module();
  module.set_parameters(pt::record_bytes(record));
#ifndef _WIN32
  headless::reset_memory_stats();
  std::size_t baseline = headless::memory_stats().live_bytes;
#endif
  Image result = image;
  plugin_host::RunResult run = module.run(result, options);
  ASSERT_TRUE(run.ok()) << run.result << " " << run.host_error;
  ASSERT_EQ(module_state.plan.decimation, c.decimation);
#ifndef _WIN32
  EXPECT_LE(headless::memory_stats().peak_bytes - baseline, std::size_t(options.max_space));
#endif
  Image reference =
      pt::reference_render(image, Area{0, 0, width, height}, c.planes, record,
                           module_state.preview.image_step, module_state.preview.preview_extent);
  EXPECT_EQ(result.pixels, reference.pixels);
  EXPECT_NE(result.pixels, image.pixels);  // the effect did something
}

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (int32_t planes : {1, 3, 4})
    for (int16_t mode : {0, 1, -1})
      for (int16_t fade : {0, 1})
        for (int32_t decimation : {1, 2, 3}) cases.push_back({planes, mode, fade, decimation});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryModeAndDecimation, FinalImage, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           const Case& c = info.param;
                           return std::to_string(c.planes) + "bytes_mode" +
                                  (c.mode < 0 ? std::string("Mixed") : std::to_string(c.mode)) +
                                  "_fade" + std::to_string(c.fade) + "_decimation" +
                                  std::to_string(c.decimation);
                         });

TEST(HostRuns, TinyAsymmetricImageAtEveryDecimation) {
  // 12 x 11 pixels: decimation 5 leaves a 2 x 2 working image.
  for (int32_t decimation = 1; decimation <= 5; ++decimation) {
    Image image = pt::pattern_image(12, 11, 3, 3);
    plugin_host::RunOptions options = pt::options_for(3);
    options.max_space = max_space_for(12, 11, 3, decimation);
    ParameterRecord record = pt::settings(4, 100, 200, 60, 0, 0, 8, 5);
    pt::linked_module().set_parameters(pt::record_bytes(record));
    Image result = image;
    plugin_host::RunResult run = pt::linked_module().run(result, options);
    ASSERT_TRUE(run.ok()) << decimation;
    EXPECT_EQ(module_state.plan.decimation, decimation);
    Image reference =
        pt::reference_render(image, Area{0, 0, 12, 11}, 3, record, module_state.preview.image_step,
                             module_state.preview.preview_extent);
    EXPECT_EQ(result.pixels, reference.pixels) << decimation;
  }
}

TEST(HostRuns, PaddedAndUnpaddedInputRowsGiveTheSameImage) {
  Image image = pt::pattern_image(40, 30, 3, 11);
  for (int32_t decimation : {1, 2}) {
    plugin_host::RunOptions options = pt::options_for(3);
    options.max_space = max_space_for(40, 30, 3, decimation);
    ParameterRecord record = pt::settings(6, 70, 30, 40, -1, 1, 20, 15);
    Image plain = image, padded = image;
    pt::linked_module().set_parameters(pt::record_bytes(record));
    ASSERT_TRUE(pt::linked_module().run(plain, options).ok());
    options.row_padding = 13;
    pt::linked_module().set_parameters(pt::record_bytes(record));
    ASSERT_TRUE(pt::linked_module().run(padded, options).ok());
    EXPECT_EQ(plain.pixels, padded.pixels) << decimation;
  }
}

TEST(HostRuns, AFilterAreaInsideALargerImageLeavesTheRestAlone) {
  Image image = pt::pattern_image(50, 40, 3, 5);
  Area area{7, 9, 41, 33};
  for (int32_t decimation : {1, 2}) {
    plugin_host::RunOptions options = pt::options_for(3);
    options.filter_area = area;
    options.max_space =
        max_space_for(area.right - area.left, area.bottom - area.top, 3, decimation);
    ParameterRecord record = pt::settings(5, 100, 300, 30, 0, 0, 10, 12);
    pt::linked_module().set_parameters(pt::record_bytes(record));
    Image result = image;
    plugin_host::RunResult run = pt::linked_module().run(result, options);
    ASSERT_TRUE(run.ok());
    EXPECT_EQ(module_state.plan.decimation, decimation);
    // Every request lies in the filter area's rows and columns.
    for (const plugin_host::Request& r : run.requests) {
      if (r.in.bottom > r.in.top) {
        EXPECT_GE(r.in.top, area.top);
        EXPECT_LE(r.in.bottom, area.bottom);
        EXPECT_EQ(r.in.left, area.left);
        EXPECT_EQ(r.in.right, area.right);
      }
    }
    Image reference = pt::reference_render(image, area, 3, record, module_state.preview.image_step,
                                           module_state.preview.preview_extent);
    EXPECT_EQ(result.pixels, reference.pixels);
    for (int32_t y = 0; y < 40; ++y) {
      for (int32_t x = 0; x < 50; ++x) {
        bool outside = x < area.left || x >= area.right || y < area.top || y >= area.bottom;
        if (outside) {
          ASSERT_EQ(std::memcmp(result.at(x, y), image.at(x, y), 3), 0) << x << "," << y;
        }
      }
    }
  }
}

TEST(HostRuns, ASelectionChangesOnlySelectedPixels) {
  Image image = pt::pattern_image(60, 45, 3, 9);
  std::vector<uint8_t> selection(60 * 45, 0);
  for (int32_t y = 10; y < 40; ++y)
    for (int32_t x = 5; x < 50; ++x) selection[size_t(y) * 60 + x] = (x + y) % 7 == 0 ? 128 : 255;
  plugin_host::RunOptions options = pt::options_for(3);
  options.selection = &selection;
  ParameterRecord record = pt::settings(8, 100, 0, 50, 0, 0, 10, 20);
  pt::linked_module().set_parameters(pt::record_bytes(record));
  Image result = image;
  plugin_host::RunResult run = pt::linked_module().run(result, options);
  ASSERT_TRUE(run.ok()) << run.result << " " << run.host_error;
  int changed = 0;
  for (int32_t y = 0; y < 45; ++y) {
    for (int32_t x = 0; x < 60; ++x) {
      bool same = std::memcmp(result.at(x, y), image.at(x, y), 3) == 0;
      if (selection[size_t(y) * 60 + x] == 0) {
        ASSERT_TRUE(same) << x << "," << y;
      }
      changed += same ? 0 : 1;
    }
  }
  EXPECT_GT(changed, 100);
}

TEST(HostRuns, TheMaskIsSampledBeforeAnyInputIsAskedFor) {
  Image image = pt::pattern_image(60, 45, 3, 9);
  std::vector<uint8_t> selection(60 * 45, 255);
  plugin_host::RunOptions options = pt::options_for(3);
  options.selection = &selection;
  pt::linked_module().set_parameters(pt::record_bytes(pt::settings(8, 100, 0, 50, 0, 0, 10, 20)));
  plugin_host::RunResult run = pt::linked_module().run(image, options);
  ASSERT_TRUE(run.ok()) << run.result << " " << run.host_error;
  auto empty = [](const filter_api::Rect& r) { return r.left >= r.right || r.top >= r.bottom; };
  std::size_t mask_calls = 0;
  while (mask_calls < run.requests.size() && !empty(run.requests[mask_calls].mask)) {
    EXPECT_TRUE(empty(run.requests[mask_calls].in)) << "mask call " << mask_calls;
    ++mask_calls;
  }
  ASSERT_GT(mask_calls, 10u);
  ASSERT_LT(mask_calls, run.requests.size());
  // The call after the last mask row gathers the whole area.
  EXPECT_EQ(run.requests[mask_calls].in.top, 0);
  EXPECT_EQ(run.requests[mask_calls].in.bottom, 45);
}

TEST(HostRuns, ASecondRunReusesTheStoredRecord) {
  Image image = pt::pattern_image(30, 20, 1, 4);
  plugin_host::RunOptions options = pt::options_for(1);
  pt::linked_module().set_parameters(pt::record_bytes(pt::settings(3, 90, 90, 70, 1, 0, 15, 2)));
  Image first = image, second = image;
  ASSERT_TRUE(pt::linked_module().run(first, options).ok());
  ASSERT_TRUE(pt::linked_module().run(second, options).ok());
  EXPECT_EQ(first.pixels, second.pixels);
  EXPECT_NE(first.pixels, image.pixels);
}

TEST(HostRuns, WholeAreaRunTakesOneCallToGatherThenOneCallPerBand) {
  Image image = pt::pattern_image(25, 17, 3, 1);
  pt::linked_module().set_parameters(pt::record_bytes(pt::settings(8, 100, 50, 50, 0, 0, 0, 0)));
  std::vector<std::pair<int32_t, int32_t>> progress;
  plugin_host::RunOptions options = pt::options_for(3);
  options.progress = [&](int32_t done, int32_t total) { progress.emplace_back(done, total); };
  plugin_host::RunResult run = pt::linked_module().run(image, options);
  ASSERT_TRUE(run.ok());
  // A small area is one band: the call after the gathering writes all 17 rows.
  ASSERT_EQ(run.continue_calls, 2);
  EXPECT_EQ(run.requests[0].in.bottom - run.requests[0].in.top, 17);  // the whole area at once
  EXPECT_EQ(run.requests[0].out.bottom - run.requests[0].out.top, 1);
  EXPECT_EQ(run.requests[1].in.bottom - run.requests[1].in.top, 17);
  EXPECT_EQ(run.requests[1].out.top, 0);
  EXPECT_EQ(run.requests[1].out.bottom, 17);
  EXPECT_EQ(progress, (std::vector<std::pair<int32_t, int32_t>>{{0, 17}}));
}

TEST(HostRuns, LargeAreasAreWrittenInBandsOfAboutEightMegabytes) {
  // 3000 x 1000 RGB: 9000 bytes a row, so 932 rows fit in 8 MiB and the rest make a second band.
  Image image = pt::pattern_image(3000, 1000, 3, 7);
  ParameterRecord record = pt::settings(12, 70, 100, 40, -1, 1, 1200, 300);
  pt::linked_module().set_parameters(pt::record_bytes(record));
  std::vector<std::pair<int32_t, int32_t>> progress;
  plugin_host::RunOptions options = pt::options_for(3);
  options.progress = [&](int32_t done, int32_t total) { progress.emplace_back(done, total); };
  Image result = image;
  plugin_host::RunResult run = pt::linked_module().run(result, options);
  ASSERT_TRUE(run.ok());
  ASSERT_EQ(run.continue_calls, 3);
  EXPECT_EQ(run.requests[1].out.top, 0);
  EXPECT_EQ(run.requests[1].out.bottom, 932);
  EXPECT_EQ(run.requests[2].out.top, 932);
  EXPECT_EQ(run.requests[2].out.bottom, 1000);
  EXPECT_EQ(progress, (std::vector<std::pair<int32_t, int32_t>>{{0, 1000}, {932, 1000}}));
  Image reference =
      pt::reference_render(image, Area{0, 0, 3000, 1000}, 3, record,
                           module_state.preview.image_step, module_state.preview.preview_extent);
  EXPECT_TRUE(result.pixels == reference.pixels);
}

TEST(HostRuns, DecimationThreeOnTenRowsGathersRowsZeroThreeAndSix) {
  Image image = pt::pattern_image(30, 10, 3, 2);
  plugin_host::RunOptions options = pt::options_for(3);
  options.max_space = max_space_for(30, 10, 3, 3);
  options.filter_area = Area{0, 0, 30, 10};
  pt::linked_module().set_parameters(pt::record_bytes(pt::settings(2, 100, 90, 100, 0, 0, 5, 1)));
  Image result = image;
  plugin_host::RunResult run = pt::linked_module().run(result, options);
  ASSERT_TRUE(run.ok());
  ASSERT_EQ(module_state.plan.decimation, 3);
  ASSERT_GE(run.requests.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(run.requests[size_t(i)].in.top, 3 * i);
    EXPECT_EQ(run.requests[size_t(i)].in.bottom, 3 * i + 1);
    EXPECT_EQ(run.requests[size_t(i)].out.top, 0);  // output waits on the first row
  }
}

TEST(HostRuns, AMissingRowRestartsTheOutputRowAndReportsProgressAgain) {
  Image image = pt::pattern_image(40, 30, 3, 6);
  plugin_host::RunOptions options = pt::options_for(3);
  options.max_space = max_space_for(40, 30, 3, 2);
  options.filter_area = Area{0, 4, 40, 30};  // not starting at image row 0
  std::vector<std::pair<int32_t, int32_t>> progress;
  options.progress = [&](int32_t done, int32_t total) { progress.emplace_back(done, total); };
  // Angle 270 from a centre near the bottom: pixels sample rows below them, which the host
  // has not delivered yet.
  pt::linked_module().set_parameters(pt::record_bytes(pt::settings(3, 100, 270, 60, 0, 0, 20, 24)));
  Image result = image;
  plugin_host::RunResult run = pt::linked_module().run(result, options);
  ASSERT_TRUE(run.ok());
  ASSERT_EQ(module_state.plan.decimation, 2);
  bool repeated = false;
  for (std::size_t i = 1; i < progress.size(); ++i) repeated |= progress[i] == progress[i - 1];
  EXPECT_TRUE(repeated);
  for (const plugin_host::Request& r : run.requests) {
    if (r.in.bottom > r.in.top) {
      EXPECT_GE(r.in.top, 4);
      EXPECT_EQ(r.in.bottom, r.in.top + 1);
    }
  }
  Image reference = pt::reference_render(
      image, Area{0, 4, 40, 30}, 3, pt::settings(3, 100, 270, 60, 0, 0, 20, 24),
      module_state.preview.image_step, module_state.preview.preview_extent);
  EXPECT_EQ(result.pixels, reference.pixels);
}

#ifndef _WIN32
TEST(HostRuns, ASelectionIsSampledOnePreviewRowPerCallFirst) {
  // 268 x 200 preview rows: a 536 x 400 image in the 268 x 268 view.
  Image image = pt::pattern_image(536, 400, 1, 8);
  std::vector<uint8_t> selection(536 * 400, 255);
  plugin_host::RunOptions options = pt::options_for(1);
  options.selection = &selection;
  pt::linked_module().set_parameters(pt::record_bytes(pt::settings(8, 100, 50, 50, 0, 0, 0, 0)));
  plugin_host::RunResult run = pt::linked_module().run(image, options);
  ASSERT_TRUE(run.ok());
  ASSERT_EQ(module_state.preview.preview_height, 200);
  ASSERT_GT(run.requests.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    const filter_api::Rect& mask = run.requests[size_t(i)].mask;
    EXPECT_EQ(mask.bottom - mask.top, 1) << i;
    EXPECT_EQ(mask.top, int16_t((int64_t(i) * module_state.preview.image_step + 32768) >> 16)) << i;
  }
  EXPECT_EQ(run.requests[200].mask.bottom, 0);
}

TEST(HostRuns, CancellingTheDialogWritesNothing) {
  // With no user to answer it, the dialog is cancelled.
  Image image = pt::pattern_image(20, 20, 3, 1);
  ParameterRecord record = pt::settings(8, 100, 50, 50, 0, 0, 0, 0);
  record.show_dialog = 1;
  pt::linked_module().set_parameters(pt::record_bytes(record));
  Image result = image;
  plugin_host::RunResult run = pt::linked_module().run(result, pt::options_for(3));
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.failed_selector, filter_api::filterSelectorContinue);
  EXPECT_EQ(result.pixels, image.pixels);
  auto stored = pt::linked_module().parameters();
  ASSERT_TRUE(stored.has_value());
  ParameterRecord after;
  std::memcpy(&after, stored->data(), sizeof after);
  EXPECT_EQ(after.show_dialog, 0);  // cleared even on cancel
  EXPECT_EQ(after.regions, 8);
}
#endif

TEST(HostRuns, TheBuiltModuleFiltersLikeTheLinkedCode) {
  std::string why;
  auto module = plugin_host::Module::load(ZORBEL_MODULE_PATH, &why);
  ASSERT_NE(module, nullptr) << why;
  Image image = pt::pattern_image(33, 21, 3, 12);
  ParameterRecord record = pt::settings(5, 60, 45, 35, -1, 1, 16, 10);
  module->set_parameters(pt::record_bytes(record));
  pt::linked_module().set_parameters(pt::record_bytes(record));
  Image from_file = image, linked = image;
  ASSERT_TRUE(module->run(from_file, pt::options_for(3)).ok());
  ASSERT_TRUE(pt::linked_module().run(linked, pt::options_for(3)).ok());
  EXPECT_EQ(from_file.pixels, linked.pixels);
  EXPECT_NE(from_file.pixels, image.pixels);
}

TEST(HostRuns, HostsThatPointIntoTheirImageGetTheSameBytes) {
  // Gray, RGB and CMYK in place; RGB beside an alpha plane and a partial area, copied.
  struct Case {
    int32_t planes, color_planes;
    std::optional<Area> area;
    bool selected;
  } cases[] = {{1, 1, std::nullopt, false},
               {3, 3, std::nullopt, false},
               {4, 4, std::nullopt, true},
               {4, 3, std::nullopt, false},
               {3, 3, Area{5, 3, 40, 28}, false}};
  for (const Case& c : cases) {
    Image image = pt::pattern_image(48, 31, c.planes, 5);
    std::vector<uint8_t> selection(48 * 31);
    for (size_t i = 0; i < selection.size(); ++i) selection[i] = uint8_t(i * 37);
    plugin_host::RunOptions options = pt::options_for(c.color_planes);
    options.filter_area = c.area;
    if (c.selected) options.selection = &selection;
    pt::linked_module().set_parameters(
        pt::record_bytes(pt::settings(9, 80, 30, 20, -1, 1, 20, 12)));
    Image copied = image;
    ASSERT_TRUE(pt::linked_module().run(copied, options).ok());
    options.point_into_image = true;
    options.reuse_buffers = true;
    Image destination(48, 31, c.planes);  // reused: its old bytes must not show
    std::fill(destination.pixels.begin(), destination.pixels.end(), uint8_t(0x5A));
    options.destination = &destination;
    for (int run = 0; run < 2; ++run) {
      pt::linked_module().set_parameters(
          pt::record_bytes(pt::settings(9, 80, 30, 20, -1, 1, 20, 12)));
      ASSERT_TRUE(pt::linked_module().run(image, options).ok());
      EXPECT_TRUE(destination.pixels == copied.pixels) << c.planes << " planes, run " << run;
    }
    EXPECT_FALSE(image.pixels == copied.pixels);  // the source stays as it was
  }
}

// Hosts that keep the stored settings in a handle of their own heap: read and kept through the
// host's handle procedures; without them, the settings cannot be seen, so the dialog is asked
// for (here: cancelled, as no user answers) instead of filtering with settings nobody chose.
TEST(HostRuns, SettingsInAHostsOwnHandleAreReadThroughItsProcedures) {
  Image image = pt::pattern_image(40, 30, 3, 4);
  const std::vector<uint8_t> stored = pt::record_bytes(pt::settings(3, 80, 90, 30, -1, 1, 12, 9));
  plugin_host::RunOptions options = pt::options_for(3);
  pt::linked_module().set_parameters(stored);
  Image global = image;
  ASSERT_TRUE(pt::linked_module().run(global, options).ok());

  options.parameters = plugin_host::RunOptions::Parameters::kHostHeap;
  pt::linked_module().set_parameters(stored);
  Image heap = image;
  plugin_host::RunResult run = pt::linked_module().run(heap, options);
  ASSERT_TRUE(run.ok()) << run.result;
  EXPECT_EQ(heap.pixels, global.pixels);
  EXPECT_EQ(pt::linked_module().parameters(), std::optional<std::vector<uint8_t>>(stored));

#ifndef _WIN32
  // Without the procedures the handle is seen as what GlobalSize says of it. Windows' own
  // GlobalSize answers for pointers of other heaps too, so this part runs where the global
  // blocks are known exactly (headless).
  options.parameters = plugin_host::RunOptions::Parameters::kHostHeapWithoutProcs;
  pt::linked_module().set_parameters(stored);
  Image unseen = image;
  run = pt::linked_module().run(unseen, options);
  EXPECT_EQ(run.result, 1);  // the dialog came up (and was cancelled)
  EXPECT_EQ(unseen.pixels, image.pixels);
  auto made = pt::linked_module().parameters();
  ASSERT_TRUE(made.has_value());
  ParameterRecord record{};
  std::memcpy(&record, made->data(), sizeof record);
  EXPECT_EQ(record.regions, 8);  // the module's own record, from the defaults
#endif
}

#ifndef _WIN32
// Stored bytes of another size (a settings file of another version, say): the module cannot
// read them and makes a record of its own, and the host gives its own handle back, a handle
// of no bytes included.
TEST(HostRuns, AStoredHandleTheModuleReplacesIsGivenBack) {
  for (std::size_t size : {0u, 3u, 19u}) {
    SCOPED_TRACE(size);
    Image image = pt::pattern_image(20, 10, 3, 2);
    plugin_host::RunOptions options = pt::options_for(3);
    pt::linked_module().set_parameters(std::vector<uint8_t>(size, 7));
    const std::size_t blocks = headless::memory_stats().live_blocks;
    EXPECT_EQ(pt::linked_module().run(image, options).result, 1);  // the dialog, cancelled
    EXPECT_EQ(headless::memory_stats().live_blocks, blocks);       // one handle for the other
    auto made = pt::linked_module().parameters();
    ASSERT_TRUE(made.has_value());
    EXPECT_EQ(made->size(), sizeof(ParameterRecord));
  }
}
#endif

}  // namespace
