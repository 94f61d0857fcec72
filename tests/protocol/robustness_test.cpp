// Random hosts and records: whatever the stored bytes, image mode, filter area, memory
// allowance and selection, a run ends with a result code after a bounded number of calls,
// asks for nothing outside the image, and leaves no block, window or GDI object behind.
#include <gtest/gtest.h>

#include <random>

#include "module/host/host.h"
#include "tests/protocol/protocol_support.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#endif

namespace pt = protocol_test;

namespace {

#ifndef _WIN32
TEST(RandomRuns, EveryRunEndsCleanlyWhateverTheHostAndRecord) {
  std::mt19937 random(20261208);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  plugin_host::Module& module = pt::linked_module();
  int completed = 0;
  for (int i = 0; i < 3000; ++i) {
    SCOPED_TRACE(i);
    int32_t width = pick(0, 40), height = pick(0, 40);
    if (pick(0, 20) == 0) {
      width = pick(1000, 32767);  // a very wide strip
      height = pick(1, 2);
    }
    auto mode = int16_t(pick(0, 17));
    int32_t planes = filter_api::color_planes_of(mode);
    plugin_host::Image image = pt::pattern_image(width, height, planes + pick(0, 1), uint32_t(i));
    plugin_host::RunOptions options = pt::options_for(planes);
    options.image_mode = mode;
    if (width > 0 && height > 0 && pick(0, 1)) {
      int32_t left = pick(0, width - 1), top = pick(0, height - 1);
      options.filter_area = plugin_host::Area{left, top, pick(left, width), pick(top, height)};
    }
    const int32_t spaces[] = {0, -1, 5000, 40000, 200000, 100000000, 2147483647};
    options.max_space = pick(0, 3) == 0 ? pick(0, 3000000) : spaces[pick(0, 6)];
    std::vector<uint8_t> selection(size_t(width) * height);
    for (uint8_t& m : selection) m = uint8_t(pick(0, 2) * 127 + pick(0, 1));
    if (pick(0, 2) == 0) options.selection = &selection;
    options.call_finish = pick(0, 1) == 1;
    options.offer_display_pixels = pick(0, 1) == 1;
    options.row_padding = pick(0, 1) * pick(1, 7);
    std::vector<uint8_t> stored(20);
    for (uint8_t& b : stored) b = uint8_t(pick(0, 255));
    module.set_parameters(stored);

    headless::reset_memory_stats();
    headless::DisplayCounts objects = headless::display_counts();
    std::size_t blocks = headless::memory_stats().live_blocks;
    plugin_host::RunResult run = module.run(image, options);
    EXPECT_FALSE(run.continue_bound_reached);
    EXPECT_EQ(run.host_error, "");
    EXPECT_TRUE(run.result == 0 || run.result == 1 || run.result == filter_api::memFullErr)
        << run.result;
    completed += run.ok() ? 1 : 0;
    EXPECT_EQ(headless::memory_stats().live_blocks, blocks);
    EXPECT_EQ(headless::memory_stats().invalid_calls, 0u);
    headless::DisplayCounts after = headless::display_counts();
    EXPECT_EQ(after.windows, objects.windows);
    EXPECT_EQ(after.bitmaps, objects.bitmaps);
    EXPECT_EQ(after.memory_dcs, objects.memory_dcs);
    EXPECT_EQ(after.window_dcs, objects.window_dcs);
    if (HasFailure()) break;
  }
  EXPECT_GT(completed, 400);  // a good share of random cases do filter
}
#endif

}  // namespace
