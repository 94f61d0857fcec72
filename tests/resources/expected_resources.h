// The module's resources as hosts must find them, written out byte by byte from the
// registration formats, independently of the resource script.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace expected {

// PiPL of the x86 module (entry in 'wx86') or the x64 module (entry in '8664').
// Its first seven properties are the registration every host reads; the eighth is the
// terminology property (class and event 'zorB', AETE resource 1, the scope string).
std::vector<uint8_t> pipl(bool x64);
// The scripting terminology the PiPL points to.
std::vector<uint8_t> aete();
// The scope string that ties recorded actions to the filter: it never changes.
constexpr const char* kScopeString = "88117c4d-0bd0-4814-a8bd-71dda17e5b51";
std::vector<uint8_t> pimi();
std::vector<uint8_t> menu_name();  // the _8BFM record
std::vector<uint8_t> fltd();
std::vector<uint8_t> flts();

struct Control {
  uint16_t id;
  uint16_t class_ordinal;  // 0 for a named class
  const char* class_name;  // named classes, compared without regard to case
  const char* text;        // UTF-8
  int16_t x, y, cx, cy;
  uint32_t style;
};
extern const Control kDialogControls[22];

}  // namespace expected
