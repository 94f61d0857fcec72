// Dialog template parsing, bounds-checked at every field.
#include "headless_win32/dialog_template.h"

#include "headless_win32/utf16.h"

namespace dialog_template {
namespace {

constexpr uint32_t kSetFont = 0x40;  // DS_SETFONT

struct Reader {
  const uint8_t* bytes;
  std::size_t size;
  std::size_t at = 0;
  bool ok = true;

  uint16_t u16() {
    if (at + 2 > size) return fail16();
    uint16_t v = uint16_t(bytes[at] | (bytes[at + 1] << 8));
    at += 2;
    return v;
  }
  uint32_t u32() {
    uint32_t low = u16();
    return low | (uint32_t(u16()) << 16);
  }
  uint16_t fail16() {
    ok = false;
    at = size;
    return 0;
  }
  void align4() { at = (at + 3) & ~std::size_t(3); }

  std::string text() {
    std::size_t start = at, units = 0;
    for (uint16_t c = u16(); ok && c != 0; c = u16()) ++units;
    return ok ? utf16::to_utf8(bytes + start, units) : std::string();
  }

  NameOrOrdinal name_or_ordinal() {
    NameOrOrdinal n;
    if (at + 2 <= size && bytes[at] == 0xFF && bytes[at + 1] == 0xFF) {
      at += 2;
      n.is_ordinal = true;
      n.ordinal = u16();
    } else {
      n.text = text();
    }
    return n;
  }
};

}  // namespace

std::optional<Template> parse(const uint8_t* bytes, std::size_t size, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Template> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  Reader r{bytes, size};
  if (size >= 4 && bytes[0] == 1 && bytes[1] == 0 && bytes[2] == 0xFF && bytes[3] == 0xFF)
    return fail("an extended dialog template");
  Template t;
  t.style = r.u32();
  t.ex_style = r.u32();
  uint16_t count = r.u16();
  t.x = int16_t(r.u16());
  t.y = int16_t(r.u16());
  t.cx = int16_t(r.u16());
  t.cy = int16_t(r.u16());
  t.menu = r.name_or_ordinal();
  t.window_class = r.name_or_ordinal();
  t.caption = r.text();
  if (t.style & kSetFont) {
    t.font_points = r.u16();
    t.font_face = r.text();
  }
  if (!r.ok) return fail("the header runs past the end");
  for (uint16_t i = 0; i < count; ++i) {
    r.align4();
    Control c;
    c.style = r.u32();
    c.ex_style = r.u32();
    c.x = int16_t(r.u16());
    c.y = int16_t(r.u16());
    c.cx = int16_t(r.u16());
    c.cy = int16_t(r.u16());
    c.id = r.u16();
    c.window_class = r.name_or_ordinal();
    c.text = r.name_or_ordinal();
    uint16_t extra = r.u16();
    if (!r.ok || extra > size - r.at)
      return fail("control " + std::to_string(i + 1) + " runs past the end");
    c.creation_data.assign(bytes + r.at, bytes + r.at + extra);
    r.at += extra;
    t.controls.push_back(std::move(c));
  }
  return t;
}

}  // namespace dialog_template
