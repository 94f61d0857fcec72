// UTF-16 text, as resources and templates store it, to UTF-8. Plain code, no window calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace utf16 {

// Appends one code point as UTF-8.
inline void append_utf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

// `units` little-endian UTF-16 code units at `bytes` to UTF-8; an unpaired surrogate is
// written as it stands.
inline std::string to_utf8(const unsigned char* bytes, std::size_t units) {
  std::string out;
  auto unit = [&](std::size_t i) { return uint32_t(bytes[2 * i] | (bytes[2 * i + 1] << 8)); };
  for (std::size_t i = 0; i < units; ++i) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    }
    append_utf8(out, c);
  }
  return out;
}

}  // namespace utf16
