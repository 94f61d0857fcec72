// Reading property lists: well-formed lists, entry names per architecture, and lists that
// are cut short or lie about their lengths.
#include <gtest/gtest.h>

#include "filter_api/pipl.h"
#include "headless_win32/dialog_template.h"
#include "tests/resources/expected_resources.h"

namespace fa = filter_api;

namespace {

TEST(PiplReader, ReadsTheModulePropertiesInOrderWithReversedCodes) {
  std::vector<uint8_t> bytes = expected::pipl(false);
  std::string why;
  auto pipl = fa::read_pipl(bytes.data(), bytes.size(), &why);
  ASSERT_TRUE(pipl.has_value()) << why;
  EXPECT_EQ(pipl->header, 1);
  EXPECT_EQ(pipl->version, 0);
  const char* keys[] = {"kind", "name", "catg", "vers", "mode", "wx86", "fici", "hstm"};
  const uint32_t lengths[] = {4, 12, 12, 4, 4, 12, 28, 52};
  ASSERT_EQ(pipl->properties.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(fa::fourcc_text(pipl->properties[i].key), keys[i]);
    EXPECT_EQ(pipl->properties[i].vendor, fa::fourcc("8BIM"));
    EXPECT_EQ(pipl->properties[i].length, lengths[i]);
  }
  const fa::PiplProperty* kind = pipl->find(fa::fourcc("kind"));
  ASSERT_NE(kind, nullptr);
  EXPECT_EQ(std::string(kind->data.begin(), kind->data.end()), "MFB8");
  EXPECT_EQ(fa::pipl_entry_name(*pipl, false), std::optional<std::string>("ENTRYPOINT1"));
  EXPECT_EQ(fa::pipl_entry_name(*pipl, true), std::nullopt);
}

TEST(PiplReader, RefusesListsCutShortAnywhere) {
  std::vector<uint8_t> bytes = expected::pipl(true);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    std::string why;
    EXPECT_FALSE(fa::read_pipl(bytes.data(), cut, &why).has_value()) << cut;
    EXPECT_FALSE(why.empty());
  }
}

TEST(PiplReader, RefusesAnUnknownVersionAndLengthsPastTheEnd) {
  std::vector<uint8_t> bytes = expected::pipl(false);
  std::string why;
  std::vector<uint8_t> versioned = bytes;
  versioned[2] = 1;
  EXPECT_FALSE(fa::read_pipl(versioned.data(), versioned.size(), &why).has_value());
  std::vector<uint8_t> lying = bytes;
  lying[10 + 12] = 0xFF;  // the first property's length
  lying[10 + 15] = 0x7F;
  EXPECT_FALSE(fa::read_pipl(lying.data(), lying.size(), &why).has_value());
  EXPECT_NE(why.find("kind"), std::string::npos) << why;
}

TEST(PiplReader, AnEntryNameWithoutItsTerminatorIsNoName) {
  std::vector<uint8_t> bytes = expected::pipl(false);
  // The zero that ends "ENTRYPOINT1": before fici and the terminology property.
  bytes[bytes.size() - 68 - 28 - 16 - 1] = 'X';
  auto pipl = fa::read_pipl(bytes.data(), bytes.size(), nullptr);
  ASSERT_TRUE(pipl.has_value());
  EXPECT_EQ(fa::pipl_entry_name(*pipl, false), std::nullopt);
}

TEST(DialogTemplateReader, RefusesTemplatesCutShortAndExtendedOnes) {
  // A one-control template: header, empty menu, class and caption, then the control.
  std::vector<uint8_t> t = {0x00, 0x00, 0xC0, 0x80,                // style
                            0,    0,    0,    0,                   // extended style
                            1,    0,                               // one control
                            0,    0,    0,    0,    10, 0, 10, 0,  // x, y, cx, cy
                            0,    0,    0,    0,    0,  0,         // menu, class, caption
                            0,    0,    0,    0x50, 0,  0, 0,  0,  // control style, extended style
                            1,    0,    2,    0,    3,  0, 4,  0,  // x, y, cx, cy
                            7,    0,                               // id
                            0xFF, 0xFF, 0x80, 0,                   // class: button
                            'O',  0,    0,    0,                   // text "O"
                            0,    0};                              // no creation data
  std::string why;
  auto parsed = dialog_template::parse(t.data(), t.size(), &why);
  ASSERT_TRUE(parsed.has_value()) << why;
  ASSERT_EQ(parsed->controls.size(), 1u);
  EXPECT_EQ(parsed->controls[0].id, 7);
  EXPECT_EQ(parsed->controls[0].text.text, "O");
  for (std::size_t cut = 0; cut + 1 < t.size(); ++cut)
    EXPECT_FALSE(dialog_template::parse(t.data(), cut, &why).has_value()) << cut;
  std::vector<uint8_t> extended = {1, 0, 0xFF, 0xFF, 0, 0, 0, 0};
  EXPECT_FALSE(dialog_template::parse(extended.data(), extended.size(), &why).has_value());
}

}  // namespace
