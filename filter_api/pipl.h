// Reader of PiPL resources (plug-in property lists): the header, then properties of vendor,
// key, id and a length padded to four bytes. Codes are little-endian four-character codes,
// so "MIB8" in the bytes reads as '8BIM'. Shared by the host and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "filter_api/filter_api.h"

namespace filter_api {

struct PiplProperty {
  OSType vendor;
  OSType key;
  int32 id;
  uint32 length;            // as stored: the padded length
  std::vector<uint8> data;  // `length` bytes
};

struct Pipl {
  int16 header;
  int32 version;
  int32 count;
  std::vector<PiplProperty> properties;

  // The first property with this key from vendor '8BIM', or null.
  const PiplProperty* find(OSType key) const;
};

// Parses a PiPL resource. Refuses (with the reason in *error) anything that is not a whole
// property list: a bad header, or a property running past the end. Bytes after the last
// property are allowed (some tools pad resources).
std::optional<Pipl> read_pipl(const uint8* bytes, std::size_t size, std::string* error);

// The entry point name of a module: the C string in '8664' for x64 code, 'wx86' for x86.
std::optional<std::string> pipl_entry_name(const Pipl& pipl, bool x64);

// Text of a four-character code ("8BIM").
std::string fourcc_text(OSType code);

}  // namespace filter_api
