// The entry point and the selector handlers of About, Parameters, Prepare and the record
// creation of Start, driven through ENTRYPOINT1 as a host calls it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "module/host/host.h"
#include "module/module_state.h"
#include "tests/support/host_window.h"
#include "tests/support/message_boxes.h"

namespace fa = filter_api;

namespace {

const unsigned char kDefaultRecord[20] = {0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x64,
                                          0x00, 0x32, 0x00, 0x32, 0x00, 0x00, 0x00,
                                          0x00, 0x00, 0x01, 0x00, 0x00, 0x00};

const char kLabWarning[] =
    "This plug-in does not support Lab Color. Use in this mode is permitted, but may result "
    "in incorrect colors. For better results, switch to RGB.";

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_state = ModuleState{};
    module_state.host.module_instance = GetModuleHandleA(nullptr);  // this program carries them
    platform.hwnd = test_support::host_window();
    record = std::make_unique<fa::FilterRecord>();
    record->platformData = &platform;
    record->filterRect = fa::Rect{10, 20, 110, 220};
    record->imageMode = fa::plugInModeRGBColor;
    record->maxSpace = 100000000;
  }
  void TearDown() override {
    if (record->parameters != nullptr) GlobalFree(reinterpret_cast<HGLOBAL>(record->parameters));
  }

  // The record is packed: its pointers are read by value, never bound to references.
  char** parameters() const { return record->parameters; }

  int16_t call(int16_t selector, void* block) {
    int16_t result = 0x5555;  // some hosts pre-set the word; it must be overwritten
    ENTRYPOINT1(selector, block, &data, &result);
    return result;
  }
  int16_t call(int16_t selector) { return call(selector, record.get()); }

  std::vector<unsigned char> stored_bytes() {
    auto handle = reinterpret_cast<HGLOBAL>(record->parameters);
    const auto* bytes = static_cast<const unsigned char*>(GlobalLock(handle));
    std::vector<unsigned char> out(bytes, bytes + 20);
    GlobalUnlock(handle);
    return out;
  }
  ParameterRecord stored() {
    ParameterRecord r;
    std::memcpy(&r, stored_bytes().data(), sizeof r);
    return r;
  }
  void store(const ParameterRecord& r) {
    HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof r);
    std::memcpy(GlobalLock(handle), &r, sizeof r);
    GlobalUnlock(handle);
    record->parameters = reinterpret_cast<char**>(handle);
  }

  fa::PlatformData platform{};
  std::unique_ptr<fa::FilterRecord> record;
  intptr_t data = 0;
};

TEST_F(EntryTest, UnknownSelectorsReportBadParametersAndDoNothingElse) {
  test_support::MessageBoxWatch boxes;
  for (int16_t selector : {int16_t(6), int16_t(-1), int16_t(32767), int16_t(-32768)}) {
    EXPECT_EQ(call(selector), fa::filterBadParameters) << selector;
  }
  EXPECT_EQ(parameters(), nullptr);
  EXPECT_EQ(module_state.host.bytes_per_pixel, 0);
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(EntryTest, ResultWordIsWrittenOnEveryCallAboutIncluded) {
  test_support::MessageBoxWatch boxes;
  fa::AboutRecord about{};
  about.platformData = &platform;
  EXPECT_EQ(call(fa::filterSelectorAbout, &about), 0);
  EXPECT_EQ(call(fa::filterSelectorParameters), 0);
  EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
  EXPECT_EQ(call(fa::filterSelectorStart), 0);
  EXPECT_EQ(call(fa::filterSelectorFinish), 0);
}

TEST_F(EntryTest, AboutShowsStringOneUnderStringTwoOwnedByTheHostWindow) {
  test_support::MessageBoxWatch boxes;
  fa::AboutRecord about{};
  about.platformData = &platform;
  EXPECT_EQ(call(fa::filterSelectorAbout, &about), 0);
  char text[256], caption[60];
  ASSERT_GT(LoadStringA(module_state.host.module_instance, 1, text, sizeof text), 0);
  ASSERT_GT(LoadStringA(module_state.host.module_instance, 2, caption, sizeof caption), 0);
  auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, text);
  EXPECT_EQ(shown[0].caption, caption);
  EXPECT_TRUE(shown[0].information_icon);
  EXPECT_EQ(shown[0].owner, test_support::host_window());
}

