// Shared between the files of headless_win32 only: the last-error value and the resource
// table of a loaded module.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace headless_detail {

void set_last_error(DWORD error);

// One resource of a .res file. Names and types are ordinals, or upper-case text.
struct Resource {
  bool type_is_ordinal;
  WORD type_ordinal;
  std::string type_name;
  bool name_is_ordinal;
  WORD name_ordinal;
  std::string name_name;
  WORD language;
  const unsigned char* data;
  DWORD size;
};

// Parses the bytes of a .res file; malformed trailing entries are dropped. The entries
// point into the given bytes, which must outlive them.
std::vector<Resource> parse_res(const unsigned char* bytes, std::size_t size);

// UTF-16 code units to the narrow text the A functions hand out (UTF-8).
std::string narrow(const unsigned char* utf16le, std::size_t units);

}  // namespace headless_detail
