// A host that hands the result on row by row (as the zorbel command does to its encoder) gets
// the bytes a host with a whole destination gets, every row once and in order, and fails the
// run when the rows cannot be taken or the module goes back to rows already handed on.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "module/module_state.h"
#include "tests/protocol/protocol_support.h"

namespace pt = protocol_test;
using plugin_host::Area;
using plugin_host::Image;

namespace {

// The rows a run hands on, with a check that they come in order, each once.
struct Collected {
  Image image;
  int32_t next = 0;
  bool in_order = true;
  explicit Collected(const Image& like) : image(like.width, like.height, like.planes) {}
  std::function<bool(int32_t, const uint8_t*)> sink() {
    return [this](int32_t y, const uint8_t* row) {
      in_order = in_order && y == next;
      if (y >= 0 && y < image.height)
        std::memcpy(image.at(0, y), row, size_t(image.width) * size_t(image.planes));
      ++next;
      return true;
    };
  }
};

TEST(RowsHandedOn, EqualTheWholeDestinationInEveryHostStyle) {
  struct Case {
    int32_t width, height, planes, color_planes;
    std::optional<Area> area;
    bool selected, in_place;
    int32_t max_space;  // small: a reduced image and the row cache
  } cases[] = {
      {48, 31, 1, 1, std::nullopt, false, true, 256 << 20},
      {48, 31, 3, 3, std::nullopt, false, false, 256 << 20},
      {48, 31, 4, 4, std::nullopt, true, true, 256 << 20},
      {48, 31, 4, 3, std::nullopt, false, true, 256 << 20},  // alpha beside: copied buffers
      {50, 40, 3, 3, Area{7, 9, 41, 33}, true, true, 256 << 20},
      {300, 200, 3, 3, Area{0, 20, 300, 170}, false, true, 80000},
      {2100, 1400, 3, 3, std::nullopt, false, true, 256 << 20},  // several bands of rows
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " x " +
                 std::to_string(c.planes));
    const Image image = pt::pattern_image(c.width, c.height, c.planes, 7);
    std::vector<uint8_t> selection(size_t(c.width) * size_t(c.height));
    for (size_t i = 0; i < selection.size(); ++i) selection[i] = uint8_t(i * 37);
    plugin_host::RunOptions options = pt::options_for(c.color_planes);
    options.filter_area = c.area;
    options.max_space = c.max_space;
    options.point_into_image = c.in_place;
    options.reuse_buffers = c.in_place;
    if (c.selected) options.selection = &selection;
    const auto record = pt::record_bytes(pt::settings(9, 80, 30, 20, -1, 1, 20, 12));

    Image whole = image;
    pt::linked_module().set_parameters(record);
    ASSERT_TRUE(pt::linked_module().run(whole, options).ok());

    Collected rows(image);
    options.rows = rows.sink();
    Image source = image;
    pt::linked_module().set_parameters(record);
    plugin_host::RunResult run = pt::linked_module().run(source, options);
    ASSERT_TRUE(run.ok()) << run.result << " " << run.host_error;
    if (c.max_space < (1 << 20)) {
      EXPECT_GT(module_state.plan.decimation, 1);
    }
    EXPECT_TRUE(rows.in_order);
    EXPECT_EQ(rows.next, c.height);
    EXPECT_TRUE(rows.image.pixels == whole.pixels);
    EXPECT_TRUE(source.pixels == image.pixels) << "the image itself stays as it was";
  }
}

TEST(RowsHandedOn, ARowNotTakenEndsTheRun) {
  const Image image = pt::pattern_image(600, 500, 3, 3);
  plugin_host::RunOptions options = pt::options_for(3);
  int32_t taken = 0;
  options.rows = [&](int32_t, const uint8_t*) { return ++taken < 100; };
  Image source = image;
  pt::linked_module().set_parameters(pt::record_bytes(pt::settings(9, 80, 30, 20, -1, 1, 20, 12)));
  plugin_host::RunResult run = pt::linked_module().run(source, options);
  EXPECT_FALSE(run.ok());
  EXPECT_NE(run.host_error.find("row 99 "), std::string::npos) << run.host_error;
  EXPECT_EQ(taken, 100);
}

// A module that writes rows 4 to 8 first and then goes back to rows 0 to 4.
void backwards_entry(int16_t selector, void* block, intptr_t*, int16_t* result) {
  auto* f = static_cast<filter_api::FilterRecord*>(block);
  *result = 0;
  if (selector == filter_api::filterSelectorStart) {
    f->outRect = filter_api::Rect{4, 0, 8, f->filterRect.right};
    f->outLoPlane = 0;
    f->outHiPlane = int16_t(f->planes - 1);
  } else if (selector == filter_api::filterSelectorContinue) {
    f->outRect = f->outRect.top == 4 ? filter_api::Rect{0, 0, 4, f->filterRect.right}
                                     : filter_api::Rect{0, 0, 0, 0};
  }
}

TEST(RowsHandedOn, AModuleGoingBackToRowsHandedOnFailsTheRun) {
  std::string why;
  auto module = plugin_host::Module::linked(GetModuleHandleA(nullptr), backwards_entry, &why);
  ASSERT_TRUE(module) << why;
  Image image = pt::pattern_image(10, 8, 3, 1);
  plugin_host::RunOptions options = pt::options_for(3);
  Collected rows(image);
  options.rows = rows.sink();
  plugin_host::RunResult run = module->run(image, options);
  EXPECT_NE(run.host_error.find("returns to rows already handed on"), std::string::npos)
      << run.host_error;
  EXPECT_EQ(rows.next, 4);  // rows 0 to 3 went on before the module's first band
  // A whole destination takes the same module's rows in any order.
  options.rows = nullptr;
  EXPECT_TRUE(module->run(image, options).ok());
}

}  // namespace
