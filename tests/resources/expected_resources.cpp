// Expected resource bytes and dialog controls.
#include "tests/resources/expected_resources.h"

#include <utility>

namespace expected {
namespace {

void put(std::vector<uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}
void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, uint16_t(v));
  put16(out, uint16_t(v >> 16));
}
// A property: vendor 8BIM and the key, both stored reversed; id 0; the padded length.
void property(std::vector<uint8_t>& out, const std::string& key, std::vector<uint8_t> data) {
  put(out, "MIB8");
  put(out, std::string(key.rbegin(), key.rend()));
  put32(out, 0);
  put32(out, uint32_t(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}

// A length-prefixed string, as the AETE stores them (no alignment).
void pstring(std::vector<uint8_t>& out, const std::string& text) {
  out.push_back(uint8_t(text.size()));
  put(out, text);
}
// A four-character code, stored reversed.
void code(std::vector<uint8_t>& out, const std::string& text) {
  put(out, std::string(text.rbegin(), text.rend()));
}

constexpr uint32_t kChild = 0x40000000, kVisible = 0x10000000, kBorder = 0x00800000,
                   kGroup = 0x00020000, kTabStop = 0x00010000;
constexpr uint32_t kBase = kChild | kVisible;

}  // namespace

std::vector<uint8_t> pipl(bool x64) {
  std::vector<uint8_t> out;
  put16(out, 1);
  put32(out, 0);
  put32(out, 8);
  property(out, "kind", {'M', 'F', 'B', '8'});
  property(out, "name", {9, 'Z', 'o', 'r', 'b', 'e', 'l', '.', '.', '.', 0, 0});
  property(out, "catg", {9, 'H', 'a', 'l', 'c', 'y', 'r', 'i', 'o', 'n', 0, 0});
  property(out, "vers", {0x00, 0x00, 0x04, 0x00});
  property(out, "mode", {0x59, 0x80, 0x00, 0x00});
  property(out, x64 ? "8664" : "wx86", {'E', 'N', 'T', 'R', 'Y', 'P', 'O', 'I', 'N', 'T', '1', 0});
  property(out, "fici",
           {0x01, 0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 0x00, 0x0A, 0x09,
            0x03, 0x00, 0x0A, 0x09, 0x03, 0x00, 0x0A, 0x01, 0x01, 0x00, 0x0A, 0x01, 0x01, 0x00});
  std::vector<uint8_t> terminology;
  put32(terminology, 0);
  code(terminology, "zorB");
  code(terminology, "zorB");
  put16(terminology, 1);
  put(terminology, kScopeString);
  terminology.push_back(0);
  terminology.push_back(0);  // to a multiple of four: 14 + 36 + 1 = 51, padded to 52
  property(out, "hstm", terminology);
  return out;
}

std::vector<uint8_t> aete() {
  std::vector<uint8_t> out;
  put16(out, 1);     // reserved
  out.push_back(1);  // version 1.0
  out.push_back(0);
  put16(out, 0);  // English
  put16(out, 0);  // Roman script
  put16(out, 1);  // one suite
  pstring(out, "Halcyrion");
  pstring(out, "");
  code(out, "zorB");
  put16(out, 1);  // level
  put16(out, 1);  // version
  put16(out, 1);  // one event
  pstring(out, "Zorbel");
  pstring(out, "Echoes in bands from a centre line");
  code(out, "zorB");  // class
  code(out, "zorB");  // id
  code(out, "null");  // no reply
  pstring(out, "");
  put16(out, 0);
  code(out, "#ImR");  // the image, optional, changes state
  pstring(out, "");
  put16(out, 0xB000);
  struct Parameter {
    const char* name;
    const char* key;
    const char* type;
    const char* description;
    uint16_t flags;
  };
  const Parameter parameters[] = {
      {"Angle", "Angl", "UntF", "direction in degrees, 0 to 360", 0x8000},
      {"Regions", "zbRg", "long", "echoes, 1 to 20", 0x8000},
      {"Spacing", "zbSp", "long", "distance between echoes, 5 to 100", 0x8000},
      {"Intensity", "zbIn", "long", "blend strength, 0 to 100", 0x8000},
      {"Mode", "zbMd", "zbMT", "shape of the bands", 0xA000},
      {"Fade", "zbFd", "bool", "echoes grow weaker band by band", 0x8000},
  };
  put16(out, 6);
  for (const Parameter& p : parameters) {
    pstring(out, p.name);
    code(out, p.key);
    code(out, p.type);
    pstring(out, p.description);
    put16(out, p.flags);
  }
  put16(out, 0);  // classes
  put16(out, 0);  // comparison operators
  put16(out, 1);  // enumerations
  code(out, "zbMT");
  put16(out, 3);
  for (const auto& e : {std::pair<const char*, const char*>{"parallel lines", "zbPL"},
                        {"right-angle regions", "zbRA"},
                        {"mixed parallel", "zbMP"}}) {
    pstring(out, e.first);
    code(out, e.second);
    pstring(out, "");
  }
  return out;
}

std::vector<uint8_t> pimi() {
  std::vector<uint8_t> out;
  put16(out, 3);
  put(out, "Halcyrion");
  out.push_back(0);
  for (uint16_t v : {4, 0, 0, 16, 0, 0xFFFF}) put16(out, v);
  put(out, "    ");
  return out;
}

std::vector<uint8_t> menu_name() {
  std::vector<uint8_t> out;
  put16(out, 3);
  put(out, "Zorbel...");
  out.push_back(0);
  return out;
}

std::vector<uint8_t> fltd() {
  std::vector<uint8_t> out;
  put16(out, 0);
  for (int i = 0; i < 6; ++i) put32(out, 2);
  return out;
}

std::vector<uint8_t> flts() {
  std::vector<uint8_t> out;
  put16(out, 0);
  put16(out, 3);
  return out;
}

const Control kDialogControls[22] = {
    {100, 0, "big_view", "", 5, 5, 180, 180, kBase | kBorder},
    {101, 0, "small_view", "", 190, 5, 90, 90, kBase | kBorder},
    {102, 0x80, nullptr, "预览", 290, 5, 40, 14, kBase | 0x1 | kGroup | kTabStop},
    {2, 0x80, nullptr, "取消", 290, 25, 40, 14, kBase | kTabStop},
    {1, 0x80, nullptr, "确定", 290, 45, 40, 14, kBase | kTabStop},
    {103, 0x80, nullptr, "还原", 290, 65, 40, 14, kBase | kTabStop},
    {250, 0x80, nullptr, "平行线", 191, 97, 142, 10, kBase | 0x4 | kGroup},
    {251, 0x80, nullptr, "直角区域", 191, 109, 142, 10, kBase | 0x4},
    {252, 0x80, nullptr, "混和平行", 191, 121, 142, 10, kBase | 0x4},
    {223, 0x80, nullptr, "淡入淡出", 191, 133, 142, 10, kBase | 0x2 | kGroup | kTabStop},
    {152, 0x82, nullptr, "角度:", 193, 152, 39, 10, kBase | 0x2 | kGroup},
    {110, 0x82, nullptr, "区域:", 193, 167, 39, 10, kBase | 0x2 | kGroup},
    {227, 0x82, nullptr, "间距:", 193, 181, 39, 10, kBase | 0x2 | kGroup},
    {112, 0x82, nullptr, "强度:", 193, 196, 39, 10, kBase | 0x2 | kGroup},
    {153, 0x81, nullptr, "", 235, 150, 20, 12, kBase | kBorder | kGroup | kTabStop},
    {115, 0x81, nullptr, "", 235, 165, 20, 12, kBase | kBorder | kTabStop},
    {228, 0x81, nullptr, "", 235, 180, 20, 12, kBase | kBorder | kTabStop},
    {117, 0x81, nullptr, "", 235, 195, 20, 12, kBase | kBorder | kTabStop},
    {154, 0x84, nullptr, "", 258, 151, 76, 10, kBase | kGroup},
    {120, 0x84, nullptr, "", 258, 166, 76, 10, kBase},
    {229, 0x84, nullptr, "", 258, 181, 76, 10, kBase},
    {122, 0x84, nullptr, "", 258, 196, 76, 10, kBase},
};

}  // namespace expected
