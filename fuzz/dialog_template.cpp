// Feeds random bytes to the dialog template reader as an RT_DIALOG resource.
//
// A template it accepts has as many controls as its header counts, each control's creation
// data inside the bytes; a refused one comes with a reason; bytes after the last control
// change nothing.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "headless_win32/dialog_template.h"

namespace {

void check(bool holds) {
  if (!holds) std::abort();
}

bool same(const dialog_template::NameOrOrdinal& a, const dialog_template::NameOrOrdinal& b) {
  return a.is_ordinal == b.is_ordinal && a.ordinal == b.ordinal && a.text == b.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  std::string why;
  auto parsed = dialog_template::parse(bytes.data(), bytes.size(), &why);
  if (!parsed) {
    check(!why.empty());
    return 0;
  }
  check(size >= 18);  // the fixed header
  check(parsed->controls.size() == size_t(bytes[8] | (bytes[9] << 8)));
  size_t creation = 0;
  for (const dialog_template::Control& c : parsed->controls) creation += c.creation_data.size();
  check(creation <= size);

  bytes.insert(bytes.end(), {0x00, 0xFF, 0xFF, 0x00, 0x41});
  auto padded = dialog_template::parse(bytes.data(), bytes.size(), &why);
  check(padded.has_value());
  const dialog_template::Template& a = *parsed;
  const dialog_template::Template& b = *padded;
  check(a.style == b.style && a.ex_style == b.ex_style && a.x == b.x && a.y == b.y &&
        a.cx == b.cx && a.cy == b.cy && same(a.menu, b.menu) &&
        same(a.window_class, b.window_class) && a.caption == b.caption &&
        a.font_points == b.font_points && a.font_face == b.font_face &&
        a.controls.size() == b.controls.size());
  for (size_t i = 0; i < a.controls.size(); ++i) {
    const dialog_template::Control& x = a.controls[i];
    const dialog_template::Control& y = b.controls[i];
    check(x.style == y.style && x.ex_style == y.ex_style && x.id == y.id && x.x == y.x &&
          x.cy == y.cy && same(x.window_class, y.window_class) && same(x.text, y.text) &&
          x.creation_data == y.creation_data);
  }
  return 0;
}
