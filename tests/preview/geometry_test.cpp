// Preview geometry: the preview's size and 16.16 scales for a view and a working image, the
// conversions between preview, working-image and filter-area coordinates, and load_center.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"

namespace fa = filter_api;

namespace {

class PreviewGeometryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_state = ModuleState{};
    module_state.host.module_instance = GetModuleHandleA(nullptr);
  }
  void TearDown() override {
    if (parameters != nullptr) GlobalFree(parameters);
  }

  static int16_t fit(int16_t view_w, int16_t view_h, int16_t work_w, int16_t work_h,
                     int16_t decimation = 1) {
    module_state.plan.work_width = work_w;
    module_state.plan.work_height = work_h;
    module_state.plan.decimation = decimation;
    return compute_preview_geometry(view_w, view_h);
  }

  // A host record whose parameters handle holds a record with the given centre.
  void store_center(int16_t h, int16_t v) {
    ParameterRecord stored{};
    fill_default_record(&stored);
    stored.center_h = h;
    stored.center_v = v;
    parameters = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof stored);
    std::memcpy(GlobalLock(parameters), &stored, sizeof stored);
    GlobalUnlock(parameters);
    record = std::make_unique<fa::FilterRecord>();
    record->parameters = reinterpret_cast<char**>(parameters);
    module_state.host.filter_record = record.get();
  }

  std::unique_ptr<fa::FilterRecord> record;
  HGLOBAL parameters = nullptr;
};

TEST_F(PreviewGeometryTest, FitsTheWorkingImageIntoTheClampedView) {
  struct Row {
    int16_t view_w, view_h, work_w, work_h, decimation;
    int16_t width, height;
    int32_t preview_step, image_step;
  };
  const Row rows[] = {
      {268, 268, 1000, 500, 1, 268, 134, 244537, 244537},
      {268, 268, 600, 800, 1, 201, 268, 195629, 195629},
      {268, 268, 100, 100, 1, 268, 268, 24453, 24453},  // enlarged
      {268, 268, 500, 250, 2, 268, 134, 122268, 244536},
      {600, 400, 2000, 2000, 1, 400, 400, 327680, 327680},  // width clamps to 512
      {400, 600, 2000, 2000, 1, 400, 400, 327680, 327680},  // height clamps to 512
      {600, 600, 2000, 1000, 3, 512, 256, 256000, 768000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.view_w << "x" << r.view_h << " view, " << r.work_w << "x"
                                      << r.work_h << " / " << r.decimation);
    int16_t extent = fit(r.view_w, r.view_h, r.work_w, r.work_h, r.decimation);
    EXPECT_EQ(module_state.preview.preview_width, r.width);
    EXPECT_EQ(module_state.preview.preview_height, r.height);
    EXPECT_EQ(module_state.preview.preview_step, r.preview_step);
    EXPECT_EQ(module_state.preview.image_step, r.image_step);
    EXPECT_EQ(module_state.preview.preview_extent, std::max(r.width, r.height));
    EXPECT_EQ(extent, module_state.preview.preview_extent);
  }
}

TEST_F(PreviewGeometryTest, EqualRatiosRecomputeTheWidth) {
  // 336 * 65536 / 275 and 347 * 65536 / 284 are both 80073; recomputing the width from the
  // height gives 274, recomputing the height from the width would keep 275 x 284.
  fit(275, 284, 336, 347);
  EXPECT_EQ(module_state.preview.preview_step, 80073);
  EXPECT_EQ(module_state.preview.preview_width, 274);
  EXPECT_EQ(module_state.preview.preview_height, 284);
  fit(268, 268, 300, 300);
  EXPECT_EQ(module_state.preview.preview_width, 268);
  EXPECT_EQ(module_state.preview.preview_height, 268);
}

