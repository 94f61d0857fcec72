// PE file reading: headers, section mapping of addresses, exports, imports, resources.
#include "tests/support/pe_file.h"

#include <fstream>
#include <iterator>

#include "headless_win32/utf16.h"

namespace test_support {
namespace {

struct Section {
  uint32_t virtual_address, virtual_size, raw_offset, raw_size;
};

struct Image {
  std::vector<uint8_t> bytes;
  std::vector<Section> sections;
  bool ok = true;

  uint32_t u16(std::size_t at) {
    if (at + 2 > bytes.size()) return fail();
    return uint32_t(bytes[at] | (bytes[at + 1] << 8));
  }
  uint32_t u32(std::size_t at) { return u16(at) | (u16(at + 2) << 16); }
  uint32_t fail() {
    ok = false;
    return 0;
  }
  // File offset of a relative virtual address, or the file size when it maps nowhere.
  std::size_t offset(uint32_t rva) {
    for (const Section& s : sections) {
      uint32_t extent = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
      if (rva >= s.virtual_address && rva < s.virtual_address + extent)
        return std::size_t(s.raw_offset) + (rva - s.virtual_address);
    }
    ok = false;
    return bytes.size();
  }
  std::string c_string(std::size_t at) {
    std::string out;
    while (at < bytes.size() && bytes[at] != 0) out += char(bytes[at++]);
    if (at >= bytes.size()) ok = false;
    return out;
  }
};

std::string resource_id(Image& image, std::size_t rsrc, uint32_t entry_name) {
  if ((entry_name & 0x80000000u) == 0) return "#" + std::to_string(entry_name);
  std::size_t at = rsrc + (entry_name & 0x7FFFFFFFu);
  uint32_t units = image.u16(at);
  if (!image.ok || at + 2 + 2 * std::size_t(units) > image.bytes.size()) {
    image.ok = false;
    return {};
  }
  return utf16::to_utf8(image.bytes.data() + at + 2, units);
}

void read_resources(Image& image, uint32_t rsrc_rva, PeFile& pe) {
  std::size_t rsrc = image.offset(rsrc_rva);
  auto entries = [&](std::size_t dir, auto&& visit) {
    uint32_t named = image.u16(dir + 12), ids = image.u16(dir + 14);
    for (uint32_t i = 0; i < named + ids && image.ok; ++i) {
      std::size_t e = dir + 16 + 8 * std::size_t(i);
      visit(image.u32(e), image.u32(e + 4));
    }
  };
  entries(rsrc, [&](uint32_t type_id, uint32_t type_target) {
    std::string type = resource_id(image, rsrc, type_id);
    entries(rsrc + (type_target & 0x7FFFFFFFu), [&](uint32_t name_id, uint32_t name_target) {
      std::string name = resource_id(image, rsrc, name_id);
      entries(rsrc + (name_target & 0x7FFFFFFFu), [&](uint32_t language, uint32_t leaf) {
        std::size_t data_entry = rsrc + leaf;
        uint32_t data_rva = image.u32(data_entry), size = image.u32(data_entry + 4);
        std::size_t at = image.offset(data_rva);
        if (!image.ok || at + size > image.bytes.size()) {
          image.ok = false;
          return;
        }
        pe.resources.push_back({type, name, language,
                                std::vector<uint8_t>(image.bytes.begin() + long(at),
                                                     image.bytes.begin() + long(at + size))});
      });
    });
  });
}

}  // namespace

const PeResource* PeFile::find_resource(const std::string& type, const std::string& name) const {
  for (const PeResource& r : resources)
    if (r.type == type && r.name == name) return &r;
  return nullptr;
}

std::optional<PeFile> read_pe_file(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<PeFile> {
    if (error != nullptr) *error = path + ": " + why;
    return std::nullopt;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot be opened (is that build made?)");
  Image image;
  image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (image.u16(0) != 0x5A4D) return fail("not an MZ executable");
  std::size_t pe_at = image.u32(0x3C);
  if (image.u32(pe_at) != 0x00004550) return fail("no PE signature");
  PeFile pe;
  pe.machine = uint16_t(image.u16(pe_at + 4));
  uint32_t section_count = image.u16(pe_at + 6);
  uint32_t optional_size = image.u16(pe_at + 20);
  pe.characteristics = uint16_t(image.u16(pe_at + 22));
  std::size_t optional_at = pe_at + 24;
  uint32_t magic = image.u16(optional_at);
  if (magic != 0x10B && magic != 0x20B) return fail("unknown optional header");
  pe.pe32_plus = magic == 0x20B;
  std::size_t directories = optional_at + (pe.pe32_plus ? 112 : 96);
  std::size_t section_at = optional_at + optional_size;
  for (uint32_t i = 0; i < section_count; ++i) {
    std::size_t s = section_at + 40 * std::size_t(i);
    image.sections.push_back(
        {image.u32(s + 12), image.u32(s + 8), image.u32(s + 20), image.u32(s + 16)});
  }
  if (!image.ok) return fail("headers run past the end");

  uint32_t export_rva = image.u32(directories);
  if (export_rva != 0) {
    std::size_t e = image.offset(export_rva);
    pe.export_module_name = image.c_string(image.offset(image.u32(e + 12)));
    pe.ordinal_base = image.u32(e + 16);
    uint32_t functions = image.u32(e + 20), names = image.u32(e + 24);
    std::size_t name_table = image.offset(image.u32(e + 32));
    std::size_t ordinal_table = image.offset(image.u32(e + 36));
    std::vector<std::string> name_of(functions);
    for (uint32_t i = 0; i < names && image.ok; ++i) {
      uint32_t index = image.u16(ordinal_table + 2 * std::size_t(i));
      if (index < functions)
        name_of[index] = image.c_string(image.offset(image.u32(name_table + 4 * std::size_t(i))));
    }
    for (uint32_t i = 0; i < functions; ++i)
      pe.exports.push_back({pe.ordinal_base + i, name_of[i]});
  }
  uint32_t import_rva = image.u32(directories + 8);
  if (import_rva != 0) {
    for (std::size_t d = image.offset(import_rva); image.ok && image.u32(d + 12) != 0; d += 20)
      pe.imported_dlls.push_back(image.c_string(image.offset(image.u32(d + 12))));
  }
  uint32_t rsrc_rva = image.u32(directories + 16);
  if (rsrc_rva != 0) read_resources(image, rsrc_rva, pe);
  if (!image.ok) return fail("a table runs past the end of the file");
  return pe;
}

}  // namespace test_support
