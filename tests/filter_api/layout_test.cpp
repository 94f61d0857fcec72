// The host records have the interface's layout for both pointer widths, checked at compile
// time whichever build this is.
#include <gtest/gtest.h>

#include "filter_api/filter_api.h"
#include "module/module_state.h"

namespace fa = filter_api;

static_assert(fa::layout_matches<fa::Pointers32>(fa::kOffsetsX86), "x86 FilterRecord layout");
static_assert(fa::layout_matches<fa::Pointers64>(fa::kOffsetsX64), "x64 FilterRecord layout");
static_assert(sizeof(fa::AboutRecordT<fa::Pointers32>) == 256, "x86 AboutRecord size");
static_assert(sizeof(fa::AboutRecordT<fa::Pointers64>) == 272, "x64 AboutRecord size");
static_assert(offsetof(fa::PSPixelMapT<fa::Pointers32>, baseAddr) == 36, "x86 PSPixelMap");
static_assert(offsetof(fa::PSPixelMapT<fa::Pointers64>, baseAddr) == 40, "x64 PSPixelMap");
static_assert(offsetof(fa::PSPixelMapT<fa::Pointers32>, masks) == 44, "x86 PSPixelMap v1");
static_assert(offsetof(fa::PSPixelMapT<fa::Pointers64>, masks) == 56, "x64 PSPixelMap v1");
static_assert(sizeof(fa::PlatformDataT<fa::Pointers32>) == 4, "x86 PlatformData");
static_assert(sizeof(fa::PlatformDataT<fa::Pointers64>) == 8, "x64 PlatformData");

TEST(HostRecordLayout, FourCharacterCodesReadAsBigEndianText) {
  EXPECT_EQ(fa::fourcc("8BIM"), 0x3842494Du);
  EXPECT_EQ(fa::fourcc("wx86"), 0x77783836u);
  EXPECT_EQ(fa::fourcc("8664"), 0x38363634u);
}

TEST(HostRecordLayout, LaterFieldsKeepTheirOffsetsOnThisBuild) {
  // Fields past the table's core, where a wrong packing would first show.
  using R = fa::FilterRecord;
  bool x64 = sizeof(void*) == 8;
  EXPECT_EQ(offsetof(R, maxSpace64), x64 ? 552u : 432u);
  EXPECT_EQ(offsetof(R, bigDocumentData), x64 ? 504u : 400u);
  EXPECT_EQ(offsetof(R, iCCWorkingProfileData), x64 ? 532u : 416u);
  EXPECT_EQ(offsetof(R, inColumnBytes), x64 ? 368u : 300u);
}

TEST(ParameterRecordLayout, StoredFieldsAreLittleEndianInOrder) {
  ParameterRecord record{};
  record.center_h = 0x0102;
  record.spacing = -2;
  record.show_dialog = 0x01020304;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  EXPECT_EQ(bytes[0], 0x02);
  EXPECT_EQ(bytes[1], 0x01);
  EXPECT_EQ(bytes[10], 0xFE);
  EXPECT_EQ(bytes[11], 0xFF);
  EXPECT_EQ(bytes[16], 0x04);
  EXPECT_EQ(bytes[19], 0x01);
}
