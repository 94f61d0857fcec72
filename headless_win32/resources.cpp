// Resources read from a module's embedded .res bytes: FindResourceA, LoadResource,
// SizeofResource, LockResource and LoadStringA, with Windows' matching rules (ordinals,
// case-insensitive names, "#123" for an ordinal given as text).
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "headless_win32/headless.h"
#include "headless_win32/internal.h"
#include "headless_win32/modules.h"
#include "headless_win32/utf16.h"

namespace headless_detail {
namespace {

uint16_t u16(const unsigned char* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t u32(const unsigned char* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Reads a name or type field at offset `at` (bounded by `end`); advances `at`.
bool read_id(const unsigned char* bytes, std::size_t end, std::size_t& at, bool& is_ordinal,
             WORD& ordinal, std::string& name) {
  if (at + 2 > end) return false;
  if (u16(bytes + at) == 0xFFFF) {
    if (at + 4 > end) return false;
    is_ordinal = true;
    ordinal = u16(bytes + at + 2);
    at += 4;
    return true;
  }
  is_ordinal = false;
  std::size_t start = at, units = 0;
  while (true) {
    if (at + 2 > end) return false;
    uint16_t unit = u16(bytes + at);
    at += 2;
    if (unit == 0) break;
    ++units;
  }
  name = narrow(bytes + start, units);
  for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
  return true;
}

}  // namespace

std::string narrow(const unsigned char* utf16le, std::size_t units) {
  return utf16::to_utf8(utf16le, units);
}

std::vector<Resource> parse_res(const unsigned char* bytes, std::size_t size) {
  std::vector<Resource> out;
  std::size_t at = 0;
  while (at + 8 <= size) {
    uint32_t data_size = u32(bytes + at);
    uint32_t header_size = u32(bytes + at + 4);
    if (header_size < 16 || header_size > size - at || data_size > size - at - header_size) break;
    std::size_t header_end = at + header_size;
    std::size_t p = at + 8;
    Resource r{};
    if (!read_id(bytes, header_end, p, r.type_is_ordinal, r.type_ordinal, r.type_name)) break;
    if (!read_id(bytes, header_end, p, r.name_is_ordinal, r.name_ordinal, r.name_name)) break;
    p = (p + 3) & ~std::size_t(3);
    if (p + 16 > header_end) break;
    r.language = u16(bytes + p + 6);
    r.data = bytes + header_end;
    r.size = data_size;
    bool empty_lead = r.type_is_ordinal && r.type_ordinal == 0 && data_size == 0;
    if (!empty_lead) out.push_back(r);
    at = (header_end + data_size + 3) & ~std::size_t(3);
  }
  return out;
}

}  // namespace headless_detail

namespace {

using headless_detail::Resource;

bool id_matches(bool is_ordinal, WORD ordinal, const std::string& name, LPCSTR wanted) {
  if (IS_INTRESOURCE(wanted)) return is_ordinal && ordinal == LOWORD(wanted);
  if (wanted[0] == '#') return is_ordinal && ordinal == std::atoi(wanted + 1);
  if (is_ordinal) return false;
  std::string upper(wanted);
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  return upper == name;
}

const Resource* find(HMODULE module, LPCSTR name, LPCSTR type) {
  const std::vector<Resource>* resources = headless_detail::module_resources(module);
  if (resources == nullptr || name == nullptr || type == nullptr) return nullptr;
  for (const Resource& r : *resources) {
    if (id_matches(r.type_is_ordinal, r.type_ordinal, r.type_name, type) &&
        id_matches(r.name_is_ordinal, r.name_ordinal, r.name_name, name))
      return &r;
  }
  return nullptr;
}

}  // namespace

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  const Resource* r = find(module, name, type);
  if (r == nullptr) headless_detail::set_last_error(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
  return reinterpret_cast<HRSRC>(const_cast<Resource*>(r));
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
  if (resource == nullptr) return nullptr;
  return const_cast<unsigned char*>(reinterpret_cast<const Resource*>(resource)->data);
}

DWORD SizeofResource(HMODULE, HRSRC resource) {
  if (resource == nullptr) return 0;
  return reinterpret_cast<const Resource*>(resource)->size;
}

LPVOID LockResource(HGLOBAL resource) { return resource; }

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int buffer_max) {
  if (buffer == nullptr || buffer_max <= 0) return 0;
  buffer[0] = '\0';
  const Resource* block = find(instance, MAKEINTRESOURCEA((id >> 4) + 1), RT_STRING);
  if (block == nullptr) return 0;
  // A block holds 16 strings, each a 16-bit length and that many UTF-16 units.
  std::size_t at = 0;
  for (UINT i = 0; i <= (id & 15); ++i) {
    if (at + 2 > block->size) return 0;
    std::size_t units = std::size_t(block->data[at] | (block->data[at + 1] << 8));
    if (at + 2 + 2 * units > block->size) return 0;
    if (i == (id & 15)) {
      std::string text = headless_detail::narrow(block->data + at + 2, units);
      std::size_t n = std::min<std::size_t>(text.size(), std::size_t(buffer_max) - 1);
      std::memcpy(buffer, text.data(), n);
      buffer[n] = '\0';
      return int(n);
    }
    at += 2 + 2 * units;
  }
  return 0;
}
