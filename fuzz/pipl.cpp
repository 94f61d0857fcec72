// Feeds random bytes to the PiPL reader as a module's PIPL resource, and to the entry-name
// lookup the host makes with what it read.
//
// A list it accepts must be exactly what the bytes hold: the header, then each property's
// vendor, key, id, length and data at the offsets the padded lengths give, all inside the
// bytes; a refused one comes with a reason. Bytes after the last property change nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filter_api/pipl.h"

namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fa = filter_api;
  // A copy of exactly `size` bytes, so that any read past the end is caught.
  std::vector<uint8_t> bytes(data, data + size);
  std::string why;
  auto pipl = fa::read_pipl(bytes.data(), bytes.size(), &why);
  if (!pipl) {
    check(!why.empty());
    return 0;
  }
  check(size >= 10 && pipl->version == 0 && pipl->count >= 0);
  check(pipl->properties.size() == size_t(pipl->count));
  check(pipl->header == int16_t(bytes[0] | (bytes[1] << 8)) &&
        uint32_t(pipl->count) == le32(&bytes[6]));
  size_t at = 10;
  for (const fa::PiplProperty& p : pipl->properties) {
    check(at + 16 <= size);
    check(p.vendor == le32(&bytes[at]) && p.key == le32(&bytes[at + 4]) &&
          uint32_t(p.id) == le32(&bytes[at + 8]) && p.length == le32(&bytes[at + 12]));
    at += 16;
    check(p.data.size() == p.length && size - at >= p.data.size());
    check(p.data.empty() || std::memcmp(p.data.data(), &bytes[at], p.data.size()) == 0);
    at += (size_t(p.length) + 3) & ~size_t(3);
    check(at <= size);
  }

  for (bool x64 : {false, true}) {
    auto name = fa::pipl_entry_name(*pipl, x64);
    const fa::PiplProperty* entry = pipl->find(fa::fourcc(x64 ? "8664" : "wx86"));
    if (!name) continue;
    // The name is the property's data up to its first zero byte.
    check(entry != nullptr && name->size() < entry->data.size());
    check(std::memcmp(name->data(), entry->data.data(), name->size()) == 0);
    check(entry->data[name->size()] == 0 && std::strlen(name->c_str()) == name->size());
  }

  // Trailing bytes (resource padding) are allowed and read as nothing.
  bytes.insert(bytes.end(), {0xA5, 0x5A, 0xFF});
  auto padded = fa::read_pipl(bytes.data(), bytes.size(), &why);
  check(padded && padded->properties.size() == pipl->properties.size());
  for (size_t i = 0; i < padded->properties.size(); ++i)
    check(padded->properties[i].data == pipl->properties[i].data);
  return 0;
}