TEST_F(PreviewGeometryTest, ASideThatRoundsToNothingKeepsOnePixel) {
  EXPECT_EQ(fit(268, 268, 1, 274), 268);
  EXPECT_EQ(module_state.preview.preview_width, 1);
  EXPECT_EQ(module_state.preview.preview_height, 268);
  EXPECT_EQ(module_state.preview.preview_step, 67003);
  EXPECT_EQ(fit(268, 268, 274, 1), 268);
  EXPECT_EQ(module_state.preview.preview_width, 268);
  EXPECT_EQ(module_state.preview.preview_height, 1);
}

TEST_F(PreviewGeometryTest, PreviewCoordinatesRoundToTheNearestPixel) {
  fit(268, 268, 1000, 500);
  EXPECT_EQ(preview_to_work(0), 0);
  EXPECT_EQ(preview_to_image(0), 0);
  EXPECT_EQ(preview_to_work(1), 4);  // 3.73
  EXPECT_EQ(preview_to_work(2), 7);  // 7.46
  EXPECT_EQ(preview_to_work(134), 500);
  EXPECT_EQ(preview_to_work(267), 996);
  EXPECT_EQ(image_to_preview(0), 0);
  EXPECT_EQ(image_to_preview(1), 0);
  EXPECT_EQ(image_to_preview(2), 1);
  EXPECT_EQ(image_to_preview(500), 134);
  EXPECT_EQ(image_to_preview(999), 268);

  fit(268, 268, 500, 250, 2);  // the image is twice the working image
  EXPECT_EQ(preview_to_work(134), 250);
  EXPECT_EQ(preview_to_image(134), 500);
  EXPECT_EQ(preview_to_image(267), 996);
  EXPECT_EQ(image_to_preview(996), 267);

  fit(268, 268, 100, 100);  // enlarged: 2.68 preview pixels per image pixel
  EXPECT_EQ(preview_to_image(1), 0);
  EXPECT_EQ(preview_to_image(2), 1);
  EXPECT_EQ(preview_to_image(267), 100);
  EXPECT_EQ(image_to_preview(99), 265);
}

TEST_F(PreviewGeometryTest, ImageAndBackReturnsThePreviewCoordinateWhenNotEnlarged) {
  for (int32_t step : {65536, 65537, 122268, 195629, 244536, 244537, 327680, 400000}) {
    module_state.preview.image_step = step;
    for (int16_t p = 0; p < 512; ++p) {
      ASSERT_EQ(image_to_preview(preview_to_image(p)), p) << "image_step " << step;
    }
  }
}

TEST_F(PreviewGeometryTest, LoadCenterConvertsTheStoredCentre) {
  fit(268, 268, 1000, 500);
  store_center(500, 250);
  load_center();
  EXPECT_EQ(module_state.preview.center_x, 134);
  EXPECT_EQ(module_state.preview.center_y, 67);
  GlobalLock(parameters);
  EXPECT_EQ(GlobalUnlock(parameters), FALSE);  // load_center left it unlocked
}

TEST_F(PreviewGeometryTest, LoadCenterGivesColumnZeroForAnUnsetOrNearlyUnsetCentre) {
  fit(268, 268, 1000, 500);
  for (int16_t h : {int16_t(0), int16_t(1)}) {
    store_center(h, 300);
    load_center();
    EXPECT_EQ(module_state.preview.center_x, 0) << "center_h " << h;
    EXPECT_EQ(module_state.preview.center_y, 80) << "center_h " << h;
    GlobalFree(parameters);
    parameters = nullptr;
  }
  store_center(2, 0);
  load_center();
  EXPECT_EQ(module_state.preview.center_x, 1);
  EXPECT_EQ(module_state.preview.center_y, 0);
}

TEST_F(PreviewGeometryTest, LoadCenterWithoutAStoredRecordGivesTheOrigin) {
  fit(268, 268, 1000, 500);
  record = std::make_unique<fa::FilterRecord>();
  module_state.host.filter_record = record.get();
  module_state.preview.center_x = 77;
  module_state.preview.center_y = 55;
  load_center();
  EXPECT_EQ(module_state.preview.center_x, 0);
  EXPECT_EQ(module_state.preview.center_y, 0);
}

}  // namespace
