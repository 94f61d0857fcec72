// A small reader of PE files (Windows DLLs): machine, characteristics, the export table,
// the imported DLL names and the resource tree. Used to check the built Windows modules
// from Linux, where they cannot be loaded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

struct PeExport {
  uint32_t ordinal;  // biased by the ordinal base
  std::string name;  // empty for an export by ordinal only
};

struct PeResource {
  std::string type;  // "#5" for an ordinal, else the upper-case name
  std::string name;
  uint32_t language;
  std::vector<uint8_t> data;
};

struct PeFile {
  uint16_t machine = 0;  // 0x14C i386, 0x8664 x86-64
  uint16_t characteristics = 0;
  bool pe32_plus = false;
  std::string export_module_name;
  uint32_t ordinal_base = 0;
  std::vector<PeExport> exports;
  std::vector<std::string> imported_dlls;
  std::vector<PeResource> resources;

  const PeResource* find_resource(const std::string& type, const std::string& name) const;
};

// Reads a PE file; on failure the reason is in *error.
std::optional<PeFile> read_pe_file(const std::string& path, std::string* error);

}  // namespace test_support
