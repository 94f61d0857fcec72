// Reader of dialog templates (the standard DLGTEMPLATE form, as resource compilers write
// them): header, menu, class, caption, font and the controls. Plain byte parsing with no
// window calls, so the Windows test build uses it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dialog_template {

// A class, menu or text field: an ordinal (0xFFFF form) or a text.
struct NameOrOrdinal {
  bool is_ordinal = false;
  uint16_t ordinal = 0;
  std::string text;  // UTF-8
};

struct Control {
  uint32_t style;
  uint32_t ex_style;
  int16_t x, y, cx, cy;
  uint16_t id;
  NameOrOrdinal window_class;  // ordinals: 0x80 button, 0x81 edit, 0x82 static, 0x84 scroll bar
  NameOrOrdinal text;
  std::vector<uint8_t> creation_data;
};

struct Template {
  uint32_t style;
  uint32_t ex_style;
  int16_t x, y, cx, cy;
  NameOrOrdinal menu;
  NameOrOrdinal window_class;
  std::string caption;
  uint16_t font_points = 0;  // with DS_SETFONT
  std::string font_face;
  std::vector<Control> controls;
};

// Parses a template; refuses extended templates and anything that runs past the end.
std::optional<Template> parse(const uint8_t* bytes, std::size_t size, std::string* error);

}  // namespace dialog_template
