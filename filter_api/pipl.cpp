// Reading PiPL resources: bounds-checked parsing of the header and properties.
#include "filter_api/pipl.h"

namespace filter_api {
namespace {

uint32 le32(const uint8* p) {
  return uint32(p[0]) | (uint32(p[1]) << 8) | (uint32(p[2]) << 16) | (uint32(p[3]) << 24);
}

}  // namespace

const PiplProperty* Pipl::find(OSType key) const {
  for (const PiplProperty& p : properties)
    if (p.vendor == fourcc("8BIM") && p.key == key) return &p;
  return nullptr;
}

std::string fourcc_text(OSType code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = char((code >> (24 - 8 * i)) & 0xFF);
  return text;
}

std::optional<Pipl> read_pipl(const uint8* bytes, std::size_t size, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Pipl> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  if (bytes == nullptr || size < 10) return fail("shorter than a property list header");
  Pipl pipl;
  pipl.header = int16(bytes[0] | (bytes[1] << 8));
  pipl.version = int32(le32(bytes + 2));
  pipl.count = int32(le32(bytes + 6));
  if (pipl.version != 0) return fail("property list version " + std::to_string(pipl.version));
  if (pipl.count < 0) return fail("negative property count");
  std::size_t at = 10;
  for (int32 i = 0; i < pipl.count; ++i) {
    if (size - at < 16) return fail("property " + std::to_string(i + 1) + " runs past the end");
    PiplProperty p;
    p.vendor = le32(bytes + at);
    p.key = le32(bytes + at + 4);
    p.id = int32(le32(bytes + at + 8));
    p.length = le32(bytes + at + 12);
    at += 16;
    std::size_t padded = (std::size_t(p.length) + 3) & ~std::size_t(3);
    if (padded > size - at) return fail("property '" + fourcc_text(p.key) + "' runs past the end");
    p.data.assign(bytes + at, bytes + at + p.length);
    at += padded;
    pipl.properties.push_back(std::move(p));
  }
  return pipl;
}

std::optional<std::string> pipl_entry_name(const Pipl& pipl, bool x64) {
  const PiplProperty* p = pipl.find(x64 ? fourcc("8664") : fourcc("wx86"));
  if (p == nullptr || p->data.empty()) return std::nullopt;
  std::string name;
  for (uint8 c : p->data) {
    if (c == 0) return name;
    name += char(c);
  }
  return std::nullopt;  // not terminated inside its data
}

}  // namespace filter_api