TEST_F(EntryTest, AboutWithoutAHostWindowStillShowsTheBox) {
  test_support::MessageBoxWatch boxes;
  fa::AboutRecord about{};  // some hosts pass no platform data at all
  EXPECT_EQ(call(fa::filterSelectorAbout, &about), 0);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].owner, nullptr);
}

TEST_F(EntryTest, ParametersWithoutARecordCreatesNoneAndStartThenMakesTheDefaults) {
  EXPECT_EQ(call(fa::filterSelectorParameters), 0);
  EXPECT_EQ(parameters(), nullptr);
  EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
  EXPECT_EQ(call(fa::filterSelectorStart), 0);
  ASSERT_NE(parameters(), nullptr);
  EXPECT_EQ(GlobalSize(reinterpret_cast<HGLOBAL>(record->parameters)), 20u);
  std::vector<unsigned char> expected(kDefaultRecord, kDefaultRecord + 20);
  EXPECT_EQ(stored_bytes(), expected);
}

TEST_F(EntryTest, ParametersSetsShowDialogInAnExistingRecordAndKeepsTheRest) {
  ParameterRecord r{-3, 7, 12, 40, 270, 99, -1, 1, 0};
  store(r);
  EXPECT_EQ(call(fa::filterSelectorParameters), 0);
  ParameterRecord after = stored();
  r.show_dialog = 1;
  EXPECT_EQ(std::memcmp(&after, &r, sizeof r), 0);
}

TEST_F(EntryTest, StartKeepsAnExistingRecordAsItIs) {
  ParameterRecord r{300, 200, 3, 55, 180, 5, 1, 0, 0};
  store(r);
  EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
  EXPECT_EQ(call(fa::filterSelectorStart), 0);
  ParameterRecord after = stored();
  EXPECT_EQ(std::memcmp(&after, &r, sizeof r), 0);
}

TEST_F(EntryTest, RecordAllocationFailureGivesMemoryFullAndNoRecord) {
  EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
  module_state.host.block_alloc_fail_at = module_state.host.block_alloc_calls + 1;
  EXPECT_EQ(call(fa::filterSelectorStart), fa::memFullErr);
  EXPECT_EQ(parameters(), nullptr);
  module_state.host.block_alloc_fail_at = 0;
}

TEST_F(EntryTest, PrepareMapsImageModesToBytesPerPixel) {
  struct Case {
    int16_t mode;
    int16_t bytes;
  };
  const Case cases[] = {{fa::plugInModeGrayScale, 1}, {fa::plugInModeMultichannel, 1},
                        {fa::plugInModeDuotone, 1},   {fa::plugInModeCMYKColor, 4},
                        {fa::plugInModeRGBColor, 3},  {fa::plugInModeLabColor, 3},
                        {fa::plugInModeBitmap, 3},    {fa::plugInModeIndexedColor, 3},
                        {fa::plugInModeHSBColor, 3},  {17, 3}};
  store(ParameterRecord{0, 0, 8, 100, 50, 50, 0, 0, 0});  // no dialog: no Lab warning
  for (const Case& c : cases) {
    record->imageMode = c.mode;
    EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
    EXPECT_EQ(module_state.host.bytes_per_pixel, c.bytes) << "mode " << c.mode;
  }
}

TEST_F(EntryTest, PrepareTakesTheFilterAreaAndAsksForNoBufferSpace) {
  record->imageMode = fa::plugInModeCMYKColor;
  record->bufferSpace = 123456;  // whatever the host left there
  EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
  EXPECT_EQ(module_state.host.filter_width, 200);
  EXPECT_EQ(module_state.host.filter_height, 100);
  EXPECT_EQ(module_state.plan.work_width, 200);
  EXPECT_EQ(module_state.plan.work_height, 100);
  EXPECT_EQ(module_state.host.row_bytes, 800);
  EXPECT_EQ(module_state.plan.work_row_bytes, 800);
  EXPECT_EQ(record->bufferSpace, 0);
}

TEST_F(EntryTest, PrepareRowBytesDoNotWrapForWideAreas) {
  record->filterRect = fa::Rect{0, 0, 2, 32000};
  record->imageMode = fa::plugInModeCMYKColor;
  EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
  EXPECT_EQ(module_state.host.row_bytes, 128000);
}

TEST_F(EntryTest, PrepareTreatsAReversedFilterAreaAsEmpty) {
  record->filterRect = fa::Rect{50, 60, 40, 10};
  EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
  EXPECT_EQ(module_state.host.filter_width, 0);
  EXPECT_EQ(module_state.host.filter_height, 0);
  EXPECT_EQ(module_state.host.row_bytes, 0);
}

TEST_F(EntryTest, LabWarningOnlyWhenTheDialogIsDue) {
  record->imageMode = fa::plugInModeLabColor;
  {
    test_support::MessageBoxWatch boxes;  // no record yet: the dialog will show
    EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
    auto shown = boxes.boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, kLabWarning);
    EXPECT_EQ(shown[0].caption, "Warning");
    EXPECT_FALSE(shown[0].information_icon);
    EXPECT_EQ(shown[0].owner, test_support::host_window());
  }
  store(ParameterRecord{0, 0, 8, 100, 50, 50, 0, 0, 0});
  {
    test_support::MessageBoxWatch boxes;  // a repeat run: no dialog, no warning
    EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(module_state.host.bytes_per_pixel, 3);
  }
  EXPECT_EQ(call(fa::filterSelectorParameters), 0);
  {
    test_support::MessageBoxWatch boxes;  // asked for the dialog again
    EXPECT_EQ(call(fa::filterSelectorPrepare), 0);
    EXPECT_EQ(boxes.boxes().size(), 1u);
  }
}

TEST_F(EntryTest, SelectorsWithoutAHostRecordAreRefused) {
  for (int16_t selector = 1; selector <= 5; ++selector)
    EXPECT_EQ(call(selector, nullptr), fa::filterBadParameters) << selector;
}

TEST_F(EntryTest, AHandleTooSmallForTheRecordIsNeitherReadNorWritten) {
  HGLOBAL small = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 8);
  record->parameters = reinterpret_cast<char**>(small);
  EXPECT_EQ(call(fa::filterSelectorParameters), 0);
  EXPECT_EQ(get_show_dialog(), 1);  // treated as no usable record: the dialog shows
}

TEST(ParameterSettings, StoredValuesOutOfRangeAreClampedWhenRead) {
  ParameterRecord r{0, 0, 0, -5, 361, 4, 7, 9, 1};
  EffectSettings s{};
  s = settings_from_record(r);
  EXPECT_EQ(s.regions, 1);
  EXPECT_EQ(s.intensity, 0);
  EXPECT_EQ(s.angle, 360);
  EXPECT_EQ(s.spacing, 5);
  EXPECT_EQ(s.mode, 1);
  EXPECT_EQ(s.fade, 1);
  r = ParameterRecord{0, 0, 21, 101, -1, 101, -300, 0, 1};
  s = settings_from_record(r);
  EXPECT_EQ(s.regions, 20);
  EXPECT_EQ(s.intensity, 100);
  EXPECT_EQ(s.angle, 0);
  EXPECT_EQ(s.spacing, 100);
  EXPECT_EQ(s.mode, -1);
  EXPECT_EQ(s.fade, 0);
  r = ParameterRecord{0, 0, 20, 100, 360, 100, -1, 1, 1};  // in range: kept as stored
  s = settings_from_record(r);
  EXPECT_EQ(s.regions, 20);
  EXPECT_EQ(s.angle, 360);
  EXPECT_EQ(s.mode, -1);
}

}  // namespace
